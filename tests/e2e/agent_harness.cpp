#include "agent_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <fstream>

#include "driver/flow_datagram_builder.h"
#include "support/namespace_rerun.h"

namespace orv::e2e {
namespace {

constexpr char kAgentPath[] = ORV_BIN_DIR "/oborvagent";

[[nodiscard]] int waitForExit(pid_t pid, std::chrono::milliseconds deadline) {
  int status = 0;
  if (!WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, deadline)) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

[[nodiscard]] std::vector<std::string> ToolCommand(const std::string& tool,
                                                   const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{std::string(ORV_BIN_DIR) + "/" + tool};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

}  // namespace

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (std::chrono::steady_clock::now() < until) {
    if (predicate()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return predicate();
}

sockaddr_in Loopback(std::uint16_t port) {
  return {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
}

AgentProcess::AgentProcess() = default;

AgentProcess::~AgentProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    (void)waitForExit(pid_, std::chrono::seconds(10));
  }
}

std::filesystem::path AgentProcess::DataDirectory() const {
  return root_.path() / "programdata/Varno/Varno Ombrix Suite/ORV";
}

void AgentProcess::WriteProfile(const std::string& xml) const {
  std::filesystem::create_directories(DataDirectory());
  const std::filesystem::path target = DataDirectory() / "ORV_ServiceProfile.xml";
  const std::filesystem::path staging = root_.path() / "profile.staging";
  std::ofstream(staging) << xml;
  std::filesystem::rename(staging, target);  // one change event, never a half-written file
}

bool AgentProcess::Start() {
  std::filesystem::create_directories(root_.path() / "tmp");
  const std::string log = (root_.path() / "agent.log").string();
  const std::string program_data = "PROGRAMDATA=" + (root_.path() / "programdata").string();
  const std::string all_users = "ALLUSERSPROFILE=" + (root_.path() / "allusers").string();
  const std::string temp = "TMPDIR=" + (root_.path() / "tmp").string();
  pid_ = ::fork();
  if (pid_ == 0) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::dup2(fd, STDOUT_FILENO);
    char* const argv[] = {const_cast<char*>(kAgentPath), nullptr};
    char* const envp[] = {const_cast<char*>(program_data.c_str()),
                          const_cast<char*>(all_users.c_str()), const_cast<char*>(temp.c_str()),
                          const_cast<char*>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"), nullptr};
    ::execve(kAgentPath, argv, envp);
    ::_exit(127);
  }
  return pid_ > 0;
}

int AgentProcess::Terminate() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
  }
  return WaitExit();
}

int AgentProcess::WaitExit() {
  const int status = pid_ > 0 ? waitForExit(pid_, std::chrono::seconds(30)) : -1;
  if (status >= 0) {
    pid_ = -1;
  }
  return status;
}

std::string AgentProcess::Log() const {
  return orv::test::ChildProcess::ReadAll(root_.path() / "agent.log");
}

bool AgentProcess::WaitForLog(const std::string& text, std::size_t count) const {
  return WaitFor([&] { return Occurrences(Log(), text) >= count; });
}

int AgentProcess::VpnState(const std::vector<std::string>& arguments) {
  return orv::test::RunCollecting(ToolCommand("orv-vpnstate", arguments)).exit_status;
}

ToolProcess::ToolProcess(const std::string& tool, const std::vector<std::string>& arguments,
                         const std::filesystem::path& output)
    : output_(output) {
  const std::vector<std::string> argv = ToolCommand(tool, arguments);
  child_.emplace(argv[0], argv, [&output] {
    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
  });
}

std::string ToolProcess::Output() const { return orv::test::ChildProcess::ReadAll(output_); }

int ToolProcess::Terminate() {
  ::kill(child_->pid(), SIGTERM);
  return child_->WaitExit(std::chrono::seconds(10));
}

std::string RunTool(const std::string& tool, const std::vector<std::string>& arguments) {
  return orv::test::RunCollecting(ToolCommand(tool, arguments)).output;
}

