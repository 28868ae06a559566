#include "driver/socket_owner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <charconv>
#include <memory>
#include <string>
#include <string_view>

#include "platform/process_query.h"
#include "runtime/text.h"
#include "runtime/unique_fd.h"

namespace orv::driver {

namespace {

// A path field of a report holds 292 bytes: 146 UTF-16 units.
constexpr std::size_t kMaxPathUnits = 146;

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

bool ParseNumber(std::string_view text, std::uint32_t& value) {
  const char* end = text.data() + text.size();
  const auto [next, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && next == end && !text.empty();
}

UniqueDir OpenDirectory(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
  }
  return UniqueDir(dir);
}

bool ReadStat(std::uint32_t pid, platform::ProcStat& stat) {
  int os_error = 0;
  return platform::ReadProcStat(pid, stat, os_error) == kObSuccess;
}

std::u16string ImagePath(std::uint32_t pid) {
  std::string path;
  int os_error = 0;
  if (pid == 0 || platform::ReadProcExePath(pid, path, os_error) != kObSuccess) {
    return {};
  }
  const std::wstring wide = OBRuntime::Utf8ToWide(path);
  if (OBRuntime::Utf16Length(wide) > kMaxPathUnits) {
    return {};  // a cut path would name another file; the agent looks the process up itself
  }
  return OBRuntime::WideToUtf16(wide);
}

// True when the image /proc/<pid>/exe leads to is the file (inode, kernel-encoded device).
bool RunsImage(std::uint32_t pid, std::uint64_t inode, std::uint32_t device) {
  struct stat image {};
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  return inode != 0 && ::stat(link.c_str(), &image) == 0 && image.st_ino == inode &&
         image.st_dev == ::makedev(device >> 20, device & 0xfffffU);
}

std::uint64_t NanosecondsToTicks(std::uint64_t nanoseconds) {
  static const std::uint64_t nanoseconds_per_tick =
      1'000'000'000ULL / static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));
  return nanoseconds / nanoseconds_per_tick;
}

}  // namespace

std::size_t ProcOwnerResolver::KeyHash::operator()(const Key& key) const noexcept {
  const auto [pid, start, inode, device] = key;
  return std::hash<std::uint64_t>()(start ^ (inode << 1) ^ (static_cast<std::uint64_t>(pid) << 40) ^
                                    device);
}

ProcessDetails ProcOwnerResolver::Resolve(const KernelOwner& owner) {
  ProcessDetails details;
  details.pid = owner.pid;
  details.parent_pid = owner.parent_pid;
  details.start_time = NanosecondsToTicks(owner.start_boottime_ns);
  if (owner.pid == 0) {
    return details;
  }
  const Key key{owner.pid, owner.start_boottime_ns, owner.exe_inode, owner.exe_device};
  if (const auto cached = cache_.find(key); cached != cache_.end()) {
    return cached->second;
  }
  platform::ProcStat stat;
  if (!ReadStat(owner.pid, stat) || stat.start_time != details.start_time ||
      !RunsImage(owner.pid, owner.exe_inode, owner.exe_device)) {
    details.path = knownImage(owner);
    return details;  // gone or changed since the event: keep what the event carried
  }
  details.path = ImagePath(owner.pid);
  if (!RunsImage(owner.pid, owner.exe_inode, owner.exe_device)) {
    return ProcessDetails{owner.pid, owner.parent_pid, details.start_time, knownImage(owner), {}};
  }
  if (details.path.empty()) {
    // The link could not be read (the process is exiting, or the path is too long for a
    // report): not remembered, so the next flow tries again.
    details.path = knownImage(owner);
    return details;
  }
  if (images_.size() >= kMaxImages) {
    images_.clear();
  }
  images_.insert_or_assign({owner.exe_inode, owner.exe_device}, details.path);
  platform::ProcStat parent;
  if (ReadStat(owner.parent_pid, parent) && parent.start_time <= details.start_time) {
    details.parent_path = ImagePath(owner.parent_pid);
  }
  if (cache_.size() >= kMaxEntries) {
    cache_.clear();  // simple and bounded: the live processes come back on their next flow
  }
  cache_.emplace(key, details);
  return details;
}

std::u16string ProcOwnerResolver::knownImage(const KernelOwner& owner) const {
  const auto found = images_.find({owner.exe_inode, owner.exe_device});
  return found != images_.end() && owner.exe_inode != 0 ? found->second : std::u16string();
}

void ProcSocketOwnerSource::FindOwners(const std::unordered_set<std::uint32_t>& inodes,
                                       std::unordered_map<std::uint32_t, ProcessDetails>& owners) {
  const UniqueDir proc = OpenDirectory("/proc");
  if (proc == nullptr || inodes.empty()) {
    return;
  }
  std::unordered_set<std::uint32_t> wanted = inodes;
  std::vector<std::uint32_t> found;
  while (!wanted.empty()) {
    const dirent* entry = ::readdir(proc.get());
    if (entry == nullptr) {
      break;
    }
    std::uint32_t pid = 0;
    platform::ProcStat before;
    if (!ParseNumber(entry->d_name, pid) || !ReadStat(pid, before)) {
      continue;
    }
    found.clear();
    ProcessDetails details;
    if (!scanDescriptors(pid, wanted, found) || !readDetails(pid, before.start_time, details)) {
      continue;
    }
    for (std::uint32_t inode : found) {
      wanted.erase(inode);
      owners.emplace(inode, details);
    }
  }
}

bool ProcSocketOwnerSource::scanDescriptors(std::uint32_t pid,
                                            const std::unordered_set<std::uint32_t>& wanted,
                                            std::vector<std::uint32_t>& found) {
  const UniqueDir fds = OpenDirectory("/proc/" + std::to_string(pid) + "/fd");
  if (fds == nullptr) {
    return false;
  }
  while (const dirent* entry = ::readdir(fds.get())) {
    if (entry->d_name[0] == '.') {
      continue;
    }
    // Following the descriptor link yields the socket's own inode: cheaper than reading the
    // link's "socket:[N]" text, which the kernel formats on every call.
    struct stat target {};
    if (::fstatat(::dirfd(fds.get()), entry->d_name, &target, 0) == 0 && S_ISSOCK(target.st_mode) &&
        wanted.contains(static_cast<std::uint32_t>(target.st_ino))) {
      found.push_back(static_cast<std::uint32_t>(target.st_ino));
    }
  }
  return !found.empty();
}

bool ProcSocketOwnerSource::readDetails(std::uint32_t pid, std::uint64_t start_time,
                                        ProcessDetails& details) {
  details.pid = pid;
  details.start_time = start_time;
  details.path = ImagePath(pid);
  platform::ProcStat after;
  if (!ReadStat(pid, after) || after.start_time != start_time) {
    return false;  // exited, perhaps with its pid reused, while its descriptors were read
  }
  details.parent_pid = after.parent_pid;
  platform::ProcStat parent;
  // A parent that started after its child is a reused pid: its image says nothing.
  if (ReadStat(after.parent_pid, parent) && parent.start_time <= start_time) {
    details.parent_path = ImagePath(after.parent_pid);
  }
  return true;
}

void ProcSocketOwnerSource::ListProcesses(std::vector<std::uint32_t>& pids) {
  const UniqueDir proc = OpenDirectory("/proc");
  if (proc == nullptr) {
    return;
  }
  while (const dirent* entry = ::readdir(proc.get())) {
    std::uint32_t pid = 0;
    if (ParseNumber(entry->d_name, pid)) {
      pids.push_back(pid);
    }
  }
}

}  // namespace orv::driver
