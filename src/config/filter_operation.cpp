#include "config/filter_operation.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <utility>

#include "config/profile_text.h"
#include "runtime/text.h"
#include "runtime/utils.h"

using orv::config::ParseAddress;
using orv::config::ParsedAddress;

namespace {

bool HasWildcards(std::wstring_view value) {
  return value.find_first_of(L"*?") != std::wstring_view::npos;
}

// Whether the first prefix_length bits of two addresses of the same family agree.
bool PrefixMatches(const ParsedAddress& address, const ParsedAddress& network,
                   std::uint32_t prefix_length) {
  if (address.bits == 0 || address.bits != network.bits || prefix_length > address.bits) {
    return false;
  }
  const std::size_t whole_bytes = prefix_length / 8;
  if (!std::equal(address.bytes.begin(), address.bytes.begin() + whole_bytes,
                  network.bytes.begin())) {
    return false;
  }
  const std::uint32_t rest_bits = prefix_length % 8;
  if (rest_bits == 0) {
    return true;
  }
  const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest_bits));
  return (address.bytes[whole_bytes] & mask) == (network.bytes[whole_bytes] & mask);
}

}  // namespace

ParsedAddress orv::config::ParseAddress(const std::string& text) {
  ParsedAddress address;
  if (text.find(':') == std::string::npos) {
    if (::inet_pton(AF_INET, text.c_str(), address.bytes.data()) == 1) {
      address.bits = 32;
    }
  } else if (::inet_pton(AF_INET6, text.c_str(), address.bytes.data()) == 1) {
    address.bits = 128;
  }
  return address;
}

FlowFieldCache::Entry& FlowFieldCache::Find(std::uint32_t field_id) {
  for (Entry& entry : entries_) {
    if (entry.field_id == field_id) {
      return entry;
    }
  }
  if (entries_.empty()) {
    entries_.reserve(16);
  }
  Entry& entry = entries_.emplace_back(Entry{field_id, false, {}, std::nullopt});
  entry.text = flow_.GetFieldText(field_id, &entry.pattern_applies);
  return entry;
}

const std::wstring& FlowFieldCache::Text(std::uint32_t field_id, bool& pattern_applies) {
  Entry& entry = Find(field_id);
  pattern_applies = entry.pattern_applies;
  return entry.text;
}

const ParsedAddress& FlowFieldCache::Address(std::uint32_t field_id) {
  // The address fields' text forms are the record's address texts, which are already UTF-8:
  // parse those directly instead of widening and narrowing them again.
  const bool source = field_id == kFieldSourceIpv4Address || field_id == kFieldSourceIpv6Address;
  if (source || field_id == kFieldDestinationIpv4Address ||
      field_id == kFieldDestinationIpv6Address) {
    std::optional<ParsedAddress>& address = source ? source_address_ : destination_address_;
    if (!address) {
      address = ParseAddress(source ? flow_.source_address : flow_.destination_address);
    }
    return *address;
  }
  Entry& entry = Find(field_id);
  if (!entry.address) {
    entry.address = ParseAddress(OBRuntime::WideToUtf8(entry.text));
  }
  return *entry.address;
}

Operation::Operation(std::wstring field_text, std::wstring value_text)
    : field_text_(std::move(field_text)), value_text_(std::move(value_text)) {
  std::uint32_t id = 0;
  if (orv::config::ReadUint32(field_text_, id)) {
    field_id_ = id;
  }
}

EqualityOperation::EqualityOperation(std::wstring field_text, std::wstring value_text, bool equals)
    : Operation(std::move(field_text), std::move(value_text)),
      equals_(equals),
      has_wildcards_(HasWildcards(value_text_)) {}

OB_STATUSCODE Operation::Evaluate(const ORVFlowObject& flow) const {
  FlowFieldCache fields(flow);
  return Evaluate(fields);
}

OB_STATUSCODE EqualityOperation::Evaluate(FlowFieldCache& fields) const {
  if (!field_id_) {
    return kObBadArgument;
  }
  bool pattern_applies = false;
  const std::wstring& text = fields.Text(*field_id_, pattern_applies);
  const bool matches = (pattern_applies && has_wildcards_)
                           ? OBRuntime::Utils::MatchPattern(text, value_text_)
                           : text == value_text_;
  return Verdict(matches);
}

OB_STATUSCODE EqualityOperation::Verdict(bool matches) const noexcept {
  return matches == equals_ ? kObSuccess : kObFailure;
}

EqualsOperation::EqualsOperation(std::wstring field_text, std::wstring value_text)
    : EqualityOperation(std::move(field_text), std::move(value_text), true) {}

NotEqualsOperation::NotEqualsOperation(std::wstring field_text, std::wstring value_text)
    : EqualityOperation(std::move(field_text), std::move(value_text), false) {}

IPOperation::IPOperation(std::wstring field_text, std::wstring value_text, bool equals)
    : EqualityOperation(std::move(field_text), std::move(value_text), equals) {
  const std::size_t slash = value_text_.find(L'/');
  if (slash == std::wstring::npos) {
    return;
  }
  std::uint32_t prefix = 0;
  const ParsedAddress network =
      ParseAddress(OBRuntime::WideToUtf8(std::wstring_view(value_text_).substr(0, slash)));
  // A prefix beyond the address width, or no number at all, is not a network: it must not be
  // cut to 8 bits and silently become another (wider) network.
  if (network.bits == 0 ||
      !orv::config::ReadUint32(std::wstring_view(value_text_).substr(slash + 1), prefix) ||
      prefix > network.bits) {
    return;
  }
  network_ = network;
  prefix_length_ = static_cast<std::uint8_t>(prefix);
  network_valid_ = true;
}

// The same comparison as Utils::IsCIDRMatch, on addresses parsed once: the network when the
// rule was built, the flow's address once per flow.
OB_STATUSCODE IPOperation::Evaluate(FlowFieldCache& fields) const {
  if (!network_valid_) {
    return EqualityOperation::Evaluate(fields);
  }
  if (!field_id_) {
    return kObBadArgument;
  }
  const ParsedAddress& address = fields.Address(*field_id_);
  if (address.bits == 0) {
    return kObBadArgument;
  }
  return Verdict(PrefixMatches(address, network_, prefix_length_));
}
