// The kernel flow source's speed driver (root only; runs in a network namespace of its own).
//
// Worker processes make short TCP connections and connected UDP exchanges on loopback at a fixed
// rate, once without the source and once with it, and the driver prints: flows reported and lost
// (missing final reports, and events the kernel could not fit in the ring buffer), the source's
// user-space CPU per flow (consuming the ring buffer and building the reports), the workers' CPU
// per connection with the source off and on (the kernel-side cost), and the source's CPU while
// the machine is otherwise idle.
//
//   orv_kernel_flow_bench [tcp_per_second [udp_per_second [seconds]]]   (10000 20000 3)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "driver/flow_reporter.h"
#include "driver/kernel_flow_source.h"
#include "runtime/logger.h"
#include "runtime/unique_fd.h"

namespace {

using orv::driver::FlowClock;
using orv::driver::KernelFlowSource;
using orv::driver::KernelFlowTable;
using Clock = std::chrono::steady_clock;
using OBRuntime::UniqueFd;

constexpr int kWorkers = 4;

class NullSink : public ILogSink {
 public:
  void Write(const LogRecord&) override {}
};

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

UniqueFd BoundSocket(int type) {
  UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  const sockaddr_in address = Loopback(0);
  ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  if (type == SOCK_STREAM) {
    ::listen(fd.get(), 1024);
  }
  return fd;
}

sockaddr_in NameOf(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return address;
}

// One TCP connection: 100 bytes each way, then an abortive close (no TIME-WAIT to run the
// ephemeral ports out).
void TcpExchange(int listener, const sockaddr_in& target) {
  char buffer[100] = {};
  const UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (::connect(client.get(), reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
    return;
  }
  const UniqueFd server(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  static_cast<void>(::send(client.get(), buffer, sizeof(buffer), 0));
  static_cast<void>(::recv(server.get(), buffer, sizeof(buffer), MSG_WAITALL));
  static_cast<void>(::send(server.get(), buffer, sizeof(buffer), 0));
  static_cast<void>(::recv(client.get(), buffer, sizeof(buffer), MSG_WAITALL));
  const linger abort{1, 0};
  ::setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
}

// One connected UDP exchange: 100 bytes out, 200 back.
void UdpExchange(int echo, const sockaddr_in& target) {
  char buffer[200] = {};
  const UniqueFd client(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ::connect(client.get(), reinterpret_cast<const sockaddr*>(&target), sizeof(target));
  static_cast<void>(::send(client.get(), buffer, 100, 0));
  sockaddr_in peer{};
  socklen_t length = sizeof(peer);
  if (::recvfrom(echo, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&peer), &length) >
      0) {
    ::sendto(echo, buffer, 200, 0, reinterpret_cast<const sockaddr*>(&peer), length);
    static_cast<void>(::recv(client.get(), buffer, sizeof(buffer), 0));
  }
}

// Runs count exchanges paced at rate per second in a worker process.
void Work(bool tcp, int count, double rate) {
  const UniqueFd server = BoundSocket(tcp ? SOCK_STREAM : SOCK_DGRAM);
  const sockaddr_in target = NameOf(server.get());
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_until(start + std::chrono::duration<double>(i / rate));
    tcp ? TcpExchange(server.get(), target) : UdpExchange(server.get(), target);
  }
}

struct Load {
  std::vector<pid_t> workers;
  double cpu_seconds = 0;  // the workers' user and system time
  double wall_seconds = 0;
};

Load RunWorkers(bool tcp, int per_second, int seconds) {
  Load load;
  const int each = per_second * seconds / kWorkers;
  const auto start = Clock::now();
  for (int i = 0; i < kWorkers; ++i) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      Work(tcp, each, static_cast<double>(per_second) / kWorkers);
      ::_exit(0);
    }
    load.workers.push_back(pid);
  }
  for (const pid_t pid : load.workers) {
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    load.cpu_seconds += usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                        usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
  }
  load.wall_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return load;
}

double ThreadCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

