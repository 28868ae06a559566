// Fuzzes the readers of process text: /proc/<pid>/stat and status contents, login.defs, and the
// script search over an interpreter's arguments (NUL-separated, as in /proc/<pid>/cmdline).
// The first byte picks the reader; the rest is its input. Aborts when a parsed stat claims a
// command name longer than its input or a found script is not one of the arguments.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "flow/interpreter_container.h"
#include "fuzz_support.h"
#include "platform/account_lookup.h"
#include "platform/process_query.h"
#include "runtime/text.h"

namespace {

constexpr std::wstring_view kInterpreters[] = {L"python", L"perl", L"ruby", L"node", L"bash"};

void FuzzScript(std::string_view text, std::size_t interpreter) {
  std::vector<std::wstring> arguments;
  std::size_t position = 0;
  while (position <= text.size()) {
    const std::size_t end = std::min(text.find('\0', position), text.size());
    arguments.push_back(OBRuntime::Utf8ToWide(text.substr(position, end - position)));
    position = end + 1;
  }
  const std::wstring script = CInterpreterContainer::FindScript(
      kInterpreters[interpreter % std::size(kInterpreters)], arguments);
  if (!script.empty() &&
      std::find(arguments.begin() + 1, arguments.end(), script) == arguments.end()) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orv::fuzz::SilenceLogs();
  if (size == 0) {
    return 0;
  }
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 4) {
    case 0: {
      orv::platform::ProcStat stat;
      if (orv::platform::ParseProcStat(text, stat) == kObSuccess &&
          stat.command_name.size() > text.size()) {
        std::abort();
      }
      break;
    }
    case 1: {
      orv::platform::ProcCredentials credentials;
      (void)orv::platform::ParseProcStatus(text, credentials);
      break;
    }
    case 2:
      (void)orv::platform::ParseUidMin(text);
      break;
    default:
      FuzzScript(text, data[0] / 4);
      break;
  }
  return 0;
}
