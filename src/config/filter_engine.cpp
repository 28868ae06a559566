#include "config/filter_engine.h"

#include <utility>

#include "config/profile_text.h"
#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/utils.h"

namespace {

bool IsAddressField(std::uint32_t id) {
  return id == kFieldSourceIpv4Address || id == kFieldDestinationIpv4Address ||
         id == kFieldSourceIpv6Address || id == kFieldDestinationIpv6Address;
}

bool IsHashField(std::uint32_t id) {
  return id == kFieldProcessHash || id == kFieldParentProcessHash;
}

}  // namespace

FilterRule::FilterRule(std::wstring name, std::vector<std::unique_ptr<Operation>>&& tests,
                       bool collect)
    : name_(std::move(name)), tests_(std::move(tests)), collect_(collect) {}

OB_STATUSCODE FilterRule::IsAllowed(const ORVFlowObject& flow, bool& keep) const {
  FlowFieldCache fields(flow);
  return IsAllowed(fields, keep);
}

OB_STATUSCODE FilterRule::IsAllowed(FlowFieldCache& fields, bool& keep) const {
  if (tests_.empty()) {
    return kObRuleWithoutTests;
  }
  const ORVFlowObject& flow = fields.flow();
  for (const auto& test : tests_) {
    const OB_STATUSCODE status = test->Evaluate(fields);
    if (status != kObSuccess) {
      return status;
    }
  }
  keep = collect_;
  if (!keep && flow.tracked) {
    OB_LOG_DEBUG("Dropping flow with id: %d because of filter rule - %s",
                 static_cast<int>(flow.flow_id), OBRuntime::WideToUtf8(name_).c_str());
  }
  return kObSuccess;
}

void FilterEngine::StartElement(const std::wstring& name) {
  current_element_ = name;
  if (name == L"FlowFilterRules") {
    {
      const std::lock_guard lock(mutex_);
      rules_.clear();
    }
    tests_.clear();
    current_element_.clear();
    rule_name_.clear();
    rule_valid_ = true;
  } else if (name == L"Rule") {
    rule_valid_ = true;
    tests_.clear();
  }
}

void FilterEngine::SetElementValue(const std::wstring& text) {
  if (current_element_ == L"FilterName") {
    rule_name_ = text;
  } else if (current_element_ == L"FilterType") {
    if (orv::config::EqualsIgnoreCase(text, L"ignore")) {
      collect_ = false;
    } else if (orv::config::EqualsIgnoreCase(text, L"collect")) {
      collect_ = true;
    } else {
      rule_valid_ = false;
    }
  } else if (current_element_ == L"Field") {
    field_text_ = text;
  } else if (current_element_ == L"Value") {
    value_text_ = text;
  }
}

void FilterEngine::EndElement(const std::wstring& name) {
  if (rule_valid_) {
    if (name == L"Rule") {
      auto rule = std::make_shared<const FilterRule>(rule_name_, std::move(tests_), collect_);
      tests_.clear();
      // Readers cannot reach an engine being built; the lock costs nothing and keeps that an
      // assumption rather than a requirement.
      const std::lock_guard lock(mutex_);
      rules_.push_back(std::move(rule));
    } else if (name == L"Equals" || name == L"NotEquals") {
      AddTest(name == L"Equals");
    }
  }
  if (name == L"Rule") {
    rule_name_.clear();
  }
  current_element_.clear();
}

void FilterEngine::AddTest(bool equals) {
  if (field_text_.empty() || value_text_.empty()) {
    rule_valid_ = false;
    return;
  }
  std::uint32_t field_id = 0;
  const bool numeric = orv::config::ReadUint32(field_text_, field_id);
  if (numeric && IsAddressField(field_id)) {
    tests_.push_back(std::make_unique<IPOperation>(field_text_, value_text_, equals));
    return;
  }
  std::wstring value = value_text_;
  if (numeric && IsHashField(field_id)) {
    // The decoded bytes are compared with the record's raw hash as they are: escaping them
    // would break the comparison for every hash holding the byte 0x5C.
    if (!ObSucceeded(OBRuntime::Utils::EncodeHexToByte(value_text_, value))) {
      rule_valid_ = false;
      return;
    }
  }
  // Exact values are compared as written, so HOST\alice matches the account a record carries.
  if (equals) {
    tests_.push_back(std::make_unique<EqualsOperation>(field_text_, std::move(value)));
  } else {
    tests_.push_back(std::make_unique<NotEqualsOperation>(field_text_, std::move(value)));
  }
}

OB_STATUSCODE FilterEngine::IsAllowed(const ORVFlowObject& flow, bool& keep) const {
  FlowFieldCache fields(flow);
  const std::lock_guard lock(mutex_);
  keep = true;
  for (const auto& rule : rules_) {
    if (rule->IsAllowed(fields, keep) == kObSuccess) {
      break;
    }
  }
  return kObSuccess;
}

std::size_t FilterEngine::GetRuleCount() const {
  const std::lock_guard lock(mutex_);
  return rules_.size();
}
