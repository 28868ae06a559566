// What the end-to-end tests drive: the real oborvagent in its own data directories, a UDP
// collector that decodes what it receives, the flow data channel, and orv-vpnstate.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver/kdf_message.h"
#include "export/ipfix_decoder.h"
#include "runtime/unique_fd.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace orv::e2e {

// Waits for predicate with a generous deadline, polling every 50 ms: the predicates read logs,
// databases and every record received, too much to repeat at the shared wait's pace.
[[nodiscard]] bool WaitFor(const std::function<bool()>& predicate,
                           std::chrono::milliseconds deadline = std::chrono::seconds(30));

// How many times part occurs in text.
[[nodiscard]] std::size_t Occurrences(const std::string& text, const std::string& part);

// 127.0.0.1:port.
[[nodiscard]] sockaddr_in Loopback(std::uint16_t port);

// The agent, running with PROGRAMDATA, ALLUSERSPROFILE and TMPDIR in a temporary directory and
// its standard error in a log file there.
class AgentProcess {
 public:
  AgentProcess();
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  [[nodiscard]] std::filesystem::path DataDirectory() const;
  // Writes the service profile (before or while the agent runs).
  void WriteProfile(const std::string& xml) const;
  [[nodiscard]] bool Start();
  // SIGTERM, then waits (20 s) for the exit; the exit status (128 + signal when killed), -1 on
  // time-out.
  [[nodiscard]] int Terminate();
  // Waits (30 s) for the agent to exit by itself; the exit status, -1 on time-out.
  [[nodiscard]] int WaitExit();
  [[nodiscard]] std::string Log() const;
  // Waits until the log holds text count times.
  [[nodiscard]] bool WaitForLog(const std::string& text, std::size_t count = 1) const;
  [[nodiscard]] pid_t Pid() const { return pid_; }
  // Runs orv-vpnstate with arguments; its exit status.
  [[nodiscard]] static int VpnState(const std::vector<std::string>& arguments);

 private:
  orv::test::TempDir root_;
  pid_t pid_ = -1;
};

// A tool from the build's bin directory running with its output in a file; killed and reaped
// when the object goes.
class ToolProcess {
 public:
  ToolProcess(const std::string& tool, const std::vector<std::string>& arguments,
              const std::filesystem::path& output);

  [[nodiscard]] std::string Output() const;
  // SIGTERM and the exit status (-1 on time-out).
  [[nodiscard]] int Terminate();

 private:
  std::filesystem::path output_;
  std::optional<orv::test::ChildProcess> child_;
};

// Runs a tool from the build's bin directory to its end; its output.
[[nodiscard]] std::string RunTool(const std::string& tool,
                                  const std::vector<std::string>& arguments);

// A UDP collector on 127.0.0.1 that decodes every IPFIX message it receives on a thread of its own.
class Collector {
 public:
  Collector();
  ~Collector();
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  [[nodiscard]] std::uint16_t Port() const { return port_; }
  // Flow records (templates 267 and 268) received so far, each as field id → value.
  [[nodiscard]] std::vector<std::map<std::uint16_t, IpfixValue>> FlowRecords() const;
  [[nodiscard]] std::size_t ProblemCount() const;

 private:
  void receive();

  OBRuntime::UniqueFd socket_;
  OBRuntime::UniqueFd stop_;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::map<std::uint16_t, IpfixValue>> flows_;
  std::size_t problems_ = 0;
  std::thread thread_;
};

// A profile exporting to collector_address:collector_port with the given collection mode, 1 s
// aggregation and the throttle rate (Kbps, 0: none).
[[nodiscard]] std::string Profile(std::uint16_t collector_port, const std::string& mode,
                                  int throttle_kbps = 0,
                                  const std::string& collector_address = "127.0.0.1");

// A TCP flow from 10.77.0.1:source_port to 198.51.100.7:443 by pid, as the driver reports it.
[[nodiscard]] KdfFlowData TcpFlow(std::uint32_t pid, std::uint16_t source_port,
                                  const std::string& destination = "198.51.100.7");
// Sends raw bytes, or a flow data message, to the agent's flow data channel, from one socket that
// stays open for the test's life.
inline constexpr std::uint16_t kChannelPort = 2056;
void SendToChannel(const std::uint8_t* bytes, std::size_t length,
                   std::uint16_t port = kChannelPort);
void SendFlow(const KdfFlowData& flow, std::uint16_t port = kChannelPort);

}  // namespace orv::e2e
