#include "flow/host_containers.h"

#include <algorithm>
#include <iterator>

#include "runtime/logger.h"
#include "runtime/text.h"

namespace {

constexpr wchar_t kSvchostGroupsKey[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Svchost\\";
constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\services\\";
constexpr std::uint32_t kServiceGroupsMaxBytes = 16384;
constexpr std::uint32_t kServiceDllMaxBytes = 2048;
constexpr std::uint32_t kInprocServerMaxBytes = 1024;
constexpr std::uint32_t kExpandMaxCharacters = 1024;

// Host paths under the system directory: system32 always, syswow64 on a 64-bit system.
std::vector<std::wstring> SystemHostPaths(const std::wstring& windows_directory, bool is_64bit_os,
                                          std::wstring_view file_name) {
  std::vector<std::wstring> paths{windows_directory + L"/system32/" + std::wstring(file_name)};
  if (is_64bit_os) {
    paths.push_back(windows_directory + L"/syswow64/" + std::wstring(file_name));
  }
  return paths;
}

// The 64-bit view unless the system is 32-bit or the host runs from the 32-bit directory.
RegistryView ViewFor(CProcessInfoSurrogateable& process, const std::wstring& windows_directory,
                     bool is_64bit_os) {
  if (!is_64bit_os) {
    return RegistryView::kDefault;
  }
  std::wstring image;
  const bool from_wow64 =
      process.GetProcessImagePath(process.GetProcessId(), image) == kObSuccess &&
      LowerCaseAscii(image).starts_with(LowerCaseAscii(windows_directory + L"/syswow64/"));
  return from_wow64 ? RegistryView::kDefault : RegistryView::k64Bit;
}

// A string value as a path: plain strings as they are, expandable ones expanded.
OB_STATUSCODE StringValueAsPath(IRegistryReader& registry, const RegistryValue& value,
                                std::wstring& path) {
  if (value.strings.empty() ||
      (value.type != kRegistryString && value.type != kRegistryExpandString)) {
    return kObFailure;
  }
  if (value.type == kRegistryString) {
    path = value.strings.front();
    return kObSuccess;
  }
  return registry.ExpandEnvironmentStrings(value.strings.front(), kExpandMaxCharacters, path) ==
                 kObSuccess
             ? kObSuccess
             : kObFailure;
}

}  // namespace

std::vector<std::wstring> SplitCommandLine(std::wstring_view text, std::wstring_view delimiters) {
  std::vector<std::wstring> parts;
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t end = std::min(text.find_first_of(delimiters, position), text.size());
    if (end > position) {
      parts.emplace_back(text.substr(position, end - position));
    }
    position = end + 1;
  }
  return parts;
}

CSvcHostContainer::CSvcHostContainer(IRegistryReader& registry, std::wstring windows_directory,
                                     bool is_64bit_os)
    : registry_(registry),
      windows_directory_(std::move(windows_directory)),
      is_64bit_os_(is_64bit_os) {}

OB_STATUSCODE CSvcHostContainer::GetContainerPaths(std::vector<std::wstring>& paths) {
  paths = SystemHostPaths(windows_directory_, is_64bit_os_, L"svchost.exe");
  return kObSuccess;
}

OB_STATUSCODE CSvcHostContainer::GetModulePathList(CProcessInfoSurrogateable& process,
                                                   std::vector<std::wstring>& paths) {
  std::wstring command_line;
  if (process.GetProcessCommandLine(command_line) != kObSuccess) {
    return kObFailure;
  }
  // "svchost.exe -k <group> ...": the group is the third part.
  const std::vector<std::wstring> parts = SplitCommandLine(command_line, L" ");
  if (parts.size() < 3) {
    OB_LOG_DEBUG("service host command line has %zu parts, no group", parts.size());
    return kObFailure;
  }
  const RegistryView view = ViewFor(process, windows_directory_, is_64bit_os_);
  RegistryValue group;
  if (registry_.ReadValue(RegistryRoot::kLocalMachine, kSvchostGroupsKey, parts[2], view,
                          kServiceGroupsMaxBytes, group) != kObSuccess) {
    OB_LOG_ERROR("Failed to fetch the service groups for svchost.");
    return kObFailure;
  }
  std::vector<std::wstring> services = group.strings;
  if (group.type != kRegistryMultiString && services.size() > 1) {
    services.resize(1);
  }
  std::vector<std::wstring> candidates;
  const bool all_read = ReadServiceDlls(services, view, candidates);

  std::vector<std::wstring> result;
  std::vector<std::wstring> loaded;
  if (process.GetLoadedModulePaths(loaded) == kObSuccess) {
    std::vector<std::wstring> sorted_candidates = candidates;
    std::sort(sorted_candidates.begin(), sorted_candidates.end());
    std::sort(loaded.begin(), loaded.end());
    std::set_intersection(sorted_candidates.begin(), sorted_candidates.end(), loaded.begin(),
                          loaded.end(), std::back_inserter(result));
    result.resize(std::min(result.size(), kMaxModules));
  }
  if (result.empty()) {
    result.assign(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                               candidates.size(), kMaxModules)));
  }
  paths = std::move(result);
  return all_read ? kObSuccess : kObPartialFailure;
}

