// Shape checks for the crash tests: a digit mask and the logger's line layout.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace orv::test {

// True when text has mask's length and matches it: '#' stands for one decimal digit, any other
// character for itself.
inline bool MatchesMask(std::string_view text, std::string_view mask) {
  if (text.size() != mask.size()) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (mask[i] == '#' ? !digit : text[i] != mask[i]) {
      return false;
    }
  }
  return true;
}

// True when line is "<UTC time> <level> <function> <file>:<line number> <message>", the process
// logger's layout (without the newline).
inline bool IsLogLine(std::string_view line, std::string_view level, std::string_view function,
                      std::string_view file, std::string_view message) {
  constexpr std::string_view kTimeMask = "####-##-##T##:##:##.###Z ";
  if (line.size() < kTimeMask.size() || !MatchesMask(line.substr(0, kTimeMask.size()), kTimeMask)) {
    return false;
  }
  line.remove_prefix(kTimeMask.size());
  const std::string head =
      std::string(level) + " " + std::string(function) + " " + std::string(file) + ":";
  if (!line.starts_with(head)) {
    return false;
  }
  line.remove_prefix(head.size());
  std::size_t digits = 0;
  while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits])) != 0) {
    ++digits;
  }
  return digits > 0 && line.substr(digits) == " " + std::string(message);
}

}  // namespace orv::test
