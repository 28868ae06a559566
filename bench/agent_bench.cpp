// Agent speed and footprint on this machine: a plain driver (orv_agent_bench) that runs the agent
// and prints what it measured, because fixed-rate runs inside namespaces of their own do not fit
// Google Benchmark's repeat-until-stable model.
//
//   orv_agent_bench [rate ...]      rates default to 5000 10000 20000 50000 100000 per second
//   orv_agent_bench --inside throughput RATE fake|live [tracked|-] [SECONDS] | idle |
//                            binary RATE [FLOWS]
//                                   one scenario, inside namespaces the caller made
//
// Every scenario runs in a child process of its own under `unshare -rnm` (private /dev/shm, lo
// up, a veth with a default route so the network is reachable and, with a blank VPN state,
// trusted), with PROGRAMDATA, ALLUSERSPROFILE and TMPDIR in a temporary directory; the profile
// exports (mode all, aggregation 1 s, no throttle) to a loopback collector that counts the flow
// records, decoding a sample of the messages in full.
//  - throughput: an in-process CORVAgent whose CKDF (port 0) uses a driver library stand-in that
//    answers success; flow data datagrams from 50 processes go at a fixed rate for 5 s (60 s for
//    the sustained run at the highest rate) through channel, admission and exporter. The framework
//    wraps the CKDF and counts what the channel delivers; the channel socket's kernel drop counter
//    says whether the rest was lost there. "Q Full" drops come from the agent's operator counter
//    (the log line is written for tracked flows only); the runs with a troubleshooting pattern
//    matching every flow show what tracking and its logging cost. Processes are either fake ids
//    above the kernel's pid range (every lookup fails) or live child processes whose flows carry
//    what the flow reporter sends for them (parent, start time, image path, no hash), so lookups
//    succeed and are cached. The agent's CPU is that of the process less the sender (main) and
//    collector threads.
//  - idle: the in-process agent's CPU over 10 s with collection on and no flows.
//  - binary: the real oborvagent (own flow reporter, port 2056) with 1,000 live processes:
//    start-up to "collection on" (its EnableAppFlow log line) and to the first record, CPU over
//    10 idle seconds, resident memory at start and after each quarter of 3.6 M flows (an hour
//    of 1,000 flows/s) sent at the highest rate the live throughput runs sustained with the
//    agent's CPU over that load, and SIGTERM to exit.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/operator_counters.h"
#include "core/orv_agent.h"
#include "driver/flow_datagram_builder.h"
#include "driver/orv_api_class_factory.h"
#include "export/ipfix_decoder.h"
#include "export/ipfix_defs.h"
#include "flow/kdf.h"
#include "platform/process_query.h"
#include "runtime/logger.h"
#include "runtime/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;
using OBRuntime::UniqueFd;

constexpr auto kDeadline = std::chrono::seconds(30);
constexpr std::uint32_t kPidBase = 4'000'000;  // above any pid_max: never a real process
constexpr std::size_t kPortOffset = 6;         // local endpoint's port, network order
constexpr std::size_t kSendBatch = 64;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---- /proc figures ----

struct ProcessUsage {
  std::uint64_t rss_kb = 0;
  std::uint64_t hwm_kb = 0;
  std::uint64_t threads = 0;
  double cpu_ms = 0;  // utime + stime
};

std::uint64_t StatusField(const std::string& status, const std::string& key) {
  const std::size_t at = status.find("\n" + key + ":");
  return at == std::string::npos ? 0
                                 : std::strtoull(status.c_str() + at + key.size() + 2, nullptr, 10);
}

// utime + stime of a /proc stat file, in milliseconds; 0 when it cannot be read.
double StatCpuMs(const std::string& path) {
  std::stringstream stat;
  stat << std::ifstream(path).rdbuf();
  const std::string text = stat.str();
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 > text.size()) {
    return 0;
  }
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  std::uint64_t ticks = 0;
  for (int index = 3; fields >> field && index <= 15; ++index) {
    if (index == 14 || index == 15) {  // utime, stime
      ticks += std::strtoull(field.c_str(), nullptr, 10);
    }
  }
  return 1000.0 * static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

ProcessUsage ReadUsage(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  ProcessUsage usage;
  std::stringstream status;
  status << std::ifstream(base + "/status").rdbuf();
  usage.rss_kb = StatusField(status.str(), "VmRSS");
  usage.hwm_kb = StatusField(status.str(), "VmHWM");
  usage.threads = StatusField(status.str(), "Threads");
  usage.cpu_ms = StatCpuMs(base + "/stat");
  return usage;
}

// Flows admission dropped at the full flow queue, tracked or not.
std::uint64_t QueueFullDrops() {
  return COperatorCounters::Instance().Read(0).Count(FlowCounter::kQueueFull);
}

// The one-minute load average when the run ended.
double LoadAverage() {
  double load = 0;
  std::ifstream("/proc/loadavg") >> load;
  return load;
}

// CPU milliseconds of each thread of this process, by thread id.
std::map<pid_t, double> ThreadCpu() {
  std::map<pid_t, double> threads;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
    const pid_t tid = static_cast<pid_t>(std::strtol(entry.path().filename().c_str(), nullptr, 10));
    threads[tid] = StatCpuMs(entry.path() / "stat");
  }
  return threads;
}

// Datagrams the kernel dropped so far on the IPv4 UDP sockets bound to a local port (the last
// column of /proc/net/udp; per network namespace).
std::uint64_t SocketDrops(std::uint16_t port) {
  std::ifstream table("/proc/net/udp");
  std::uint64_t drops = 0;
  std::string line;
  std::getline(table, line);  // heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot;
    std::string local;
    fields >> slot >> local;
    const std::size_t colon = local.find(':');
    if (colon == std::string::npos ||
        std::strtoul(local.c_str() + colon + 1, nullptr, 16) != port) {
      continue;
    }
    std::string last;
    for (std::string field; fields >> field;) {
      last = field;
    }
    drops += std::strtoull(last.c_str(), nullptr, 10);
  }
  return drops;
}

// ---- the loopback collector ----

