// Flow filter rules of one data collection policy: which whole flows are kept or dropped.
//
// The engine is filled while the profile is parsed (it receives the element events of the
// profile's FlowFilterRules section through IXmlObject) and is then only read. Rules are tried in
// document order; the first rule whose tests all hold decides (collect keeps the flow, ignore
// drops it); a flow that no rule matches is kept.
//
// Building: a FilterType other than collect/ignore, or a test with an empty Field or Value (or a
// hash value that is not hexadecimal), invalidates the rule being read; it is then not added.
// FilterType, Field and Value carry over from one rule to the next when a rule omits them.
//
// Threads: building belongs to the parsing thread, before the engine is reachable by readers.
// IsAllowed is safe from any thread; rules_ is guarded by mutex_ (also taken when a
// FlowFilterRules start drops the rules).
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/orv_flow_object.h"
#include "common/status.h"
#include "config/filter_operation.h"
#include "config/xml_object.h"

class FilterRule {
 public:
  FilterRule(std::wstring name, std::vector<std::unique_ptr<Operation>>&& tests, bool collect);

  // Evaluates the tests in order, stopping at the first that fails and returning its status.
  // When all hold, keep becomes the rule's collect flag and the status is 0; a rule without
  // tests returns -9979 and leaves keep alone.
  [[nodiscard]] OB_STATUSCODE IsAllowed(const ORVFlowObject& flow, bool& keep) const;
  // As above, reading the flow's fields through a cache shared with other rules.
  [[nodiscard]] OB_STATUSCODE IsAllowed(FlowFieldCache& fields, bool& keep) const;

  [[nodiscard]] const std::wstring& name() const noexcept { return name_; }
  [[nodiscard]] bool collect() const noexcept { return collect_; }
  [[nodiscard]] std::size_t test_count() const noexcept { return tests_.size(); }

 private:
  std::wstring name_;
  std::vector<std::unique_ptr<Operation>> tests_;
  bool collect_;
};

class FilterEngine final : public IXmlObject {
 public:
  FilterEngine() = default;
  FilterEngine(const FilterEngine&) = delete;
  FilterEngine& operator=(const FilterEngine&) = delete;

  // IXmlObject (building; parsing thread only)
  void StartElement(const std::wstring& name) override;
  void EndElement(const std::wstring& name) override;
  void SetElementValue(const std::wstring& text) override;

  // Sets keep to the verdict of the first matching rule, true when none matches; always 0.
  [[nodiscard]] OB_STATUSCODE IsAllowed(const ORVFlowObject& flow, bool& keep) const;

  // Number of rules added so far.
  [[nodiscard]] std::size_t GetRuleCount() const;

 private:
  // Builds the test that an Equals (equals true) or NotEquals element closes.
  void AddTest(bool equals);

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<const FilterRule>> rules_;  // guarded by mutex_

  // Parse state, parsing thread only.
  std::wstring current_element_;
  std::vector<std::unique_ptr<Operation>> tests_;
  std::wstring field_text_;
  std::wstring value_text_;
  bool rule_valid_ = true;
  bool collect_ = false;
  std::wstring rule_name_;
};