Collector::Collector() {
  socket_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  // A stop sends the flow queue out unthrottled; on a loaded machine the default buffer would drop
  // part of that burst before this thread reads it, and the loss would be blamed on the agent.
  constexpr int kReceiveBuffer = 8 << 20;
  if (::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer,
                   sizeof(kReceiveBuffer)) != 0) {
    (void)::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer,
                       sizeof(kReceiveBuffer));
  }
  sockaddr_in address = Loopback(0);
  (void)::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  (void)::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  stop_.Reset(::eventfd(0, EFD_CLOEXEC));
  thread_ = std::thread([this] { receive(); });
}

Collector::~Collector() {
  const std::uint64_t one = 1;
  (void)::write(stop_.get(), &one, sizeof(one));
  thread_.join();
}

void Collector::receive() {
  IpfixDecoder decoder;
  std::array<std::uint8_t, 65536> buffer{};
  std::array<pollfd, 2> fds{pollfd{socket_.get(), POLLIN, 0}, pollfd{stop_.get(), POLLIN, 0}};
  while (::poll(fds.data(), fds.size(), -1) >= 0 && (fds[1].revents & POLLIN) == 0) {
    const ssize_t got = ::recv(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got <= 0) {
      continue;
    }
    IpfixMessage message;
    (void)decoder.Decode({buffer.data(), static_cast<std::size_t>(got)}, "agent", &message);
    const std::scoped_lock lock(mutex_);
    problems_ += message.problems.size();
    for (const IpfixRecord& record : message.records) {
      if (record.template_id != 267 && record.template_id != 268) {
        continue;
      }
      std::map<std::uint16_t, IpfixValue> fields;
      for (const IpfixField& field : record.fields) {
        fields[field.specifier.id] = field.value;
      }
      flows_.push_back(std::move(fields));
    }
  }
}

std::vector<std::map<std::uint16_t, IpfixValue>> Collector::FlowRecords() const {
  const std::scoped_lock lock(mutex_);
  return flows_;
}

std::size_t Collector::ProblemCount() const {
  const std::scoped_lock lock(mutex_);
  return problems_;
}

std::string Profile(std::uint16_t collector_port, const std::string& mode, int throttle_kbps,
                    const std::string& collector_address) {
  return "<ORVProfile>\n<CollectorConfiguration>\n<CollectorIP>" + collector_address +
         "</CollectorIP>\n<Port>" + std::to_string(collector_port) +
         "</Port>\n</CollectorConfiguration>\n<CollectionMode>" + mode +
         "</CollectionMode>\n<IPFIXInterval>60</IPFIXInterval>\n<AggInterval>1</AggInterval>\n"
         "<ThrottleRate>" +
         std::to_string(throttle_kbps) + "</ThrottleRate>\n</ORVProfile>\n";
}

KdfFlowData TcpFlow(std::uint32_t pid, std::uint16_t source_port, const std::string& destination) {
  KdfFlowData flow;
  flow.address_family = kKdfFamilyIPv4;
  flow.protocol = 6;
  flow.local.family = 2;
  flow.local.port = source_port;
  (void)inet_pton(AF_INET, "10.77.0.1", flow.local.ipv4.data());
  flow.remote.family = 2;
  flow.remote.port = 443;
  (void)inet_pton(AF_INET, destination.c_str(), flow.remote.ipv4.data());
  flow.bytes_in = 5678;
  flow.bytes_out = 1234;
  flow.pid = pid;
  flow.parent_pid = 1;
  flow.flow_start = 1'700'000'000;
  flow.flow_end = 1'700'000'009;
  flow.report_kind = kKdfReportKindFinal;
  return flow;
}

void SendToChannel(const std::uint8_t* bytes, std::size_t length, std::uint16_t port) {
  // One socket for the test's life: the agent identifies a sender by its socket, so a socket
  // closed before its datagram is read could not be identified and would be refused.
  static const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  (void)::sendto(fd, bytes, length, 0, reinterpret_cast<const sockaddr*>(&address),
                 sizeof(address));
}

void SendFlow(const KdfFlowData& flow, std::uint16_t port) {
  const KdfFlowDatagram datagram = BuildKdfFlowDatagram(flow);
  SendToChannel(datagram.data(), datagram.size(), port);
}

}  // namespace orv::e2e
