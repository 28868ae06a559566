#include "driver/kernel_flow_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <mntent.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string_view>
#include <utility>

#include "common/operator_counters.h"
#include "platform/process_query.h"
#include "runtime/log_limiter.h"
#include "runtime/logger.h"
#include "runtime/unique_fd.h"

#ifdef ORV_HAVE_KERNEL_FLOW_SOURCE
#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include "flow_source.skel.h"
#endif

namespace orv::driver {

#ifdef ORV_HAVE_KERNEL_FLOW_SOURCE

namespace {

struct SkeletonCloser {
  void operator()(orv_flow_source* skeleton) const { orv_flow_source__destroy(skeleton); }
};
struct LinkCloser {
  void operator()(bpf_link* link) const { bpf_link__destroy(link); }
};
struct RingCloser {
  void operator()(ring_buffer* ring) const { ring_buffer__free(ring); }
};

// libbpf's own messages: the verifier's log can run to thousands of lines, so debug only.
int LogLibbpf(libbpf_print_level level, const char* format, va_list arguments) {
  if (level == LIBBPF_DEBUG) {
    return 0;
  }
  char line[512];
  std::vsnprintf(line, sizeof(line), format, arguments);
  OB_LOG_DEBUG("libbpf: %s", line);
  return 0;
}

// Where the cgroup v2 hierarchy is mounted (hybrid systems mount it beside v1), or empty.
std::string FindCgroup2Mount() {
  std::FILE* mounts = ::setmntent("/proc/mounts", "re");
  if (mounts == nullptr) {
    return {};
  }
  std::string found;
  while (const mntent* entry = ::getmntent(mounts)) {
    if (std::string_view(entry->mnt_type) == "cgroup2") {
      found = entry->mnt_dir;
      break;
    }
  }
  ::endmntent(mounts);
  return found;
}

std::string Failure(const char* what, int error) {
  return std::string(what) + ": " + ::ErrnoText(error);
}

// The owner record of process pid as the programs would have made it; false when it is gone.
bool OwnerOfProcess(std::uint32_t pid, orv_owner& owner) {
  platform::ProcStat stat;
  int os_error = 0;
  struct stat image {};
  const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  if (platform::ReadProcStat(pid, stat, os_error) != kObSuccess || stat.kernel_thread ||
      ::stat(exe.c_str(), &image) != 0) {
    return false;
  }
  static const std::uint64_t nanoseconds_per_tick =
      1'000'000'000ULL / static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));
  owner.tgid = pid;
  owner.parent_tgid = stat.parent_pid;
  owner.start_boottime_ns = stat.start_time * nanoseconds_per_tick;
  owner.exe_inode = image.st_ino;
  owner.exe_device = static_cast<std::uint32_t>((::major(image.st_dev) << 20) |
                                                (::minor(image.st_dev) & 0xfffffU));
  return true;
}

// Gives every socket that existed before the programs were attached (listeners of daemons
// started earlier, above all) its owner: a copy of each descriptor, taken with pidfd_getfd,
// keys the socket storage map. Sockets the programs have already seen keep their record.
void SeedOwners(int storage_map) {
  std::error_code error;
  for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
    std::uint32_t pid = 0;
    const std::string name = process.path().filename();
    if (std::sscanf(name.c_str(), "%u", &pid) != 1) {
      continue;
    }
    orv_socket_state state{};
    const OBRuntime::UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!pidfd.valid() || !OwnerOfProcess(pid, state.owner)) {
      continue;
    }
    std::error_code fd_error;
    for (const auto& entry : std::filesystem::directory_iterator(process.path() / "fd", fd_error)) {
      struct stat target {};
      int number = 0;
      if (::stat(entry.path().c_str(), &target) != 0 || !S_ISSOCK(target.st_mode) ||
          std::sscanf(entry.path().filename().c_str(), "%d", &number) != 1) {
        continue;
      }
      const OBRuntime::UniqueFd copy(
          static_cast<int>(::syscall(SYS_pidfd_getfd, pidfd.get(), number, 0)));
      const int key = copy.get();
      // Not an inet TCP or UDP socket: the map refuses it, which is all the check needed.
      if (copy.valid()) {
        static_cast<void>(bpf_map_update_elem(storage_map, &key, &state, BPF_NOEXIST));
      }
    }
  }
}

}  // namespace

