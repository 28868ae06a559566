// Text forms of what the IPFIX decoder found, for the collector tool: an aligned name/value
// table per record, or one JSON object per line. Text values are shown with control characters
// escaped, so a record can neither break a JSON line nor steer the terminal.
#pragma once

#include <string>
#include <string_view>

#include "export/ipfix_decoder.h"

// The value as a table cell: numbers in decimal (date-times also as UTC), text escaped, octets in
// hex, lists as "[a, b]".
[[nodiscard]] std::string IpfixValueText(const IpfixValue& value);
// The value as JSON: numbers bare, everything else a string, lists an array.
[[nodiscard]] std::string IpfixValueJson(const IpfixValue& value);
// One record as a heading line and one indented line per field, each ending in a newline.
[[nodiscard]] std::string FormatIpfixRecordTable(std::string_view exporter,
                                                 const IpfixMessage& message,
                                                 const IpfixRecord& record);
// One record as a JSON object on one line (no newline); a repeated field name gets "#2", "#3".
[[nodiscard]] std::string FormatIpfixRecordJson(std::string_view exporter,
                                                const IpfixMessage& message,
                                                const IpfixRecord& record);
// One problem as a table line (with newline) or a JSON object on one line (no newline).
[[nodiscard]] std::string FormatIpfixProblemTable(std::string_view exporter,
                                                  const IpfixMessage& message,
                                                  const IpfixProblem& problem);
[[nodiscard]] std::string FormatIpfixProblemJson(std::string_view exporter,
                                                 const IpfixMessage& message,
                                                 const IpfixProblem& problem);
