// Which process holds a socket, found through /proc: the flow reporter's inode → process lookup.
//
// A socket's inode is what a descriptor in /proc/<pid>/fd leads to. The lookup
// walks every process once per call and stops early when every wanted inode is found. A process
// is identified by (pid, start time): its stat file is read before its descriptors and again
// after its image path, and a process whose start time changed in between (it exited and the
// pid was reused) yields nothing, so a socket is never attributed to the wrong process. A
// socket shared by several processes goes to the first one found. Not thread-safe: one owner.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace orv::driver {

// What a flow report says about its process.
struct ProcessDetails {
  std::uint32_t pid = 0;
  std::uint32_t parent_pid = 0;
  std::uint64_t start_time = 0;  // clock ticks after boot, from /proc/<pid>/stat
  // UTF-16 image paths, empty when unknown or longer than the 146 units a report holds.
  std::u16string path;
  std::u16string parent_path;
};

// The seam between the flow table and /proc, so the table can be tested with a fake.
class ISocketOwnerSource {
 public:
  virtual ~ISocketOwnerSource() = default;
  // Adds the owner of each of inodes to owners; inodes that no process holds are left out.
  virtual void FindOwners(const std::unordered_set<std::uint32_t>& inodes,
                          std::unordered_map<std::uint32_t, ProcessDetails>& owners) = 0;
  // The ids of all processes that exist now, in no particular order.
  virtual void ListProcesses(std::vector<std::uint32_t>& pids) = 0;
};

class ProcSocketOwnerSource final : public ISocketOwnerSource {
 public:
  // ISocketOwnerSource
  void FindOwners(const std::unordered_set<std::uint32_t>& inodes,
                  std::unordered_map<std::uint32_t, ProcessDetails>& owners) override;
  void ListProcesses(std::vector<std::uint32_t>& pids) override;

 private:
  // Adds the wanted sockets pid holds to found; false when pid has none or is unreadable.
  static bool scanDescriptors(std::uint32_t pid, const std::unordered_set<std::uint32_t>& wanted,
                              std::vector<std::uint32_t>& found);
  // Details of pid, started at start_time; false when the process changed or vanished.
  static bool readDetails(std::uint32_t pid, std::uint64_t start_time, ProcessDetails& details);
};

// A process as the kernel flow source names it: the process id, its start (nanoseconds after
// boot, as /proc/<pid>/stat counts it) and its image file's inode and device (kernel encoding,
// major << 20 | minor), so a reused pid or a later exec is never taken for the process meant.
struct KernelOwner {
  std::uint32_t pid = 0;
  std::uint32_t parent_pid = 0;
  std::uint64_t start_boottime_ns = 0;
  std::uint64_t exe_inode = 0;
  std::uint32_t exe_device = 0;
};

// The seam between the kernel flow table and /proc.
class IOwnerResolver {
 public:
  virtual ~IOwnerResolver() = default;
  // The details of owner: its ids always, its image paths when the process still runs that image.
  [[nodiscard]] virtual ProcessDetails Resolve(const KernelOwner& owner) = 0;
};

// Resolves through /proc, remembering up to kMaxEntries processes, and the paths of up to
// kMaxImages image files: a process that exited (or exec'd) before its flow was looked up still
// gets the path of the image the event names by inode and device, once any process running that
// file has been resolved. Not thread-safe: one owner.
class ProcOwnerResolver final : public IOwnerResolver {
 public:
  static constexpr std::size_t kMaxEntries = 4096;
  static constexpr std::size_t kMaxImages = 1024;

  [[nodiscard]] ProcessDetails Resolve(const KernelOwner& owner) override;

 private:
  using Key = std::tuple<std::uint32_t, std::uint64_t, std::uint64_t, std::uint32_t>;
  struct KeyHash {
    std::size_t operator()(const Key& key) const noexcept;
  };
  // The path of the image (inode, device) names, when a process running it was resolved.
  [[nodiscard]] std::u16string knownImage(const KernelOwner& owner) const;

  std::unordered_map<Key, ProcessDetails, KeyHash> cache_;
  std::map<std::pair<std::uint64_t, std::uint32_t>, std::u16string> images_;
};

}  // namespace orv::driver