struct KernelFlowSource::State {
  std::unique_ptr<orv_flow_source, SkeletonCloser> skeleton;
  OBRuntime::UniqueFd cgroup;
  std::vector<std::unique_ptr<bpf_link, LinkCloser>> links;
  std::unique_ptr<ring_buffer, RingCloser> ring;
  // Where Consume's callback delivers; set for the length of one Consume.
  KernelFlowTable* table = nullptr;
  const FlowClock* now = nullptr;
  std::vector<KdfFlowData>* reports = nullptr;
  DnsNameTracker* names = nullptr;
};

namespace {

// DNS packets share the ring with the flow events, so an answer is always learned before the
// flow that follows it starts.
void DeliverDnsPacket(KernelFlowSource::State& state, std::span<const std::uint8_t> bytes) {
  DnsPacket packet;
  if (!ReadDnsPacketEvent(bytes, packet)) {
    OB_LOG_LIMITED(LOG_WARNING, "dropped a kernel DNS packet event of %zu bytes (malformed or cut)",
                   bytes.size());
    return;
  }
  state.names->Apply(packet, state.now->monotonic);
}

int DeliverEvent(void* context, void* data, std::size_t size) {
  auto* state = static_cast<KernelFlowSource::State*>(context);
  const std::span bytes(static_cast<const std::uint8_t*>(data), size);
  if (!bytes.empty() && bytes[0] == ORV_EVENT_DNS_PACKET) {
    if (state->names != nullptr) {
      DeliverDnsPacket(*state, bytes);
    }
    return 0;
  }
  state->table->Apply(bytes, *state->now, *state->reports);
  return 0;
}

}  // namespace

