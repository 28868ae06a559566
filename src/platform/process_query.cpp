#include "platform/process_query.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <memory>

#include "runtime/logger.h"
#include "runtime/unique_fd.h"

namespace orv::platform {
namespace {

// PF_KTHREAD from the kernel's sched.h: the task is a kernel thread.
constexpr std::uint64_t kKernelThreadFlag = 0x00200000;
// stat and status are a few hundred bytes; cmdline is cut here rather than read without bound.
constexpr std::size_t kMaxSmallFile = std::size_t{16} * 1024;
constexpr std::size_t kMaxCommandLine = std::size_t{64} * 1024;
constexpr std::size_t kMaxMapsFile = std::size_t{8} * 1024 * 1024;

std::string ProcPath(std::uint32_t pid, std::string_view leaf) {
  std::string path = "/proc/" + std::to_string(pid);
  if (!leaf.empty()) {
    path += '/';
    path += leaf;
  }
  return path;
}

OB_STATUSCODE StatusFromErrno(int error) {
  return (error == ENOENT || error == ESRCH) ? kObNotFound : kObFailure;
}

// Reads at most limit bytes of a /proc file.
OB_STATUSCODE ReadProcFile(const std::string& path, std::size_t limit, std::string& contents,
                           int& os_error) {
  const OBRuntime::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) {
    os_error = errno;
    return StatusFromErrno(os_error);
  }
  contents.clear();
  std::array<char, 4096> block;
  while (contents.size() < limit) {
    const ssize_t got =
        ::read(fd.get(), block.data(), std::min(block.size(), limit - contents.size()));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      os_error = errno;
      return StatusFromErrno(os_error);
    }
    if (got == 0) {
      break;
    }
    contents.append(block.data(), static_cast<std::size_t>(got));
  }
  os_error = 0;
  return kObSuccess;
}

OB_STATUSCODE ReadLink(const std::string& path, std::string& target, int& os_error) {
  std::array<char, PATH_MAX> buffer;
  const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
  if (length < 0) {
    os_error = errno;
    return StatusFromErrno(os_error);
  }
  if (static_cast<std::size_t>(length) >= buffer.size()) {
    os_error = ENAMETOOLONG;
    return kObFailure;
  }
  target.assign(buffer.data(), static_cast<std::size_t>(length));
  os_error = 0;
  return kObSuccess;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// Splits at runs of spaces and tabs.
std::vector<std::string_view> SplitFields(std::string_view text) {
  std::vector<std::string_view> fields;
  std::size_t position = 0;
  while (true) {
    position = text.find_first_not_of(" \t", position);
    if (position == std::string_view::npos) {
      return fields;
    }
    const std::size_t end = std::min(text.find_first_of(" \t", position), text.size());
    fields.push_back(text.substr(position, end - position));
    position = end;
  }
}

// The rest of the first line of a status file that begins with key.
bool FindStatusLine(std::string_view text, std::string_view key, std::string_view& value) {
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t end = std::min(text.find('\n', position), text.size());
    const std::string_view line = text.substr(position, end - position);
    if (line.starts_with(key)) {
      value = line.substr(key.size());
      return true;
    }
    position = end + 1;
  }
  return false;
}

bool EndsWithIgnoringCase(std::string_view text, std::string_view suffix) {
  if (suffix.size() > text.size()) {
    return false;
  }
  return std::equal(suffix.begin(), suffix.end(),
                    text.end() - static_cast<std::ptrdiff_t>(suffix.size()), [](char a, char b) {
                      const auto lower = [](char c) {
                        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
                      };
                      return lower(a) == lower(b);
                    });
}

void AddOnce(std::vector<std::string>& paths, std::string path) {
  if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
    paths.push_back(std::move(path));
  }
}

struct DirCloser {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

}  // namespace

OB_STATUSCODE ParseProcStat(std::string_view text, ProcStat& out) {
  // The command name may itself hold spaces and parentheses: it runs to the last ')'.
  const std::size_t open = text.find('(');
  const std::size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    OB_LOG_WARN("malformed stat text: no command name (%zu bytes)", text.size());
    return kObBadArgument;
  }
  const std::vector<std::string_view> fields = SplitFields(text.substr(close + 1));
  // fields[0] is field 3 (state): field n is fields[n - 3].
  constexpr std::size_t kParent = 4 - 3;
  constexpr std::size_t kFlags = 9 - 3;
  constexpr std::size_t kStartTime = 22 - 3;
  std::uint64_t flags = 0;
  if (fields.size() <= kStartTime || !ParseNumber(fields[kParent], out.parent_pid) ||
      !ParseNumber(fields[kFlags], flags) || !ParseNumber(fields[kStartTime], out.start_time)) {
    OB_LOG_WARN("malformed stat text: %zu fields after the command name", fields.size());
    return kObBadArgument;
  }
  out.command_name.assign(text.substr(open + 1, close - open - 1));
  out.kernel_thread = (flags & kKernelThreadFlag) != 0;
  return kObSuccess;
}

