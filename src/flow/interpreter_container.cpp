#include "flow/interpreter_container.h"

#include <algorithm>
#include <array>
#include <filesystem>

#include "flow/container_manager.h"
#include "flow/host_containers.h"
#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/utils.h"

namespace {

// How an interpreter reads its options. Short options come in clusters ("-Bc"): a scriptless
// letter means the code is inline; a value letter takes the rest of the cluster, or the next
// argument when the cluster ends there; an attached letter takes only the rest of the cluster.
struct OptionRules {
  std::wstring_view names;  // space-separated interpreter names
  std::wstring_view scriptless;
  std::wstring_view value;
  std::wstring_view attached;
  std::array<std::wstring_view, 6> long_value;
  std::array<std::wstring_view, 4> long_scriptless;
};

constexpr std::array<OptionRules, 5> kInterpreters = {{
    {L"python", L"cm", L"WX", L"", {L"--check-hash-based-pycs"}, {}},
    {L"perl", L"eE", L"", L"IMmixlC0dD", {}, {}},
    {L"ruby", L"e", L"Ir", L"CEFKTWx0", {}, {}},
    {L"node nodejs",
     L"ep",
     L"r",
     L"",
     {L"--require", L"--import", L"--loader", L"--experimental-loader", L"--conditions"},
     {L"--eval", L"--print", L"--interactive"}},
    {L"sh bash dash", L"cs", L"oO", L"", {L"--rcfile", L"--init-file"}, {}},
}};

const OptionRules* RulesFor(std::wstring_view interpreter) {
  for (const OptionRules& rules : kInterpreters) {
    const std::vector<std::wstring> names = SplitCommandLine(rules.names, L" ");
    if (std::find(names.begin(), names.end(), interpreter) != names.end()) {
      return &rules;
    }
  }
  return nullptr;
}

template <std::size_t N>
bool Contains(const std::array<std::wstring_view, N>& list, std::wstring_view text) {
  return !text.empty() && std::find(list.begin(), list.end(), text) != list.end();
}

enum class Cluster { kPlain, kTakesNext, kScriptless };

// Classifies one short-option cluster without its leading '-' or '+'.
Cluster ReadCluster(const OptionRules& rules, std::wstring_view letters) {
  for (std::size_t index = 0; index < letters.size(); ++index) {
    const wchar_t letter = letters[index];
    if (rules.scriptless.find(letter) != std::wstring_view::npos) {
      return Cluster::kScriptless;
    }
    if (rules.value.find(letter) != std::wstring_view::npos) {
      return index + 1 == letters.size() ? Cluster::kTakesNext : Cluster::kPlain;
    }
    if (rules.attached.find(letter) != std::wstring_view::npos) {
      return Cluster::kPlain;
    }
  }
  return Cluster::kPlain;
}

}  // namespace

OB_STATUSCODE CInterpreterContainer::GetContainerPaths(std::vector<std::wstring>& paths) {
  paths.clear();
  for (const OptionRules& rules : kInterpreters) {
    const std::vector<std::wstring> names = SplitCommandLine(rules.names, L" ");
    paths.insert(paths.end(), names.begin(), names.end());
  }
  return kObSuccess;
}

std::wstring CInterpreterContainer::FindScript(std::wstring_view interpreter,
                                               const std::vector<std::wstring>& arguments) {
  const OptionRules* rules = RulesFor(interpreter);
  if (rules == nullptr) {
    return {};
  }
  for (std::size_t index = 1; index < arguments.size(); ++index) {
    const std::wstring_view argument = arguments[index];
    if (argument == L"--") {
      return index + 1 < arguments.size() ? arguments[index + 1] : std::wstring();
    }
    if (argument == L"-" || argument.empty()) {
      return {};
    }
    if (argument.starts_with(L"--")) {
      const std::wstring_view name = argument.substr(0, argument.find(L'='));
      if (Contains(rules->long_scriptless, name)) {
        return {};
      }
      if (name == argument && Contains(rules->long_value, name)) {
        ++index;
      }
      continue;
    }
    if (argument.front() == L'-' || (argument.front() == L'+' && interpreter.ends_with(L"sh"))) {
      const Cluster cluster = ReadCluster(*rules, argument.substr(1));
      if (cluster == Cluster::kScriptless) {
        return {};
      }
      if (cluster == Cluster::kTakesNext) {
        ++index;
      }
      continue;
    }
    return std::wstring(argument);
  }
  return {};
}

OB_STATUSCODE CInterpreterContainer::GetModulePathList(CProcessInfoSurrogateable& process,
                                                       std::vector<std::wstring>& paths) {
  std::wstring image;
  std::vector<std::wstring> arguments;
  if (process.GetProcessImagePath(process.GetProcessId(), image) != kObSuccess ||
      process.GetProcessArguments(arguments) != kObSuccess) {
    return kObFailure;
  }
  const std::wstring interpreter(
      StripTrailingVersion(LowerCaseAscii(OBRuntime::Utils::FileNameOf(image))));
  const std::wstring script = FindScript(interpreter, arguments);
  if (script.empty()) {
    OB_LOG_DEBUG("%s (process %u) runs no script file", OBRuntime::WideToUtf8(interpreter).c_str(),
                 process.GetProcessId());
    return kObNotFound;
  }
  std::filesystem::path path(OBRuntime::WideToUtf8(script));
  if (path.is_relative()) {
    std::wstring directory;
    if (process.GetProcessWorkingDirectory(directory) != kObSuccess) {
      return kObFailure;
    }
    path = std::filesystem::path(OBRuntime::WideToUtf8(directory)) / path;
  }
  paths = {OBRuntime::Utf8ToWide(path.lexically_normal().string())};
  return kObSuccess;
}