// Counts the flow records (templates 267 and 268) of IPFIX messages by walking their sets with
// the templates the messages announced, without decoding values: decoding every message cost
// the bench a third of a core at 100,000 flows/s, taken from the agent it measures.
class FlowRecordCounter {
 public:
  // The flow records in message; has_templates tells whether it announced templates.
  std::uint64_t Count(std::span<const std::uint8_t> message, bool& has_templates) {
    has_templates = false;
    std::uint64_t records = 0;
    for (std::size_t at = IPFIX_DEFS::kMessageHeaderSize;
         at + IPFIX_DEFS::kSetHeaderSize <= message.size();) {
      const std::uint16_t id = Be16(message, at);
      const std::size_t length = Be16(message, at + 2);
      if (length < IPFIX_DEFS::kSetHeaderSize || at + length > message.size()) {
        break;
      }
      const auto set =
          message.subspan(at + IPFIX_DEFS::kSetHeaderSize, length - IPFIX_DEFS::kSetHeaderSize);
      if (id == IPFIX_DEFS::kTemplateSetId) {
        has_templates = true;
        Learn(set);
      } else if (id == 267 || id == 268) {
        records += Records(id, set);
      }
      at += length;
    }
    return records;
  }

 private:
  static std::uint16_t Be16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
  }

  // The field lengths of each template record in a template set.
  void Learn(std::span<const std::uint8_t> set) {
    for (std::size_t at = 0; at + 4 <= set.size();) {
      const std::uint16_t id = Be16(set, at);
      const std::uint16_t fields = Be16(set, at + 2);
      at += 4;
      std::vector<std::uint16_t> lengths;
      for (std::uint16_t field = 0; field < fields && at + 4 <= set.size(); ++field) {
        lengths.push_back(Be16(set, at + 2));
        at += (Be16(set, at) & IPFIX_DEFS::kEnterpriseBit) != 0 ? 8 : 4;
      }
      templates_[id] = std::move(lengths);
    }
  }

  // Whole records of template id in a data set; padding at its end is no record.
  std::uint64_t Records(std::uint16_t id, std::span<const std::uint8_t> set) const {
    const auto found = templates_.find(id);
    std::uint64_t records = 0;
    for (std::size_t at = 0; found != templates_.end();) {
      std::size_t next = at;
      for (const std::uint16_t length : found->second) {
        if (length != IPFIX_DEFS::kVariableLength) {
          next += length;
          continue;
        }
        if (next >= set.size()) {
          return records;
        }
        std::size_t size = set[next++];
        if (size == 255) {
          if (next + 2 > set.size()) {
            return records;
          }
          size = Be16(set, next);
          next += 2;
        }
        next += size;
      }
      if (next > set.size() || next == at) {
        break;
      }
      ++records;
      at = next;
    }
    return records;
  }

  std::map<std::uint16_t, std::vector<std::uint16_t>> templates_;
};

// Counts the flow records of every IPFIX message it receives, and decodes the messages that
// announce templates and every 32nd other one in full to count what the decoder finds wrong.
class CountingCollector {
 public:
  CountingCollector()
      : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), stop_(::eventfd(0, EFD_CLOEXEC)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int buffer = 16 * 1024 * 1024;
    (void)::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    (void)::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    (void)::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { receive(); });
  }
  ~CountingCollector() {
    const std::uint64_t one = 1;
    (void)::write(stop_.get(), &one, sizeof(one));
    thread_.join();
  }
  CountingCollector(const CountingCollector&) = delete;
  CountingCollector& operator=(const CountingCollector&) = delete;

  [[nodiscard]] std::uint16_t Port() const { return port_; }
  [[nodiscard]] std::uint64_t Records() const { return records_.load(); }
  [[nodiscard]] std::uint64_t Problems() const { return problems_.load(); }
  [[nodiscard]] pid_t ThreadId() const { return thread_id_.load(); }
  // Waits until the count stops growing for quiet (or reaches target); the final count.
  std::uint64_t WaitSettled(std::uint64_t target, std::chrono::milliseconds quiet) const {
    std::uint64_t last = Records();
    auto changed = Clock::now();
    while (last < target && Clock::now() - changed < quiet) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (const std::uint64_t now = Records(); now != last) {
        last = now;
        changed = Clock::now();
      }
    }
    return last;
  }

 private:
  void receive() {
    thread_id_ = ::gettid();
    IpfixDecoder decoder;
    FlowRecordCounter counter;
    std::uint64_t messages = 0;
    std::vector<std::uint8_t> buffer(65536);
    std::array<pollfd, 2> fds{pollfd{socket_.get(), POLLIN, 0}, pollfd{stop_.get(), POLLIN, 0}};
    while (::poll(fds.data(), fds.size(), -1) >= 0 && (fds[1].revents & POLLIN) == 0) {
      const ssize_t got = ::recv(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (got <= 0) {
        continue;
      }
      const std::span<const std::uint8_t> bytes(buffer.data(), static_cast<std::size_t>(got));
      bool has_templates = false;
      records_ += counter.Count(bytes, has_templates);
      if (has_templates || ++messages % 32 == 0) {
        IpfixMessage message;
        (void)decoder.Decode(bytes, "agent", &message);
        problems_ += message.problems.size();
      }
    }
  }

  UniqueFd socket_;
  UniqueFd stop_;
  std::uint16_t port_ = 0;
  std::atomic<std::uint64_t> records_{0};
  std::atomic<std::uint64_t> problems_{0};
  std::atomic<pid_t> thread_id_{0};
  std::thread thread_;
};

// ---- the sender playing the driver ----

