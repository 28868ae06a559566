// What the end-to-end tests drive: the real oborvagent in its own data directories, a UDP
// collector that decodes what it receives, the flow data channel, and orv-vpnstate.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/kdf_message.h"
#include "export/ipfix_decoder.h"
#include "support/temp_dir.h"

namespace orv::e2e {

// Waits for predicate with a generous deadline, polling.
[[nodiscard]] bool WaitFor(const std::function<bool()>& predicate,
                           std::chrono::milliseconds deadline = std::chrono::seconds(30));

// How many times part occurs in text.
[[nodiscard]] std::size_t Occurrences(const std::string& text, const std::string& part);

// Gives the test process a private /dev/shm and a link with a default route, as an endpoint on
// a network has; call inside the namespaces (mount + network).
[[nodiscard]] bool PrepareNamespace(std::string& error);

// The agent, running with PROGRAMDATA, ALLUSERSPROFILE and TMPDIR in a temporary directory and
// its standard error in a log file there.
class AgentProcess {
 public:
  AgentProcess();
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  [[nodiscard]] std::filesystem::path DataDirectory() const;
  [[nodiscard]] std::filesystem::path StatisticsFile() const;
  // Writes the service profile (before or while the agent runs).
  void WriteProfile(const std::string& xml) const;
  [[nodiscard]] bool Start();
  // SIGTERM, then waits for the exit; the exit status (128 + signal when killed), -1 on time-out.
  [[nodiscard]] int Terminate(std::chrono::milliseconds deadline = std::chrono::seconds(20));
  // Waits for the agent to exit by itself; the exit status, -1 on time-out.
  [[nodiscard]] int WaitExit(std::chrono::milliseconds deadline = std::chrono::seconds(30));
  [[nodiscard]] std::string Log() const;
  // Waits until the log holds text count times.
  [[nodiscard]] bool WaitForLog(const std::string& text, std::size_t count = 1) const;
  [[nodiscard]] pid_t Pid() const { return pid_; }
  // Runs orv-vpnstate with arguments in the agent's environment; its exit status.
  [[nodiscard]] int VpnState(const std::vector<std::string>& arguments) const;

 private:
  orv::test::TempDir root_;
  pid_t pid_ = -1;
};

// A tool from the build's bin directory running with its output in a file; terminated (SIGTERM)
// and reaped when the object goes.
class ToolProcess {
 public:
  ToolProcess(const std::string& tool, const std::vector<std::string>& arguments,
              const std::filesystem::path& output);
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  [[nodiscard]] std::string Output() const;
  // SIGTERM and the exit status (-1 on time-out).
  [[nodiscard]] int Terminate();

 private:
  std::filesystem::path output_;
  pid_t pid_ = -1;
};

// Runs a tool from the build's bin directory to its end; its standard output.
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

  int socket_ = -1;
  int stop_ = -1;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::map<std::uint16_t, IpfixValue>> flows_;
  std::size_t problems_ = 0;
  std::thread thread_;
};

// A profile exporting to collector_port with the given collection mode, 1 s aggregation, no
// throttling and any extra elements.
[[nodiscard]] std::string Profile(std::uint16_t collector_port, const std::string& mode,
                                  const std::string& extra = "");

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