// Consumes the source on its own thread as the reporter does: wait for events, one check a
// second. Counts the final reports per owning process.
class Consumer {
 public:
  explicit Consumer(KernelFlowSource& source)
      : source_(source), table_(source, resolver_), thread_([this] { run(); }) {}
  ~Consumer() {
    stop_ = true;
    thread_.join();
  }
  struct Finals {
    std::size_t outbound = 0;  // client-side flows
    std::size_t inbound = 0;
    std::uint64_t inbound_bytes = 0;
  };
  // Final reports whose owner is one of pids (read once the consumer has caught up).
  Finals FinalsOf(const std::vector<pid_t>& pids, std::uint32_t protocol) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::lock_guard lock(mutex_);
    Finals finals;
    for (const Final& flow : finals_) {
      if (flow.protocol == protocol &&
          std::find(pids.begin(), pids.end(), static_cast<pid_t>(flow.pid)) != pids.end()) {
        ++(flow.direction != 0 ? finals.inbound : finals.outbound);
        finals.inbound_bytes += flow.direction != 0 ? flow.bytes_in : 0;
      }
    }
    return finals;
  }
  double CpuSeconds() const { return cpu_seconds_.load(); }

 private:
  void run() {
    const double cpu_start = ThreadCpuSeconds();
    std::vector<KdfFlowData> reports;
    auto next_check = Clock::now();
    while (!stop_) {
      pollfd ready{source_.Fd(), POLLIN, 0};
      ::poll(&ready, 1, 1000);
      const FlowClock now{Clock::now(), static_cast<std::uint32_t>(std::time(nullptr))};
      reports.clear();
      source_.Consume(table_, now, reports);
      std::this_thread::sleep_for(orv::driver::kEventBatchPeriod);  // as the reporter batches
      if (now.monotonic >= next_check) {
        table_.ReportDue(now, 0, reports);
        next_check = now.monotonic + std::chrono::seconds(1);
      }
      const std::lock_guard lock(mutex_);
      for (const KdfFlowData& report : reports) {
        finals_.push_back({report.pid, report.protocol, report.direction, report.bytes_in});
      }
      cpu_seconds_ = ThreadCpuSeconds() - cpu_start;
    }
  }

  KernelFlowSource& source_;
  orv::driver::ProcOwnerResolver resolver_;
  KernelFlowTable table_;
  std::mutex mutex_;
  struct Final {
    std::uint32_t pid;
    std::uint32_t protocol;
    std::uint8_t direction;
    std::uint64_t bytes_in;
  };
  std::vector<Final> finals_;
  std::atomic<double> cpu_seconds_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  const int tcp_rate = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int udp_rate = argc > 2 ? std::atoi(argv[2]) : 20000;
  const int seconds = argc > 3 ? std::atoi(argv[3]) : 3;
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0 ||
      std::system("ip link set lo up && sysctl -qw net.ipv4.ip_local_port_range='1024 65535'") !=
          0) {
    std::printf("needs root (BPF and a network namespace of its own)\n");
    return 0;
  }
  NullSink sink;
  ILogger::SetSink(&sink);
  const Load tcp_off = RunWorkers(true, tcp_rate, seconds);
  const Load udp_off = RunWorkers(false, udp_rate, seconds);

  std::string why_not;
  const std::unique_ptr<KernelFlowSource> source = KernelFlowSource::Open(why_not);
  if (!source) {
    std::printf("the kernel flow source cannot run here: %s\n", why_not.c_str());
    return 0;
  }
  auto consumer = std::make_unique<Consumer>(*source);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double cpu_before = consumer->CpuSeconds();
  const Load tcp_on = RunWorkers(true, tcp_rate, seconds);
  const Load udp_on = RunWorkers(false, udp_rate, seconds);
  const Consumer::Finals tcp = consumer->FinalsOf(tcp_on.workers, IPPROTO_TCP);
  const Consumer::Finals udp = consumer->FinalsOf(udp_on.workers, IPPROTO_UDP);
  const double busy_cpu = consumer->CpuSeconds() - cpu_before;

  const int tcp_count = tcp_rate * seconds / kWorkers * kWorkers;
  const int udp_count = udp_rate * seconds / kWorkers * kWorkers;
  auto lost = [](std::size_t expected, std::size_t seen) {
    return expected > seen ? 100.0 * static_cast<double>(expected - seen) / expected : 0.0;
  };
  // Both ends of each connection are flows. UDP: one client flow per exchange; on the echo
  // socket, a client port the kernel picked again is the same pair, so its bytes are compared.
  std::printf(
      "TCP: %d connections in %.2f s (%.0f/s): %zu + %zu of %d flows each way, %.3f%% lost\n",
      tcp_count, tcp_on.wall_seconds, tcp_count / tcp_on.wall_seconds, tcp.outbound, tcp.inbound,
      tcp_count, lost(2u * tcp_count, tcp.outbound + tcp.inbound));
  std::printf(
      "UDP: %d exchanges in %.2f s (%.0f/s): %zu of %d client flows, %.3f%% lost; echo "
      "pairs counted %llu of %llu bytes in\n",
      udp_count, udp_on.wall_seconds, udp_count / udp_on.wall_seconds, udp.outbound, udp_count,
      lost(udp_count, udp.outbound), static_cast<unsigned long long>(udp.inbound_bytes),
      100ULL * udp_count);
  std::printf("events lost in the kernel (ring buffer full): %llu\n",
              static_cast<unsigned long long>(source->LostEvents()));
  std::printf("source user-space CPU: %.2f us per flow\n",
              busy_cpu * 1e6 /
                  static_cast<double>(tcp.outbound + tcp.inbound + udp.outbound + udp.inbound));
  std::printf("workers' CPU per TCP connection: %.2f us off, %.2f us on\n",
              tcp_off.cpu_seconds * 1e6 / tcp_count, tcp_on.cpu_seconds * 1e6 / tcp_count);
  std::printf("workers' CPU per UDP exchange: %.2f us off, %.2f us on\n",
              udp_off.cpu_seconds * 1e6 / udp_count, udp_on.cpu_seconds * 1e6 / udp_count);
  const double idle_before = consumer->CpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  std::printf("idle: %.3f%% of one core (whatever else runs on the machine included)\n",
              (consumer->CpuSeconds() - idle_before) * 10.0);
  return 0;
}