// Flow data datagrams from the given processes (10.78.x.y to 198.51.100.x, TCP 443, final
// reports), cycled with a fresh local port each, and pid information datagrams for them.
class FlowSender {
 public:
  FlowSender(std::uint16_t port, std::vector<std::uint32_t> pids)
      : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), pids_(std::move(pids)) {
    address_.sin_family = AF_INET;
    address_.sin_port = htons(port);
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (std::uint32_t index = 0; index < pids_.size(); ++index) {
      KdfFlowData flow = Flow(index, pids_[index]);
      AsReported(flow);
      datagrams_.push_back(BuildKdfFlowDatagram(flow));
    }
  }

  // Sends count flow datagrams in batches; false when the kernel refused one.
  bool SendFlows(std::uint64_t count) {
    std::array<mmsghdr, kSendBatch> messages{};
    std::array<iovec, kSendBatch> vectors{};
    while (count > 0) {
      const std::size_t batch = std::min<std::uint64_t>(kSendBatch, count);
      for (std::size_t i = 0; i < batch; ++i) {
        KdfFlowDatagram& datagram = datagrams_[(sent_ + i) % datagrams_.size()];
        const std::uint16_t port = htons(static_cast<std::uint16_t>(1024 + (sent_ + i) % 60000));
        std::memcpy(datagram.data() + kPortOffset, &port, sizeof(port));
        vectors[i] = {datagram.data(), datagram.size()};
        messages[i] = {};
        messages[i].msg_hdr.msg_name = &address_;
        messages[i].msg_hdr.msg_namelen = sizeof(address_);
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      const int done = ::sendmmsg(fd_.get(), messages.data(), static_cast<unsigned>(batch), 0);
      if (done <= 0) {
        return false;
      }
      sent_ += static_cast<std::uint64_t>(done);
      count -= static_cast<std::uint64_t>(done);
    }
    return true;
  }

  // Sends total flows at rate per second, paced in 1 ms steps; false when the kernel refused one.
  bool SendAtRate(std::uint64_t rate, std::uint64_t total) {
    const auto start = Clock::now();
    const std::uint64_t first = sent_;
    for (auto tick = start; sent_ - first < total; tick += std::chrono::milliseconds(1)) {
      std::this_thread::sleep_until(tick);
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      const auto due = std::min<std::uint64_t>(total, static_cast<std::uint64_t>(elapsed * rate));
      if (due > sent_ - first && !SendFlows(due - (sent_ - first))) {
        return false;
      }
    }
    return true;
  }

  void SendPidInfos() {
    for (const std::uint32_t pid : pids_) {
      KdfPidInfo info;
      info.pid = pid;
      const KdfPidInfoDatagram datagram = BuildKdfPidInfoDatagram(info);
      (void)::sendto(fd_.get(), datagram.data(), datagram.size(), 0,
                     reinterpret_cast<const sockaddr*>(&address_), sizeof(address_));
    }
  }

  [[nodiscard]] std::uint64_t Sent() const { return sent_; }

  // A live process's flow as the flow reporter describes it: the real parent, start time and
  // image path, and no hash (the reporter never hashes). Fake ids keep the made-up ones.
  static void AsReported(KdfFlowData& flow) {
    orv::platform::ProcStat stat;
    int os_error = 0;
    if (orv::platform::ReadProcStat(flow.pid, stat, os_error) != kObSuccess) {
      return;
    }
    std::error_code error;
    const std::string image =
        std::filesystem::read_symlink("/proc/" + std::to_string(flow.pid) + "/exe", error);
    flow.parent_pid = stat.parent_pid;
    flow.process_start_time = stat.start_time;
    flow.process_path.assign(image.begin(), image.end());
    flow.process_hash = {};
  }

  // The flow the datagrams of the index-th process start from.
  static KdfFlowData Flow(std::uint32_t index, std::uint32_t pid) {
    KdfFlowData flow;
    flow.protocol = 6;
    flow.local.family = 2;
    flow.local.port = 1024;
    const std::string local =
        "10.78." + std::to_string(index / 250) + "." + std::to_string(1 + index % 250);
    const std::string remote = "198.51.100." + std::to_string(1 + index % 250);
    (void)inet_pton(AF_INET, local.c_str(), flow.local.ipv4.data());
    flow.remote.family = 2;
    flow.remote.port = 443;
    (void)inet_pton(AF_INET, remote.c_str(), flow.remote.ipv4.data());
    flow.host_name = "host" + std::to_string(index % 250) + ".example.org";
    flow.bytes_in = 5678;
    flow.bytes_out = 1234;
    flow.pid = pid;
    flow.parent_pid = kPidBase - 1;
    flow.flow_start = 1'765'000'000;
    flow.flow_end = 1'765'000'009;
    const std::string path = "/usr/bin/bench-process-" + std::to_string(index);
    flow.process_path.assign(path.begin(), path.end());
    flow.process_hash.fill(static_cast<std::uint8_t>(index));
    flow.report_kind = kKdfReportKindFinal;
    return flow;
  }

 private:
  UniqueFd fd_;
  sockaddr_in address_{};
  std::vector<std::uint32_t> pids_;
  std::vector<KdfFlowDatagram> datagrams_;
  std::uint64_t sent_ = 0;
};

// Process ids for the flows: count ids above the kernel's pid range (no lookup finds them), or
// count live child processes that wait until the object goes (lookups succeed and are cached).
class FlowProcesses {
 public:
  FlowProcesses(std::uint32_t count, bool live) {
    for (std::uint32_t index = 0; index < count; ++index) {
      if (!live) {
        pids_.push_back(kPidBase + index);
        continue;
      }
      const pid_t child = ::fork();
      if (child == 0) {
        for (;;) {
          ::pause();
        }
      }
      if (child > 0) {
        children_.push_back(child);
        pids_.push_back(static_cast<std::uint32_t>(child));
      }
    }
  }
  ~FlowProcesses() {
    for (const pid_t child : children_) {
      ::kill(child, SIGKILL);
    }
    for (const pid_t child : children_) {
      (void)::waitpid(child, nullptr, 0);
    }
  }
  FlowProcesses(const FlowProcesses&) = delete;
  FlowProcesses& operator=(const FlowProcesses&) = delete;

  [[nodiscard]] const std::vector<std::uint32_t>& Pids() const { return pids_; }

 private:
  std::vector<std::uint32_t> pids_;
  std::vector<pid_t> children_;
};

// ---- the in-process agent's surroundings ----

