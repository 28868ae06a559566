#include "common/record_text.h"

#include <algorithm>

#include "runtime/text.h"

namespace orv {

void AppendLogText(std::string& out, std::string_view text) {
  const std::size_t start = out.size();
  out += text;
  std::replace_if(
      out.begin() + static_cast<std::ptrdiff_t>(start), out.end(),
      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }, '?');
}

void AppendLogText(std::string& out, std::wstring_view text) {
  AppendLogText(out, std::string_view(OBRuntime::WideToUtf8(text)));
}

}  // namespace orv