std::unique_ptr<KernelFlowSource> KernelFlowSource::Open(std::string& why_not) {
  libbpf_set_print(LogLibbpf);
  auto state = std::make_unique<State>();
  const std::string cgroup_root = FindCgroup2Mount();
  if (cgroup_root.empty()) {
    why_not = "no cgroup2 mount";
    return nullptr;
  }
  if (::access("/sys/kernel/btf/vmlinux", R_OK) != 0) {
    why_not = Failure("no kernel BTF (/sys/kernel/btf/vmlinux)", errno);
    return nullptr;
  }
  state->cgroup.Reset(::open(cgroup_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!state->cgroup.valid()) {
    why_not = Failure(("cannot open " + cgroup_root).c_str(), errno);
    return nullptr;
  }
  state->skeleton.reset(orv_flow_source__open());
  if (!state->skeleton) {
    why_not = Failure("cannot open the flow programs", errno);
    return nullptr;
  }
  if (const int error = orv_flow_source__load(state->skeleton.get()); error != 0) {
    why_not = Failure("the kernel refused the flow programs (capabilities or verifier)", -error);
    return nullptr;
  }
  bpf_program* program = nullptr;
  bpf_object__for_each_program(program, state->skeleton->obj) {
    bpf_link* link = bpf_program__attach_cgroup(program, state->cgroup.get());
    if (link == nullptr) {
      why_not = Failure(
          ("cannot attach " + std::string(bpf_program__name(program)) + " at " + cgroup_root)
              .c_str(),
          errno);
      return nullptr;
    }
    state->links.emplace_back(link);
  }
  SeedOwners(bpf_map__fd(state->skeleton->maps.sockets));
  state->ring.reset(ring_buffer__new(bpf_map__fd(state->skeleton->maps.events), DeliverEvent,
                                     state.get(), nullptr));
  if (!state->ring) {
    why_not = Failure("cannot map the event ring buffer", errno);
    return nullptr;
  }
  return std::unique_ptr<KernelFlowSource>(new KernelFlowSource(std::move(state)));
}

int KernelFlowSource::Fd() const noexcept { return ring_buffer__epoll_fd(state_->ring.get()); }

void KernelFlowSource::LearnNamesWith(DnsNameTracker& tracker) noexcept {
  state_->names = &tracker;
}

void KernelFlowSource::Consume(KernelFlowTable& table, const FlowClock& now,
                               std::vector<KdfFlowData>& reports) {
  state_->table = &table;
  state_->now = &now;
  state_->reports = &reports;
  if (ring_buffer__consume(state_->ring.get()) < 0) {
    OB_LOG_LIMITED(LOG_WARNING, "reading the kernel flow events failed: %s",
                   ::ErrnoText(errno).c_str());
  }
  state_->table = nullptr;
  state_->now = nullptr;
  state_->reports = nullptr;
}

std::uint64_t KernelFlowSource::LostEvents() const noexcept {
  return __atomic_load_n(&state_->skeleton->bss->lost_events, __ATOMIC_RELAXED);
}

bool KernelFlowSource::ReadTcp(std::uint64_t cookie, orv_tcp_counters& out) {
  return bpf_map__lookup_elem(state_->skeleton->maps.tcp_flows, &cookie, sizeof(cookie), &out,
                              sizeof(out), 0) == 0;
}

bool KernelFlowSource::ReadUdp(const orv_flow_key& key, orv_udp_counters& out) {
  return bpf_map__lookup_elem(state_->skeleton->maps.udp_flows, &key, sizeof(key), &out,
                              sizeof(out), 0) == 0;
}

bool KernelFlowSource::TakeUdp(const orv_flow_key& key, orv_udp_counters& out) {
  if (bpf_map__lookup_and_delete_elem(state_->skeleton->maps.udp_flows, &key, sizeof(key), &out,
                                      sizeof(out), 0) == 0) {
    return true;
  }
  if (errno == ENOENT || !ReadUdp(key, out)) {
    return false;
  }
  // Kernels before 5.14 cannot do both in one call on a hash map.
  static_cast<void>(bpf_map__delete_elem(state_->skeleton->maps.udp_flows, &key, sizeof(key), 0));
  return true;
}

#else  // built without the BPF toolchain

struct KernelFlowSource::State {};

std::unique_ptr<KernelFlowSource> KernelFlowSource::Open(std::string& why_not) {
  why_not = "built without the BPF toolchain";
  return nullptr;
}

int KernelFlowSource::Fd() const noexcept { return -1; }
void KernelFlowSource::LearnNamesWith(DnsNameTracker&) noexcept {}
void KernelFlowSource::Consume(KernelFlowTable&, const FlowClock&, std::vector<KdfFlowData>&) {}
std::uint64_t KernelFlowSource::LostEvents() const noexcept { return 0; }
bool KernelFlowSource::ReadTcp(std::uint64_t, orv_tcp_counters&) { return false; }
bool KernelFlowSource::ReadUdp(const orv_flow_key&, orv_udp_counters&) { return false; }
bool KernelFlowSource::TakeUdp(const orv_flow_key&, orv_udp_counters&) { return false; }

#endif

KernelFlowSource::KernelFlowSource(std::unique_ptr<State> state) : state_(std::move(state)) {}

KernelFlowSource::~KernelFlowSource() = default;

void KernelFlowSource::LogLostEvents(std::chrono::steady_clock::time_point now) {
  const std::uint64_t lost = LostEvents();
  COperatorCounters::Instance().Add(FlowCounter::kKernelEventDrops, lost - lost_counted_);
  lost_counted_ = lost;
  if (lost == lost_logged_ || (last_lost_log_ != std::chrono::steady_clock::time_point{} &&
                               now - last_lost_log_ < std::chrono::minutes(1))) {
    return;
  }
  OB_LOG_WARN("%llu kernel flow events lost (the ring buffer was full); %llu since the start",
              static_cast<unsigned long long>(lost - lost_logged_),
              static_cast<unsigned long long>(lost));
  lost_logged_ = lost;
  last_lost_log_ = now;
}

}  // namespace orv::driver