// A driver library stand-in whose instances answer success to every request.
class SucceedingApiFactory final : public IOrvApiClassFactory {
 public:
  class Api final : public IOrvApi {
   public:
    ngc_error_t OpenPlugin() override { return kNgcSuccess; }
    ngc_error_t ClosePlugin() override { return kNgcSuccess; }
    ngc_error_t EnableAppFlow(const OrvEndpointPair* /*endpoints*/) override { return kNgcSuccess; }
    ngc_error_t DisableAppFlow() override { return kNgcSuccess; }
    ngc_error_t NotifyNetworkChange() override { return kNgcSuccess; }
    ngc_error_t SetFlowReportInterval(std::uint32_t /*seconds*/) override { return kNgcSuccess; }
    ngc_error_t Uninitialize() override { return kNgcSuccess; }
  };
  std::unique_ptr<IOrvApi> CreateInstance() override { return std::make_unique<Api>(); }
  ngc_error_t ReleaseInstance(std::unique_ptr<IOrvApi>& instance) override {
    instance.reset();
    return kNgcSuccess;
  }
};

// The real CKDF, with the channel's deliveries counted on their way to the agent and the moment
// collection is first switched on recorded.
class CountingFramework final : public IPlatformFramework, public IKdfMessageSink {
 public:
  CountingFramework() : kdf_(factory_, 0) {}

  OB_STATUSCODE EnableAppFlow() override {
    const OB_STATUSCODE status = kdf_.EnableAppFlow();
    if (status == kObSuccess && !enabled_.exchange(true)) {
      enabled_at_ = Clock::now();
    }
    return status;
  }
  OB_STATUSCODE DisableAppFlow() override { return kdf_.DisableAppFlow(); }
  void UninitializeListener() override { kdf_.UninitializeListener(); }
  OB_STATUSCODE Initialize(IKdfMessageSink* agent) override {
    agent_ = agent;
    return agent != nullptr ? kdf_.Initialize(this) : kObFailure;
  }
  OB_STATUSCODE Uninitialize() override { return kdf_.Uninitialize(); }
  OB_STATUSCODE SetFlowReportInterval(std::uint32_t seconds) override {
    return kdf_.SetFlowReportInterval(seconds);
  }
  OB_STATUSCODE NotifyNetworkChange() override { return kdf_.NotifyNetworkChange(); }

  // IKdfMessageSink
  void OnFlowUpdate(std::shared_ptr<const KdfFlowData> message) override {
    flows_.fetch_add(1, std::memory_order_relaxed);
    agent_->OnFlowUpdate(std::move(message));
  }
  void OnPidInfo(std::shared_ptr<const KdfPidInfo> message) override {
    agent_->OnPidInfo(std::move(message));
  }

  [[nodiscard]] std::uint16_t Port() const { return kdf_.ListenerPort(); }
  [[nodiscard]] std::uint64_t Delivered() const { return flows_.load(); }
  [[nodiscard]] bool Enabled() const { return enabled_.load(); }
  [[nodiscard]] Clock::time_point EnabledAt() const { return enabled_at_; }

 private:
  SucceedingApiFactory factory_;
  CKDF kdf_;
  IKdfMessageSink* agent_ = nullptr;  // set by Initialize, before the channel starts
  std::atomic<std::uint64_t> flows_{0};
  std::atomic<bool> enabled_{false};
  Clock::time_point enabled_at_;  // valid once enabled_ is true
};

// Swallows the agent's log, tallying lines by message.
class CountingLogSink final : public ILogSink {
 public:
  CountingLogSink() : previous_(ILogger::SetSink(this)) {}
  ~CountingLogSink() override { ILogger::SetSink(previous_); }
  CountingLogSink(const CountingLogSink&) = delete;
  CountingLogSink& operator=(const CountingLogSink&) = delete;

  void Write(const LogRecord& record) override {
    std::string key(record.function);
    key += ": ";
    key += record.message.substr(0, 70);
    const std::scoped_lock lock(mutex_);
    ++tally_[key];
  }

  // The most frequent log lines, most frequent first.
  [[nodiscard]] std::vector<std::pair<std::uint64_t, std::string>> Top(std::size_t count) const {
    std::vector<std::pair<std::uint64_t, std::string>> lines;
    {
      const std::scoped_lock lock(mutex_);
      for (const auto& [text, seen] : tally_) {
        lines.emplace_back(seen, text);
      }
    }
    std::sort(lines.rbegin(), lines.rend());
    lines.resize(std::min(count, lines.size()));
    return lines;
  }

 private:
  ILogSink* previous_;
  mutable std::mutex mutex_;
  std::map<std::string, std::uint64_t> tally_;  // mutex_
};

// ---- namespace and data directories ----

bool PrepareNamespace() {
  if (::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
    std::fprintf(stderr, "cannot mount a private /dev/shm: %s\n", std::strerror(errno));
    return false;
  }
  for (const char* command :
       {"ip link set lo up", "ip link add orv-b0 type veth peer name orv-b1",
        "ip addr add 10.78.250.1/24 dev orv-b0", "ip link set orv-b0 up", "ip link set orv-b1 up",
        "ip route add default via 10.78.250.2 dev orv-b0"}) {
    if (std::system(command) != 0) {
      std::fprintf(stderr, "failed: %s\n", command);
      return false;
    }
  }
  return true;
}

// A temporary directory holding the agent's data directories, removed with the object.
class DataRoot {
 public:
  DataRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orv-agent-bench-XXXXXX");
    if (::mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
    }
  }
  ~DataRoot() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  DataRoot(const DataRoot&) = delete;
  DataRoot& operator=(const DataRoot&) = delete;

  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
  [[nodiscard]] std::vector<std::string> Environment() const {
    return {"PROGRAMDATA=" + (path_ / "programdata").string(),
            "ALLUSERSPROFILE=" + (path_ / "allusers").string(), "TMPDIR=" + path_.string()};
  }
  // Writes the profile: collector on 127.0.0.1:port, mode all, 1 s aggregation, no throttle.
  void WriteProfile(std::uint16_t port, const std::string& extra) const {
    const auto directory = path_ / "programdata/Varno/Varno Ombrix Suite/ORV";
    std::filesystem::create_directories(directory);
    std::ofstream(path_ / "staging")
        << "<ORVProfile>\n<CollectorConfiguration>\n<CollectorIP>127.0.0.1</CollectorIP>\n<Port>"
        << port
        << "</Port>\n</CollectorConfiguration>\n<CollectionMode>all</CollectionMode>\n"
           "<IPFIXInterval>60</IPFIXInterval>\n<AggInterval>1</AggInterval>\n"
           "<ThrottleRate>0</ThrottleRate>\n"
        << extra << "</ORVProfile>\n";
    std::filesystem::rename(path_ / "staging", directory / "ORV_ServiceProfile.xml");
  }

 private:
  std::filesystem::path path_;
};

bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds deadline) {
  const auto until = Clock::now() + deadline;
  while (!predicate()) {
    if (Clock::now() >= until) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Sends one flow every 20 ms until the collector has counted one more record.
bool WaitForFirstRecord(FlowSender& sender, const CountingCollector& collector) {
  const std::uint64_t before = collector.Records();
  return WaitUntil(
      [&] {
        if (collector.Records() > before) {
          return true;
        }
        (void)sender.SendFlows(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        return false;
      },
      kDeadline);
}

// Prints the threads that used the most CPU between two samples taken seconds apart, as a
// share of one core; the sender is the main thread, the collector names itself, the rest are
// the agent's.
void PrintBusiestThreads(const std::map<pid_t, double>& before,
                         const std::map<pid_t, double>& after, double seconds, pid_t collector) {
  std::vector<std::pair<double, pid_t>> busy;
  for (const auto& [tid, cpu_ms] : after) {
    const auto found = before.find(tid);
    busy.emplace_back(cpu_ms - (found == before.end() ? 0 : found->second), tid);
  }
  std::sort(busy.rbegin(), busy.rend());
  for (std::size_t index = 0; index < std::min<std::size_t>(4, busy.size()); ++index) {
    const pid_t tid = busy[index].second;
    const char* role = tid == ::getpid() ? "sender" : tid == collector ? "collector" : "agent";
    std::printf("  thread %-7d %-9s %3.0f%%\n", tid, role, busy[index].first / seconds / 10.0);
  }
}

void PrintTally(const CountingLogSink& log) {
  for (const auto& [count, text] : log.Top(6)) {
    std::printf("  log %9llu x %s\n", static_cast<unsigned long long>(count), text.c_str());
  }
}

// ---- throughput: in-process agent ----

struct ThroughputRun {
  std::uint64_t rate = 0;
  bool tracked = false;  // a troubleshooting pattern matching every flow
  bool live = false;     // flows from live processes
  std::uint64_t seconds = 5;
};

// CPU milliseconds of the agent's threads between two ThreadCpu readings: every thread but the
// sender (the main thread) and the collector.
double AgentCpuMs(const std::map<pid_t, double>& before, const std::map<pid_t, double>& after,
                  pid_t collector) {
  double total = 0;
  for (const auto& [tid, cpu_ms] : after) {
    if (tid == ::getpid() || tid == collector) {
      continue;
    }
    const auto found = before.find(tid);
    total += cpu_ms - (found == before.end() ? 0 : found->second);
  }
  return total;
}

// Waits until counter() reaches target or stops growing for a second; its final value.
std::uint64_t WaitCounterSettled(const std::function<std::uint64_t()>& counter,
                                 std::uint64_t target) {
  std::uint64_t last = counter();
  auto changed = Clock::now();
  const auto until = changed + kDeadline;
  while (last < target && Clock::now() - changed < std::chrono::seconds(1) &&
         Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (const std::uint64_t now = counter(); now != last) {
      last = now;
      changed = Clock::now();
    }
  }
  return last;
}

// The in-process agent on its service thread, with its collector, counting log sink and
// counting framework, in data directories of its own (the path variables are set for the
// process, so one per process).
class InProcessAgent {
 public:
  explicit InProcessAgent(const std::string& profile_extra) {
    for (const std::string& entry : root_.Environment()) {
      (void)::putenv(::strdup(entry.c_str()));
    }
    root_.WriteProfile(collector_.Port(), profile_extra);
    environment_.framework = &framework_;
    agent_ = std::make_unique<CORVAgent>(environment_);
  }
  ~InProcessAgent() { (void)Stop(); }
  InProcessAgent(const InProcessAgent&) = delete;
  InProcessAgent& operator=(const InProcessAgent&) = delete;

  // Starts the agent and waits until collection is on; the milliseconds from start to collection
  // on, or a negative value when that never happened.
  double Start() {
    const auto start = Clock::now();
    service_ = std::thread([this] { (void)agent_->MainThreadProc(); });
    if (!WaitUntil([&] { return framework_.Enabled(); }, kDeadline)) {
      return -1;
    }
    return std::chrono::duration<double, std::milli>(framework_.EnabledAt() - start).count();
  }
  // Waits until a first record came through and the collector is quiet again.
  bool AwaitFirstRecord(FlowSender& sender) {
    if (!WaitForFirstRecord(sender, collector_)) {
      return false;
    }
    (void)collector_.WaitSettled(sender.Sent(), std::chrono::milliseconds(1500));
    return true;
  }
  // Stops the agent; the milliseconds until its main procedure returned.
  double Stop() {
    if (!service_.joinable()) {
      return 0;
    }
    const auto start = Clock::now();
    agent_->Stop();
    service_.join();
    return MsSince(start);
  }

  CountingCollector& Collector() { return collector_; }
  CountingFramework& Framework() { return framework_; }
  CountingLogSink& Log() { return log_; }

 private:
  DataRoot root_;
  CountingCollector collector_;
  CountingLogSink log_;
  CountingFramework framework_;
  AgentEnvironment environment_;
  std::unique_ptr<CORVAgent> agent_;
  std::thread service_;
};

int RunThroughput(const ThroughputRun& run) {
  const FlowProcesses processes(50, run.live);
  InProcessAgent agent(run.tracked ? "<TroubleShoot><Pattern>198.51.100</Pattern></TroubleShoot>\n"
                                   : "");
  CountingFramework& framework = agent.Framework();
  CountingCollector& collector = agent.Collector();
  const double startup_ms = agent.Start();
  FlowSender sender(framework.Port(), processes.Pids());
  if (startup_ms < 0 || !agent.AwaitFirstRecord(sender)) {
    std::printf("  collection never came on\n");
    return 1;
  }
  const std::uint64_t sent0 = sender.Sent();
  const std::uint64_t delivered0 = framework.Delivered();
  const std::uint64_t collected0 = collector.Records();
  const std::uint64_t channel_drops0 = SocketDrops(framework.Port());
  const std::uint64_t collector_drops0 = SocketDrops(collector.Port());
  const std::uint64_t queue_full0 = QueueFullDrops();
  const ProcessUsage usage0 = ReadUsage(::getpid());
  const std::map<pid_t, double> threads0 = ThreadCpu();
  const bool ok = sender.SendAtRate(run.rate, run.rate * run.seconds);
  const std::map<pid_t, double> threads1 = ThreadCpu();
  const ProcessUsage usage1 = ReadUsage(::getpid());
  const std::uint64_t sent = sender.Sent() - sent0;
  const std::uint64_t delivered =
      WaitCounterSettled([&] { return framework.Delivered(); }, delivered0 + sent) - delivered0;
  const std::uint64_t collected =
      collector.WaitSettled(collected0 + delivered, std::chrono::seconds(3)) - collected0;
  // Read while the channel's socket still exists.
  const std::uint64_t channel_drops = SocketDrops(framework.Port()) - channel_drops0;
  const std::uint64_t collector_drops = SocketDrops(collector.Port()) - collector_drops0;
  const double stop_ms = agent.Stop();
  std::printf(
      "RESULT kind=throughput rate=%llu tracked=%d live=%d ok=%d sent=%llu delivered=%llu "
      "kernel_drops=%llu collector_drops=%llu queue_full=%llu collected=%llu cpu_pct=%.0f "
      "agent_cpu_pct=%.0f seconds=%llu load=%.2f rss_kb=%llu startup_ms=%.0f stop_ms=%.0f "
      "problems=%llu\n",
      static_cast<unsigned long long>(run.rate), run.tracked ? 1 : 0, run.live ? 1 : 0, ok ? 1 : 0,
      static_cast<unsigned long long>(sent), static_cast<unsigned long long>(delivered),
      static_cast<unsigned long long>(channel_drops),
      static_cast<unsigned long long>(collector_drops),
      static_cast<unsigned long long>(QueueFullDrops() - queue_full0),
      static_cast<unsigned long long>(collected),
      (usage1.cpu_ms - usage0.cpu_ms) / (10.0 * static_cast<double>(run.seconds)),
      AgentCpuMs(threads0, threads1, collector.ThreadId()) /
          (10.0 * static_cast<double>(run.seconds)),
      static_cast<unsigned long long>(run.seconds), LoadAverage(),
      static_cast<unsigned long long>(usage1.rss_kb), startup_ms, stop_ms,
      static_cast<unsigned long long>(collector.Problems()));
  PrintBusiestThreads(threads0, threads1, static_cast<double>(run.seconds), collector.ThreadId());
  PrintTally(agent.Log());
  return 0;
}

// CPU of the whole process over 10 s with collection on and no flows, the driver library being
// the stand-in (so only the agent's own loops count).
int RunIdle() {
  InProcessAgent agent("");
  const bool started = agent.Start() >= 0;
  FlowSender sender(agent.Framework().Port(), {kPidBase});
  if (!started || !agent.AwaitFirstRecord(sender)) {
    std::printf("  collection never came on\n");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const ProcessUsage before = ReadUsage(::getpid());
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const ProcessUsage after = ReadUsage(::getpid());
  std::printf("RESULT kind=idle idle_cpu_ms=%.0f threads=%llu rss_kb=%llu\n",
              after.cpu_ms - before.cpu_ms, static_cast<unsigned long long>(after.threads),
              static_cast<unsigned long long>(after.rss_kb));
  return 0;
}

// ---- footprint: the real binary ----

// The real agent in the data root, its standard error in agent.log there.
class AgentProcess {
 public:
  explicit AgentProcess(const DataRoot& root) : root_(root) {}
  ~AgentProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      (void)::waitpid(pid_, nullptr, 0);
    }
  }
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  bool Start(const std::string& binary) {
    const std::string log = (root_.Path() / "agent.log").string();
    std::vector<std::string> environment = root_.Environment();
    environment.emplace_back("PATH=/usr/sbin:/usr/bin:/sbin:/bin");
    std::vector<char*> envp;
    for (std::string& entry : environment) {
      envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the scenario
      const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      ::dup2(fd, STDERR_FILENO);
      ::dup2(fd, STDOUT_FILENO);
      char* const argv[] = {const_cast<char*>(binary.c_str()), nullptr};
      ::execve(binary.c_str(), argv, envp.data());
      ::_exit(127);
    }
    return pid_ > 0;
  }
  // SIGTERM, then waits up to the deadline: the exit status, -1 on time-out.
  int Terminate() {
    ::kill(pid_, SIGTERM);
    int status = -1;
    const bool ended = WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; },
                                 std::chrono::seconds(20));
    if (!ended) {
      return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  [[nodiscard]] pid_t Pid() const { return pid_; }
  [[nodiscard]] std::string Log() const {
    std::stringstream text;
    text << std::ifstream(root_.Path() / "agent.log").rdbuf();
    return text.str();
  }

 private:
  const DataRoot& root_;
  pid_t pid_ = -1;
};

// Wall-clock milliseconds of the first log line holding text; 0 when there is none.
std::int64_t LogLineTimeMs(const std::string& log, const std::string& text) {
  const std::size_t at = log.find(text);
  if (at == std::string::npos) {
    return 0;
  }
  const std::size_t line = log.rfind('\n', at);
  const std::string stamp = log.substr(line == std::string::npos ? 0 : line + 1, 23);
  std::tm parts{};
  int millis = 0;
  if (std::sscanf(stamp.c_str(), "%d-%d-%dT%d:%d:%d.%d", &parts.tm_year, &parts.tm_mon,
                  &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &millis) != 7) {
    return 0;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  return static_cast<std::int64_t>(::timegm(&parts)) * 1000 + millis;
}

std::int64_t WallNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::uint64_t Occurrences(const std::string& text, const std::string& part) {
  std::uint64_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// Sends total flows at rate per second in quarters, reporting the agent's resident memory after
// each; false when the kernel refused a datagram.
bool SendInQuarters(FlowSender& sender, pid_t agent, std::uint64_t rate, std::uint64_t total) {
  const auto start = Clock::now();
  for (int quarter = 1; quarter <= 4; ++quarter) {
    if (!sender.SendAtRate(rate, total / 4)) {
      return false;
    }
    std::printf("  after %8llu flows (%.0f s): VmRSS %llu kB\n",
                static_cast<unsigned long long>(total / 4 * static_cast<std::uint64_t>(quarter)),
                MsSince(start) / 1000.0, static_cast<unsigned long long>(ReadUsage(agent).rss_kb));
    std::fflush(stdout);
  }
  return true;
}

struct FootprintFigures {
  std::int64_t startup_ms = -1;  // start to the EnableAppFlow log line
  double first_record_ms = 0;
  ProcessUsage at_start;
  double idle_cpu_ms = 0;
  double load_s = 0;
  std::uint64_t collected = 0;
  std::uint64_t channel_drops = 0;
  std::uint64_t collector_drops = 0;
  ProcessUsage before_load;
  ProcessUsage after_load;
  double load_average = 0;  // when the load ended
  ProcessUsage settled;     // 5 s after the load
  double stop_ms = 0;
  int exit_status = -1;
};

// Start-up, resident memory at start and CPU over 10 idle seconds.
bool MeasureStartAndIdle(AgentProcess& agent, const std::string& binary, FlowSender& sender,
                         const CountingCollector& collector, FootprintFigures& figures) {
  const std::int64_t wall_start = WallNowMs();
  const auto start = Clock::now();
  if (!agent.Start(binary) || !WaitForFirstRecord(sender, collector)) {
    std::printf("  no record arrived; agent log:\n%s\n", agent.Log().c_str());
    return false;
  }
  figures.first_record_ms = MsSince(start);
  if (const std::int64_t enabled = LogLineTimeMs(agent.Log(), "Success: EnableAppFlow")) {
    figures.startup_ms = enabled - wall_start;
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  figures.at_start = ReadUsage(agent.Pid());
  std::this_thread::sleep_for(std::chrono::seconds(10));
  figures.idle_cpu_ms = ReadUsage(agent.Pid()).cpu_ms - figures.at_start.cpu_ms;
  return true;
}

// Pid information for every process, then flows at rate; memory along the way and after.
void MeasureLoad(AgentProcess& agent, FlowSender& sender, const CountingCollector& collector,
                 std::uint64_t rate, std::uint64_t flows, FootprintFigures& figures) {
  const std::uint64_t channel0 = SocketDrops(OrvUserKdfIpc::kDefaultPort);
  const std::uint64_t collector0 = SocketDrops(collector.Port());
  const std::uint64_t collected0 = collector.Records();
  sender.SendPidInfos();
  figures.before_load = ReadUsage(agent.Pid());
  const auto load_start = Clock::now();
  (void)SendInQuarters(sender, agent.Pid(), rate, flows);
  figures.load_s = MsSince(load_start) / 1000.0;
  figures.after_load = ReadUsage(agent.Pid());
  figures.load_average = LoadAverage();
  figures.collected =
      collector.WaitSettled(collected0 + flows, std::chrono::seconds(3)) - collected0;
  figures.channel_drops = SocketDrops(OrvUserKdfIpc::kDefaultPort) - channel0;
  figures.collector_drops = SocketDrops(collector.Port()) - collector0;
  std::this_thread::sleep_for(std::chrono::seconds(5));
  figures.settled = ReadUsage(agent.Pid());
}

int RunBinary(const std::string& binary, std::uint64_t rate, std::uint64_t flows) {
  const FlowProcesses processes(1000, true);
  DataRoot root;
  CountingCollector collector;
  root.WriteProfile(collector.Port(), "");
  AgentProcess agent(root);
  FlowSender sender(OrvUserKdfIpc::kDefaultPort, processes.Pids());
  FootprintFigures figures;
  if (!MeasureStartAndIdle(agent, binary, sender, collector, figures)) {
    return 1;
  }
  MeasureLoad(agent, sender, collector, rate, flows, figures);
  const auto stop_start = Clock::now();
  figures.exit_status = agent.Terminate();
  figures.stop_ms = MsSince(stop_start);
  const std::string log = agent.Log();
  std::printf(
      "RESULT kind=binary startup_ms=%lld first_record_ms=%.0f rss_start_kb=%llu "
      "idle_cpu_ms=%.0f threads=%llu rate=%llu flows=%llu load_s=%.1f collected=%llu "
      "kernel_drops=%llu collector_drops=%llu rss_after_kb=%llu rss_settled_kb=%llu hwm_kb=%llu "
      "load_cpu_pct=%.0f load=%.2f stop_ms=%.0f exit=%d queue_full=%llu log_lines=%llu\n",
      static_cast<long long>(figures.startup_ms), figures.first_record_ms,
      static_cast<unsigned long long>(figures.at_start.rss_kb), figures.idle_cpu_ms,
      static_cast<unsigned long long>(figures.at_start.threads),
      static_cast<unsigned long long>(rate), static_cast<unsigned long long>(flows), figures.load_s,
      static_cast<unsigned long long>(figures.collected),
      static_cast<unsigned long long>(figures.channel_drops),
      static_cast<unsigned long long>(figures.collector_drops),
      static_cast<unsigned long long>(figures.after_load.rss_kb),
      static_cast<unsigned long long>(figures.settled.rss_kb),
      static_cast<unsigned long long>(figures.settled.hwm_kb),
      (figures.after_load.cpu_ms - figures.before_load.cpu_ms) / (10.0 * figures.load_s),
      figures.load_average, figures.stop_ms, figures.exit_status,
      static_cast<unsigned long long>(Occurrences(log, "Q Full")),
      static_cast<unsigned long long>(Occurrences(log, "\n")));
  return 0;
}

// ---- orchestration ----

using Result = std::map<std::string, std::string>;

// Runs one scenario in fresh namespaces; its RESULT fields (empty when it failed).
Result RunScenario(const std::string& self, const std::string& arguments) {
  const std::string command = "unshare -rnm '" + self + "' --inside " + arguments;
  Result result;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) {
    return result;
  }
  std::printf("== %s\n", arguments.c_str());
  std::array<char, 4096> line{};
  while (std::fgets(line.data(), static_cast<int>(line.size()), pipe.get()) != nullptr) {
    const std::string text = line.data();
    if (text.rfind("RESULT ", 0) != 0) {
      std::fputs(text.c_str(), stdout);
      continue;
    }
    std::istringstream fields(text.substr(7));
    for (std::string field; fields >> field;) {
      const std::size_t equals = field.find('=');
      result[field.substr(0, equals)] = field.substr(equals + 1);
    }
  }
  std::fflush(stdout);
  return result;
}

std::uint64_t Number(const Result& result, const std::string& key) {
  const auto found = result.find(key);
  return found == result.end() ? 0 : std::strtoull(found->second.c_str(), nullptr, 10);
}

void PrintThroughputRow(const Result& r) {
  const auto text = [&r](const std::string& key) {
    const auto found = r.find(key);
    return found == r.end() ? std::string("?") : found->second;
  };
  std::printf(
      "| %6s | %2s | %4s | %7s | %7s | %7llu | %6s | %6s | %6llu | %6s | %9s | %4s%% | %4s%% | "
      "%4s | %5s | %4s |\n",
      text("rate").c_str(), text("seconds").c_str(), text("live") == "1" ? "live" : "fake",
      text("tracked") == "1" ? "pattern" : "-", text("sent").c_str(),
      static_cast<unsigned long long>(Number(r, "sent") - Number(r, "delivered")),
      text("kernel_drops").c_str(), text("queue_full").c_str(),
      static_cast<unsigned long long>(Number(r, "delivered") - Number(r, "collected")),
      text("collector_drops").c_str(), text("collected").c_str(), text("cpu_pct").c_str(),
      text("agent_cpu_pct").c_str(), text("load").c_str(), text("startup_ms").c_str(),
      text("stop_ms").c_str());
}

void PrintBinary(const Result& binary) {
  std::printf("\nReal binary (1,000 live processes)\n");
  for (const auto& [key, value] : binary) {
    std::printf("  %-16s %s\n", key.c_str(), value.c_str());
  }
}

// Runs every rate with fake and with live processes, the pattern runs, then the real binary at
// the highest rate the live runs sustained; prints the tables.
int Orchestrate(const std::string& self, std::vector<std::uint64_t> rates) {
  if (rates.empty()) {
    rates = {5000, 10000, 20000, 50000, 100000};
  }
  std::vector<Result> rows;
  std::map<std::string, std::uint64_t> best{{"fake", 0}, {"live", 0}};
  for (const std::string pids : {"fake", "live"}) {
    for (const std::uint64_t rate : rates) {
      Result result = RunScenario(self, "throughput " + std::to_string(rate) + " " + pids);
      if (Number(result, "ok") == 1 && Number(result, "collected") == Number(result, "sent")) {
        best[pids] = std::max(best[pids], rate);
      }
      rows.push_back(std::move(result));
    }
  }
  for (const std::uint64_t rate : {std::uint64_t{20000}, rates.back()}) {
    rows.push_back(RunScenario(self, "throughput " + std::to_string(rate) + " live tracked"));
  }
  rows.push_back(RunScenario(self, "throughput " + std::to_string(rates.back()) + " live - 60"));
  const std::uint64_t load_rate = std::max<std::uint64_t>(best["live"], 1000);
  const Result idle = RunScenario(self, "idle");
  const Result binary = RunScenario(self, "binary " + std::to_string(load_rate));

  std::printf(
      "\nThroughput, in-process agent, 50 processes, for s seconds. ch.lost = sent - delivered by\n"
      "the channel; kernel = drops on the channel socket; after = delivered - collected; coll.d =\n"
      "drops on the collector socket; cpu = whole process and agent = its agent threads, of one\n"
      "core; load = 1-minute load average at the end; start/stop in ms\n");
  std::printf(
      "| rate/s | s  | pids | pattern |    sent | ch.lost | kernel | Q Full | after  | coll.d | "
      "collected | cpu   | agent | load | start | stop |\n");
  for (const Result& row : rows) {
    if (!row.empty()) {
      PrintThroughputRow(row);
    }
  }
  std::printf("Highest rate with nothing lost: %llu/s (fake pids), %llu/s (live)\n",
              static_cast<unsigned long long>(best["fake"]),
              static_cast<unsigned long long>(best["live"]));
  if (!idle.empty()) {
    std::printf("\nIn-process agent idle 10 s (driver stand-in): %s ms CPU, %s threads\n",
                idle.at("idle_cpu_ms").c_str(), idle.at("threads").c_str());
  }
  if (!binary.empty()) {
    PrintBinary(binary);
  }
  return 0;
}

int RunInside(int argc, char** argv, const std::string& self) {
  if (!PrepareNamespace()) {
    return 1;
  }
  const std::string scenario = argc > 2 ? argv[2] : "";
  const std::uint64_t rate = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 0;
  if (scenario == "throughput" && rate > 0) {
    ThroughputRun run;
    run.rate = rate;
    run.live = argc > 4 && std::string(argv[4]) == "live";
    run.tracked = argc > 5 && std::string(argv[5]) == "tracked";
    if (argc > 6) {
      run.seconds = std::max<std::uint64_t>(std::strtoull(argv[6], nullptr, 10), 1);
    }
    return RunThroughput(run);
  }
  if (scenario == "idle") {
    return RunIdle();
  }
  if (scenario == "binary" && rate > 0) {
    const std::string binary = std::filesystem::path(self).parent_path() / "oborvagent";
    const std::uint64_t flows = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 3'600'000;
    return RunBinary(binary, rate, std::max<std::uint64_t>(flows, 4));
  }
  std::fprintf(stderr, "unknown scenario\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::error_code error;
  const std::string self = std::filesystem::canonical("/proc/self/exe", error).string();
  if (argc > 1 && std::string(argv[1]) == "--inside") {
    return RunInside(argc, argv, self);
  }
  std::vector<std::uint64_t> rates;
  for (int index = 1; index < argc; ++index) {
    rates.push_back(std::strtoull(argv[index], nullptr, 10));
  }
  return Orchestrate(self, rates);
}
