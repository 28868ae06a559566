// Queries about another process, read from /proc/<pid>.
//
// Each function reads one file or directory of /proc/<pid> and reports kObSuccess, kObNotFound
// when the process does not exist (or has exited meanwhile) and kObFailure for anything else
// (no permission, unreadable or malformed contents). os_error receives the errno behind a
// failure (0 for malformed contents) so callers can put it in their log lines; these functions
// log only malformed contents. Nothing here keeps state; every function is safe from any thread.
//
// A process can exit and its id be reused between two reads: callers that combine several reads
// identify a process by (pid, start time) and check the start time again afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"

namespace orv::platform {

// What /proc/<pid>/stat says about a process.
struct ProcStat {
  std::string command_name;      // field 2 without its parentheses (at most 15 bytes)
  std::uint32_t parent_pid = 0;  // field 4
  std::uint64_t start_time = 0;  // field 22, clock ticks after boot
  bool kernel_thread = false;    // PF_KTHREAD in field 9
};

// The effective identity of a process from /proc/<pid>/status.
struct ProcCredentials {
  std::uint32_t effective_uid = 0;
  // The effective gid (second value of "Gid:") then the supplementary groups ("Groups:"), in
  // the kernel's order.
  std::vector<std::uint32_t> groups;
};

// Parses the text of a stat file; kObBadArgument (logged) when a field is missing or malformed.
[[nodiscard]] OB_STATUSCODE ParseProcStat(std::string_view text, ProcStat& out);
// Parses the text of a status file; kObBadArgument (logged) without a well-formed "Uid:" line.
// A malformed "Gid:" or "Groups:" line is also rejected.
[[nodiscard]] OB_STATUSCODE ParseProcStatus(std::string_view text, ProcCredentials& out);

[[nodiscard]] OB_STATUSCODE ReadProcStat(std::uint32_t pid, ProcStat& out, int& os_error);
[[nodiscard]] OB_STATUSCODE ReadProcCredentials(std::uint32_t pid, ProcCredentials& out,
                                                int& os_error);
// The target of /proc/<pid>/exe: the image path (" (deleted)" appended by the kernel when the
// file was removed). Kernel threads have none: kObNotFound with os_error ENOENT.
[[nodiscard]] OB_STATUSCODE ReadProcExePath(std::uint32_t pid, std::string& path, int& os_error);
// The target of /proc/<pid>/cwd.
[[nodiscard]] OB_STATUSCODE ReadProcWorkingDirectory(std::uint32_t pid, std::string& path,
                                                     int& os_error);
// The arguments in /proc/<pid>/cmdline (at most 64 KiB read); empty for kernel threads and
// zombies.
[[nodiscard]] OB_STATUSCODE ReadProcCommandLine(std::uint32_t pid, std::vector<std::string>& argv,
                                                int& os_error);
// The distinct files mapped into the process (/proc/<pid>/maps), in first-mapped order.
[[nodiscard]] OB_STATUSCODE ReadProcMappedFiles(std::uint32_t pid, std::vector<std::string>& paths,
                                                int& os_error);
// The regular files the process holds open (/proc/<pid>/fd) whose path ends with extension,
// ignoring ASCII case; each path once, in descriptor order. Descriptors closed while the
// directory is walked are skipped.
[[nodiscard]] OB_STATUSCODE ReadProcOpenFiles(std::uint32_t pid, std::string_view extension,
                                              std::vector<std::string>& paths, int& os_error);

}  // namespace orv::platform
