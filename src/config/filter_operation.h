// The tests a flow filter rule is made of: equality, inequality, wildcard and network membership.
//
// A test compares one field of a flow record, named by its identifier, with a value from the
// profile. Evaluate answers 0 when the test holds, -9999 when it does not, and -9994 when the
// field identifier or the flow's address cannot be read (which counts as not holding). Tests are
// immutable once built and may be evaluated from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/orv_flow_object.h"
#include "common/status.h"

namespace orv::config {

// An address in network byte order; bits is 32 or 128, 0 when the text was no address.
struct ParsedAddress {
  std::uint32_t bits = 0;
  std::array<std::uint8_t, 16> bytes{};
};

// Parses an IPv4 dotted quad or an IPv6 text.
[[nodiscard]] ParsedAddress ParseAddress(const std::string& text);

}  // namespace orv::config

// The field texts of one flow record, each looked up (and, for addresses, parsed) at most once
// while a set of rules judges the flow. Lives on the evaluating thread's stack.
class FlowFieldCache {
 public:
  // Nothing is allocated until a rule asks for a field: a profile without rules costs a flow
  // nothing here.
  explicit FlowFieldCache(const ORVFlowObject& flow) : flow_(flow) {}

  [[nodiscard]] const ORVFlowObject& flow() const noexcept { return flow_; }
  // The flow's text form of the field and whether wildcard patterns apply to it.
  [[nodiscard]] const std::wstring& Text(std::uint32_t field_id, bool& pattern_applies);
  // The field's text parsed as an address.
  [[nodiscard]] const orv::config::ParsedAddress& Address(std::uint32_t field_id);

 private:
  struct Entry {
    std::uint32_t field_id;
    bool pattern_applies;
    std::wstring text;
    std::optional<orv::config::ParsedAddress> address;
  };
  Entry& Find(std::uint32_t field_id);

  const ORVFlowObject& flow_;
  std::vector<Entry> entries_;  // a handful: searched linearly
  std::optional<orv::config::ParsedAddress> source_address_;
  std::optional<orv::config::ParsedAddress> destination_address_;
};

class Operation {
 public:
  Operation(std::wstring field_text, std::wstring value_text);
  virtual ~Operation() = default;
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // Whether the test holds for the flow (see the file comment for the status values).
  [[nodiscard]] OB_STATUSCODE Evaluate(const ORVFlowObject& flow) const;
  // As above, reading the flow's fields through a cache shared with other tests.
  [[nodiscard]] virtual OB_STATUSCODE Evaluate(FlowFieldCache& fields) const = 0;

  [[nodiscard]] const std::wstring& field_text() const noexcept { return field_text_; }
  [[nodiscard]] const std::wstring& value_text() const noexcept { return value_text_; }

 protected:
  std::wstring field_text_;
  std::wstring value_text_;
  // The field text read as a field identifier; empty when it is not a number. Read once here,
  // although an unreadable one only matters when the test is evaluated.
  std::optional<std::uint32_t> field_id_;
};

// Text comparison: exact and case-sensitive, or a wildcard match when the value holds '*' or '?'
// and the field takes patterns. equals selects equality (true) or inequality (false).
class EqualityOperation : public Operation {
 public:
  EqualityOperation(std::wstring field_text, std::wstring value_text, bool equals);

  using Operation::Evaluate;
  // Operation
  [[nodiscard]] OB_STATUSCODE Evaluate(FlowFieldCache& fields) const override;

 protected:
  // Turns "the field text matches the value" into the status for this test's sense.
  [[nodiscard]] OB_STATUSCODE Verdict(bool matches) const noexcept;

  bool equals_;

 private:
  bool has_wildcards_;
};

class EqualsOperation final : public EqualityOperation {
 public:
  EqualsOperation(std::wstring field_text, std::wstring value_text);
};

class NotEqualsOperation final : public EqualityOperation {
 public:
  NotEqualsOperation(std::wstring field_text, std::wstring value_text);
};

// Network membership for the address fields: a value "address/prefix" tests whether the flow's
// address lies in that network. A value without '/', or whose address or prefix length is not
// valid, makes this an ordinary text comparison (which an address text practically never passes).
class IPOperation final : public EqualityOperation {
 public:
  IPOperation(std::wstring field_text, std::wstring value_text, bool equals);

  using Operation::Evaluate;
  // Operation
  [[nodiscard]] OB_STATUSCODE Evaluate(FlowFieldCache& fields) const override;

  [[nodiscard]] bool is_network_valid() const noexcept { return network_valid_; }

 private:
  bool network_valid_ = false;
  orv::config::ParsedAddress network_;  // valid with network_valid_
  std::uint8_t prefix_length_ = 0;
};