OB_STATUSCODE ParseProcStatus(std::string_view text, ProcCredentials& out) {
  std::string_view uid_line;
  std::vector<std::string_view> uids;
  if (!FindStatusLine(text, "Uid:", uid_line) || (uids = SplitFields(uid_line)).size() < 2 ||
      !ParseNumber(uids[1], out.effective_uid)) {
    OB_LOG_WARN("malformed status text: no effective uid");
    return kObBadArgument;
  }
  out.groups.clear();
  std::string_view gid_line;
  if (FindStatusLine(text, "Gid:", gid_line)) {
    const std::vector<std::string_view> gids = SplitFields(gid_line);
    std::uint32_t gid = 0;
    if (gids.size() < 2 || !ParseNumber(gids[1], gid)) {
      OB_LOG_WARN("malformed status text: bad Gid line");
      return kObBadArgument;
    }
    out.groups.push_back(gid);
  }
  std::string_view groups_line;
  if (FindStatusLine(text, "Groups:", groups_line)) {
    for (const std::string_view field : SplitFields(groups_line)) {
      std::uint32_t gid = 0;
      if (!ParseNumber(field, gid)) {
        OB_LOG_WARN("malformed status text: bad group '%.*s'", static_cast<int>(field.size()),
                    field.data());
        return kObBadArgument;
      }
      out.groups.push_back(gid);
    }
  }
  return kObSuccess;
}

OB_STATUSCODE ReadProcStat(std::uint32_t pid, ProcStat& out, int& os_error) {
  std::string text;
  const OB_STATUSCODE status = ReadProcFile(ProcPath(pid, "stat"), kMaxSmallFile, text, os_error);
  if (status != kObSuccess) {
    return status;
  }
  return ParseProcStat(text, out) == kObSuccess ? kObSuccess : kObFailure;
}

OB_STATUSCODE ReadProcCredentials(std::uint32_t pid, ProcCredentials& out, int& os_error) {
  std::string text;
  const OB_STATUSCODE status = ReadProcFile(ProcPath(pid, "status"), kMaxSmallFile, text, os_error);
  if (status != kObSuccess) {
    return status;
  }
  return ParseProcStatus(text, out) == kObSuccess ? kObSuccess : kObFailure;
}

OB_STATUSCODE ReadProcExePath(std::uint32_t pid, std::string& path, int& os_error) {
  return ReadLink(ProcPath(pid, "exe"), path, os_error);
}

OB_STATUSCODE ReadProcWorkingDirectory(std::uint32_t pid, std::string& path, int& os_error) {
  return ReadLink(ProcPath(pid, "cwd"), path, os_error);
}

OB_STATUSCODE ReadProcCommandLine(std::uint32_t pid, std::vector<std::string>& argv,
                                  int& os_error) {
  std::string text;
  const OB_STATUSCODE status =
      ReadProcFile(ProcPath(pid, "cmdline"), kMaxCommandLine, text, os_error);
  if (status != kObSuccess) {
    return status;
  }
  argv.clear();
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t end = std::min(text.find('\0', position), text.size());
    argv.emplace_back(text.substr(position, end - position));
    position = end + 1;
  }
  return kObSuccess;
}

OB_STATUSCODE ReadProcMappedFiles(std::uint32_t pid, std::vector<std::string>& paths,
                                  int& os_error) {
  std::string text;
  const OB_STATUSCODE status = ReadProcFile(ProcPath(pid, "maps"), kMaxMapsFile, text, os_error);
  if (status != kObSuccess) {
    return status;
  }
  paths.clear();
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t end = std::min(text.find('\n', position), text.size());
    const std::string_view line = std::string_view(text).substr(position, end - position);
    // Layout: address perms offset dev inode path; the path (which may hold spaces) starts at
    // the first '/' after the inode; anonymous and special mappings have none.
    const std::vector<std::string_view> fields = SplitFields(line);
    if (fields.size() >= 6 && fields[5].starts_with('/')) {
      AddOnce(paths,
              std::string(line.substr(static_cast<std::size_t>(fields[5].data() - line.data()))));
    }
    position = end + 1;
  }
  return kObSuccess;
}

OB_STATUSCODE ReadProcOpenFiles(std::uint32_t pid, std::string_view extension,
                                std::vector<std::string>& paths, int& os_error) {
  const std::string directory = ProcPath(pid, "fd");
  const std::unique_ptr<DIR, DirCloser> dir(::opendir(directory.c_str()));
  if (!dir) {
    os_error = errno;
    return StatusFromErrno(os_error);
  }
  paths.clear();
  std::vector<std::pair<int, std::string>> found;
  // Each caller reads its own directory stream, which readdir allows from any thread.
  while (const dirent* entry = ::readdir(dir.get())) {  // NOLINT(concurrency-mt-unsafe)
    int descriptor = 0;
    if (!ParseNumber(std::string_view(entry->d_name), descriptor)) {
      continue;
    }
    const std::string link = directory + '/' + entry->d_name;
    std::string target;
    int link_error = 0;
    struct stat info {};
    if (ReadLink(link, target, link_error) != kObSuccess ||
        !EndsWithIgnoringCase(target, extension) || ::stat(link.c_str(), &info) != 0 ||
        !S_ISREG(info.st_mode)) {
      continue;
    }
    found.emplace_back(descriptor, std::move(target));
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [descriptor, path] : found) {
    AddOnce(paths, std::move(path));
  }
  os_error = 0;
  return kObSuccess;
}

}  // namespace orv::platform
