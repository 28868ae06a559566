// Helpers for the records' one-line log forms: texts are appended as UTF-8 with control
// characters replaced by '?', so a value from outside (a host name, a path) cannot break or
// forge log lines.
#pragma once

#include <string>
#include <string_view>

namespace orv {

// Appends UTF-8 (or raw narrow) text with bytes below 0x20 and 0x7F replaced by '?'.
void AppendLogText(std::string& out, std::string_view text);
// Appends wide text as UTF-8, control characters replaced as above.
void AppendLogText(std::string& out, std::wstring_view text);

}  // namespace orv