bool CSvcHostContainer::ReadServiceDlls(const std::vector<std::wstring>& services,
                                        RegistryView view, std::vector<std::wstring>& dlls) {
  bool all_read = true;
  for (const std::wstring& service : services) {
    RegistryValue value;
    std::wstring path;
    if (registry_.ReadValue(RegistryRoot::kLocalMachine, kServicesKey + service + L"\\Parameters",
                            L"ServiceDll", view, kServiceDllMaxBytes, value) != kObSuccess ||
        StringValueAsPath(registry_, value, path) != kObSuccess) {
      OB_LOG_DEBUG("no service DLL for service %s", OBRuntime::WideToUtf8(service).c_str());
      all_read = false;
      continue;
    }
    dlls.push_back(LowerCaseAscii(path));
  }
  return all_read;
}

CRunDll32Container::CRunDll32Container(std::wstring windows_directory, bool is_64bit_os)
    : windows_directory_(std::move(windows_directory)), is_64bit_os_(is_64bit_os) {}

OB_STATUSCODE CRunDll32Container::GetContainerPaths(std::vector<std::wstring>& paths) {
  paths = SystemHostPaths(windows_directory_, is_64bit_os_, L"rundll32.exe");
  return kObSuccess;
}

OB_STATUSCODE CRunDll32Container::GetModulePathList(CProcessInfoSurrogateable& process,
                                                    std::vector<std::wstring>& paths) {
  std::wstring command_line;
  if (process.GetProcessCommandLine(command_line) != kObSuccess) {
    return kObFailure;
  }
  // "rundll32.exe <dll>,<entry point> ...": the DLL is the second part.
  const std::vector<std::wstring> parts = SplitCommandLine(command_line, L" ,'");
  if (parts.size() < 3) {
    OB_LOG_DEBUG("DLL runner command line has %zu parts, no DLL", parts.size());
    return kObFailure;
  }
  const std::wstring& dll = parts[1];
  if (dll.find(L":\\") != std::wstring::npos) {
    paths = {dll};
    return kObSuccess;
  }
  const std::wstring name = LowerCaseAscii(dll.substr(dll.rfind(L'\\') + 1));
  std::vector<std::wstring> loaded;
  if (process.GetLoadedModulePaths(loaded) != kObSuccess) {
    return kObFailure;
  }
  const auto found = std::find_if(loaded.begin(), loaded.end(), [&name](const std::wstring& path) {
    return path.ends_with(name);
  });
  if (found == loaded.end()) {
    OB_LOG_DEBUG("DLL %s is not loaded by the DLL runner", OBRuntime::WideToUtf8(name).c_str());
    return kObFailure;
  }
  paths = {*found};
  return kObSuccess;
}

CDllHostContainer::CDllHostContainer(IRegistryReader& registry, std::wstring windows_directory,
                                     bool is_64bit_os)
    : registry_(registry),
      windows_directory_(std::move(windows_directory)),
      is_64bit_os_(is_64bit_os) {}

OB_STATUSCODE CDllHostContainer::GetContainerPaths(std::vector<std::wstring>& paths) {
  paths = SystemHostPaths(windows_directory_, is_64bit_os_, L"dllhost.exe");
  return kObSuccess;
}

OB_STATUSCODE CDllHostContainer::GetModulePathList(CProcessInfoSurrogateable& process,
                                                   std::vector<std::wstring>& paths) {
  std::wstring command_line;
  if (process.GetProcessCommandLine(command_line) != kObSuccess) {
    return kObFailure;
  }
  // "dllhost.exe /Processid:{<class id>}": the class id with its closing brace is the third part.
  const std::vector<std::wstring> parts = SplitCommandLine(command_line, L" ,{");
  if (parts.size() < 3 || parts[2].empty()) {
    OB_LOG_DEBUG("COM surrogate command line has %zu parts, no class id", parts.size());
    return kObFailure;
  }
  const RegistryView view = ViewFor(process, windows_directory_, is_64bit_os_);
  RegistryValue value;
  if (registry_.ReadValue(RegistryRoot::kClassesRoot, L"CLSID\\{" + parts[2] + L"\\InprocServer32",
                          L"", view, kInprocServerMaxBytes, value) != kObSuccess) {
    OB_LOG_ERROR("Failed to fetch the dll for dllhost.");
    return kObFailure;
  }
  std::wstring path;
  if (StringValueAsPath(registry_, value, path) != kObSuccess) {
    OB_LOG_DEBUG("COM class server value of type %u is not a usable path", value.type);
    return kObFailure;
  }
  paths = {path};
  return kObSuccess;
}

OB_STATUSCODE CJavaContainer::GetContainerPaths(std::vector<std::wstring>& paths) {
  // The Windows launcher names and the Linux ones.
  paths = {L"java.exe", L"javaw.exe", L"javaws.exe", L"jp2launcher.exe", L"java", L"javaws"};
  return kObSuccess;
}

OB_STATUSCODE CJavaContainer::GetModulePathList(CProcessInfoSurrogateable& process,
                                                std::vector<std::wstring>& paths) {
  return process.GetOpenFilePaths(L".jar", paths) == kObSuccess ? kObSuccess : kObFailure;
}
