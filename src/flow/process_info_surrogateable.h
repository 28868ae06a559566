// The low-level queries about one process that surrogate host resolution needs: image path,
// command line, working directory, loaded modules and open files.
//
// Every query asks the system afresh (through IProcessQueries); nothing is cached here. A
// process that has exited, or that the agent may not inspect, gives kObFailure with a log line
// carrying the errno. Objects are made per lookup and used on one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "flow/process_queries.h"

// Lower-cases ASCII letters only, so that the result never depends on the locale.
[[nodiscard]] std::wstring LowerCaseAscii(std::wstring_view text);
// The same, written into out (its buffer reused).
void LowerCaseAscii(std::wstring_view text, std::wstring& out);

class CProcessInfoSurrogateable {
 public:
  // The caller gives command-line buffers of this many characters.
  static constexpr std::uint32_t kCommandLineCapacity = 260;

  explicit CProcessInfoSurrogateable(std::uint32_t process_id,
                                     IProcessQueries& queries = LinuxProcessQueries::Instance());
  virtual ~CProcessInfoSurrogateable() = default;
  CProcessInfoSurrogateable(const CProcessInfoSurrogateable&) = delete;
  CProcessInfoSurrogateable& operator=(const CProcessInfoSurrogateable&) = delete;

  [[nodiscard]] std::uint32_t GetProcessId() const noexcept { return process_id_; }

  // The image path of process id pid as the system reports it.
  [[nodiscard]] OB_STATUSCODE GetProcessImagePath(std::uint32_t pid, std::wstring& path);
  // This process's arguments joined with single spaces; kObFailure also when there are none
  // (kernel threads, zombies).
  [[nodiscard]] OB_STATUSCODE GetProcessCommandLine(std::wstring& command_line);
  // The command line into buffer with its terminator; size holds the capacity and becomes the
  // length. kObBufferTooSmall with size set to length + 1 when it does not fit; kObBadArgument for
  // a null buffer.
  [[nodiscard]] OB_STATUSCODE GetProcessCommandLine(wchar_t* buffer, std::uint32_t& size);
  // This process's arguments one by one (argv[0] first).
  [[nodiscard]] OB_STATUSCODE GetProcessArguments(std::vector<std::wstring>& arguments);
  [[nodiscard]] OB_STATUSCODE GetProcessWorkingDirectory(std::wstring& directory);
  // The files mapped into this process, lower-cased.
  [[nodiscard]] OB_STATUSCODE GetLoadedModulePaths(std::vector<std::wstring>& paths);
  // The regular files this process holds open whose path ends with extension (any case).
  [[nodiscard]] OB_STATUSCODE GetOpenFilePaths(std::wstring_view extension,
                                               std::vector<std::wstring>& paths);
  // Opens path, as this process sees it, for hashing; invalid when it cannot be opened.
  [[nodiscard]] OBRuntime::UniqueFd OpenFile(const std::wstring& path);

 protected:
  [[nodiscard]] IProcessQueries& queries() const noexcept { return queries_; }

 private:
  const std::uint32_t process_id_;
  IProcessQueries& queries_;
};
