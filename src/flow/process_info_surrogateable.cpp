#include "flow/process_info_surrogateable.h"

#include <algorithm>

#include "runtime/log_limiter.h"
#include "runtime/logger.h"
#include "runtime/text.h"

namespace {

std::vector<std::wstring> Widen(const std::vector<std::string>& texts) {
  std::vector<std::wstring> wide;
  wide.reserve(texts.size());
  for (const std::string& text : texts) {
    wide.push_back(OBRuntime::Utf8ToWide(text));
  }
  return wide;
}

// Exited processes are routine for a flow monitor; only other failures are errors.
LOGLEVEL LevelFor(OB_STATUSCODE status) { return status == kObNotFound ? LOG_DEBUG : LOG_ERROR; }

}  // namespace

std::wstring LowerCaseAscii(std::wstring_view text) {
  std::wstring lower;
  LowerCaseAscii(text, lower);
  return lower;
}

void LowerCaseAscii(std::wstring_view text, std::wstring& out) {
  out.assign(text);
  std::transform(out.begin(), out.end(), out.begin(), [](wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
  });
}

CProcessInfoSurrogateable::CProcessInfoSurrogateable(std::uint32_t process_id,
                                                     IProcessQueries& queries)
    : process_id_(process_id), queries_(queries) {}

OB_STATUSCODE CProcessInfoSurrogateable::GetProcessImagePath(std::uint32_t pid,
                                                             std::wstring& path) {
  // A process that is gone (or a kernel thread, which has no image) has no exe link; anything
  // else failing (no permission) is the module query failing.
  std::string image;
  int os_error = 0;
  const OB_STATUSCODE status = queries_.ImagePath(pid, image, os_error);
  if (status == kObNotFound) {
    OB_LOG_DEBUG(
        "CProcessInfo::getProcessPath failed to acquire process handle with error code %d.",
        os_error);
    return kObFailure;
  }
  if (status != kObSuccess) {
    OB_LOG_ERROR(
        "CProcessInfo::getProcessPath call to GetModuleFileNameEx failed with error code %d",
        os_error);
    return kObFailure;
  }
  path = OBRuntime::Utf8ToWide(image);
  return kObSuccess;
}

OB_STATUSCODE CProcessInfoSurrogateable::GetProcessArguments(std::vector<std::wstring>& arguments) {
  std::vector<std::string> argv;
  int os_error = 0;
  const OB_STATUSCODE status = queries_.CommandLine(process_id_, argv, os_error);
  if (status == kObNotFound) {
    OB_LOG_DEBUG("couldn't get process handle\n");
    return kObFailure;
  }
  if (status != kObSuccess || argv.empty()) {
    OB_LOG_LIMITED(status == kObSuccess ? LOG_DEBUG : LOG_ERROR,
                   "Reading cmd line failed failed %ld", static_cast<long>(os_error));
    return kObFailure;
  }
  arguments = Widen(argv);
  return kObSuccess;
}

OB_STATUSCODE CProcessInfoSurrogateable::GetProcessCommandLine(std::wstring& command_line) {
  std::vector<std::wstring> arguments;
  const OB_STATUSCODE status = GetProcessArguments(arguments);
  if (status != kObSuccess) {
    return status;
  }
  command_line.clear();
  for (const std::wstring& argument : arguments) {
    if (!command_line.empty()) {
      command_line += L' ';
    }
    command_line += argument;
  }
  return kObSuccess;
}

OB_STATUSCODE CProcessInfoSurrogateable::GetProcessCommandLine(wchar_t* buffer,
                                                               std::uint32_t& size) {
  if (buffer == nullptr) {
    OB_LOG_ERROR("null buffer for the command line of process %u", process_id_);
    return kObBadArgument;
  }
  std::wstring command_line;
  const OB_STATUSCODE status = GetProcessCommandLine(command_line);
  if (status != kObSuccess) {
    return status;
  }
  if (command_line.size() >= size) {
    size = static_cast<std::uint32_t>(command_line.size() + 1);
    return kObBufferTooSmall;
  }
  std::copy(command_line.begin(), command_line.end(), buffer);
  buffer[command_line.size()] = L'\0';
  size = static_cast<std::uint32_t>(command_line.size());
  return kObSuccess;
}

OB_STATUSCODE CProcessInfoSurrogateable::GetProcessWorkingDirectory(std::wstring& directory) {
  std::string path;
  int os_error = 0;
  const OB_STATUSCODE status = queries_.WorkingDirectory(process_id_, path, os_error);
  if (status != kObSuccess) {
    OB_LOG_LIMITED(LevelFor(status), "working directory of process %u unreadable: errno %d",
                   process_id_, os_error);
    return kObFailure;
  }
  directory = OBRuntime::Utf8ToWide(path);
  return kObSuccess;
}

OB_STATUSCODE CProcessInfoSurrogateable::GetLoadedModulePaths(std::vector<std::wstring>& paths) {
  std::vector<std::string> mapped;
  int os_error = 0;
  const OB_STATUSCODE status = queries_.MappedFiles(process_id_, mapped, os_error);
  if (status != kObSuccess) {
    OB_LOG_LIMITED(LevelFor(status), "loaded modules of process %u unreadable: errno %d",
                   process_id_, os_error);
    return kObFailure;
  }
  paths.clear();
  for (const std::string& path : mapped) {
    paths.push_back(LowerCaseAscii(OBRuntime::Utf8ToWide(path)));
  }
  return kObSuccess;
}

OB_STATUSCODE CProcessInfoSurrogateable::GetOpenFilePaths(std::wstring_view extension,
                                                          std::vector<std::wstring>& paths) {
  std::vector<std::string> open_files;
  int os_error = 0;
  const OB_STATUSCODE status =
      queries_.OpenFiles(process_id_, OBRuntime::WideToUtf8(extension), open_files, os_error);
  if (status != kObSuccess) {
    OB_LOG_LIMITED(LevelFor(status), "open files of process %u unreadable: errno %d", process_id_,
                   os_error);
    return kObFailure;
  }
  paths = Widen(open_files);
  return kObSuccess;
}

OBRuntime::UniqueFd CProcessInfoSurrogateable::OpenFile(const std::wstring& path) {
  return queries_.OpenInProcess(process_id_, OBRuntime::WideToUtf8(path));
}
