#include "flow/orv_user_kdf_ipc.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "driver/flow_datagram_builder.h"
#include "runtime/unique_fd.h"
#include "support/log_capture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using orv::test::LogCapture;
constexpr auto kDeadline = std::chrono::seconds(10);

Bytes FlowDatagram(std::uint32_t pid = 4242, std::uint32_t protocol = 6) {
  KdfFlowData flow;
  flow.local = {2, 40000, {10, 0, 0, 2}, 0, {}};
  flow.remote = {2, 443, {1, 1, 1, 1}, 0, {}};
  flow.protocol = protocol;
  flow.pid = pid;
  flow.host_name = "one.one.one.one";
  flow.process_path = u"/usr/bin/curl";
  const KdfFlowDatagram d = BuildKdfFlowDatagram(flow);
  return {d.begin(), d.end()};
}

Bytes PidDatagram(std::uint32_t pid) {
  KdfPidInfo info;
  info.pid = pid;
  const KdfPidInfoDatagram d = BuildKdfPidInfoDatagram(info);
  return {d.begin(), d.end()};
}

Bytes WithHeader(Bytes bytes, std::uint16_t length, std::uint8_t version, std::uint8_t type) {
  bytes[0] = static_cast<std::uint8_t>(length);
  bytes[1] = static_cast<std::uint8_t>(length >> 8);
  bytes[2] = version;
  bytes[3] = type;
  return bytes;
}

// Records what the channel delivers; waits on conditions with a deadline.
class Recorder {
 public:
  OrvUserKdfIpc::FlowDataCallback FlowCallback() {
    return [this](std::shared_ptr<const KdfFlowData> flow) {
      std::lock_guard lock(mutex_);
      flows_.push_back(std::move(flow));
      changed_.notify_all();
    };
  }
  OrvUserKdfIpc::PidInfoCallback PidCallback() {
    return [this](std::shared_ptr<const KdfPidInfo> info) {
      std::lock_guard lock(mutex_);
      pids_.push_back(info->pid);
      changed_.notify_all();
    };
  }
  // True when a pid information message for pid arrived before the deadline.
  bool WaitForPid(std::uint32_t pid) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(
        lock, kDeadline, [&] { return std::find(pids_.begin(), pids_.end(), pid) != pids_.end(); });
  }
  // True when at least count flow data messages arrived before the deadline.
  bool WaitForFlows(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return flows_.size() >= count; });
  }
  std::vector<std::shared_ptr<const KdfFlowData>> Flows() {
    std::lock_guard lock(mutex_);
    return flows_;
  }
  std::vector<std::uint32_t> Pids() {
    std::lock_guard lock(mutex_);
    return pids_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<const KdfFlowData>> flows_;
  std::vector<std::uint32_t> pids_;
};

// Sends from one socket for its life, as the channel identifies senders by their socket; the
// socket belongs to owner (switching this thread's file-system uid to create it needs root).
class Sender {
 public:
  explicit Sender(std::uint16_t port, uid_t owner = ::geteuid()) {
    const auto previous = static_cast<uid_t>(::setfsuid(owner));
    fd_.Reset(::socket(AF_INET, SOCK_DGRAM, 0));
    ::setfsuid(previous);
    address_.sin_family = AF_INET;
    address_.sin_port = htons(port);
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  void Send(const Bytes& bytes) {
    ASSERT_EQ(::sendto(fd_.get(), bytes.data(), bytes.size(), 0,
                       reinterpret_cast<const sockaddr*>(&address_), sizeof address_),
              static_cast<ssize_t>(bytes.size()));
  }

 private:
  OBRuntime::UniqueFd fd_;
  sockaddr_in address_{};
};

class OrvUserKdfIpcTest : public testing::Test {
 protected:
  void SetUp() override {
    channel_ = std::make_unique<OrvUserKdfIpc>(0, recorder_.FlowCallback(), recorder_.PidCallback(),
                                               status_);
    ASSERT_EQ(status_, kObSuccess);
    ASSERT_NE(channel_->LocalPort(), 0);
  }

  Recorder recorder_;
  OB_STATUSCODE status_ = kObFailure;
  std::unique_ptr<OrvUserKdfIpc> channel_;
};

struct DatagramCase {
  const char* name;
  Bytes datagram;
  std::size_t size;  // as received; may exceed the bytes kept
  std::size_t flows;
  std::size_t pids;
  LOGLEVEL level;
  const char* function;  // nullptr: nothing is logged
  const char* message;
};

TEST_F(OrvUserKdfIpcTest, HandlesEverySizeTypeVersionAndLength) {
  const Bytes flow = FlowDatagram();
  const Bytes pid = PidDatagram(77);
  Bytes pid_in_flow_sized = flow;
  std::copy(pid.begin(), pid.end(), pid_in_flow_sized.begin());
  const char* kReceive = "OrvUserKdfIpc::handleReceiveFrom";
  const char* kProcess = "OrvUserKdfIpc::processOrvData";
  const std::vector<DatagramCase> cases = {
      {"valid flow", flow, 1439, 1, 0, LOG_DEBUG, nullptr, ""},
      {"valid pid", pid, 8, 0, 1, LOG_DEBUG, nullptr, ""},
      {"1500 bytes", Bytes(1500, 1), 1500, 0, 0, LOG_DEBUG, kReceive,
       "Received 1500 bytes (more than expected (1439), ignoring data)"},
      {"1440 bytes", Bytes(1440, 1), 1440, 0, 0, LOG_DEBUG, kReceive,
       "Received 1440 bytes (more than expected (1439), ignoring data)"},
      {"truncated 70000", Bytes(1500, 1), 70000, 0, 0, LOG_DEBUG, kReceive,
       "Received 70000 bytes (more than expected (1439), ignoring data)"},
      {"100 bytes", Bytes(100, 1), 100, 0, 0, LOG_ERROR, kReceive,
       "Received 100 bytes (too little)"},
      {"empty", Bytes(), 0, 0, 0, LOG_ERROR, kReceive, "Received 0 bytes (too little)"},
      {"1438 bytes", Bytes(flow.begin(), flow.end() - 1), 1438, 0, 0, LOG_ERROR, kReceive,
       "Received 1438 bytes (too little)"},
      {"9 bytes", Bytes(9, 0), 9, 0, 0, LOG_ERROR, kReceive, "Received 9 bytes (too little)"},
      {"flow version 2", WithHeader(flow, 1439, 2, 1), 1439, 0, 0, LOG_ERROR, kProcess,
       "Unknown version of the flow data: 2 - ignoring the data."},
      {"flow version 0 and bad length", WithHeader(flow, 8, 0, 1), 1439, 0, 0, LOG_ERROR, kProcess,
       "Unknown version of the flow data: 0 - ignoring the data."},
      {"flow length 1438", WithHeader(flow, 1438, 1, 1), 1439, 0, 0, LOG_ERROR, kProcess,
       "Invalid total length in the flow data: 1438 - ignoring the data."},
      {"flow in 8 bytes", WithHeader(pid, 1439, 1, 1), 8, 0, 0, LOG_ERROR, kProcess,
       "Received 8 bytes of flow data (expected 1439) - ignoring the data."},
      {"icmp flow", FlowDatagram(5, 1), 1439, 1, 0, LOG_ERROR, "OrvUserKdfIpc::logFlowData",
       "Unknown protocol in the flow data!"},
      {"pid version 0", WithHeader(pid, 8, 0, 2), 8, 0, 0, LOG_ERROR, kProcess,
       "Unknown version of the pid info message: 0 - ignoring the message."},
      {"pid length 9", WithHeader(pid, 9, 1, 2), 8, 0, 0, LOG_ERROR, kProcess,
       "Invalid total length in the pid info message: 9 - ignoring the message."},
      {"pid in 1439 bytes", WithHeader(pid_in_flow_sized, 8, 1, 2), 1439, 0, 1, LOG_DEBUG, nullptr,
       ""},
      {"pid in 1439 bytes, length 1439", WithHeader(flow, 1439, 1, 2), 1439, 0, 0, LOG_ERROR,
       kProcess, "Invalid total length in the pid info message: 1439 - ignoring the message."},
      {"type 3", WithHeader(flow, 1439, 1, 3), 1439, 0, 0, LOG_DEBUG, nullptr, ""},
      {"type 0 in 8 bytes", WithHeader(pid, 8, 1, 0), 8, 0, 0, LOG_DEBUG, nullptr, ""},
  };
  for (const DatagramCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t flows_before = recorder_.Flows().size();
    const std::size_t pids_before = recorder_.Pids().size();
    LogCapture log;
    channel_->handleDatagram(c.datagram, c.size);
    EXPECT_EQ(recorder_.Flows().size() - flows_before, c.flows);
    EXPECT_EQ(recorder_.Pids().size() - pids_before, c.pids);
    const auto lines = log.Lines();
    if (c.function == nullptr) {
      EXPECT_TRUE(lines.empty()) << lines.front().message;
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_TRUE(log.Has(c.level, c.function, c.message)) << lines.front().message;
    }
  }
  EXPECT_EQ(recorder_.Pids(), (std::vector<std::uint32_t>{77, 77}));
  ASSERT_EQ(recorder_.Flows().size(), 2u);
  EXPECT_EQ(recorder_.Flows()[1]->protocol, 1u);  // unknown protocol is still delivered
}

TEST_F(OrvUserKdfIpcTest, ProcessOrvDataIgnoresMessagesTooShortForTheirType) {
  LogCapture log;
  channel_->processOrvData(Bytes{});
  channel_->processOrvData(Bytes{8, 0, 1});
  channel_->processOrvData(Bytes{8, 0, 1, 2, 9, 9, 9});
  EXPECT_TRUE(log.Has(LOG_ERROR, "OrvUserKdfIpc::processOrvData",
                      "Received 7 bytes of pid info (expected 8) - ignoring the message."));
  EXPECT_TRUE(recorder_.Pids().empty());
}

TEST_F(OrvUserKdfIpcTest, DeliversLoopbackDatagramsInOrderAndRecognisesOversizeOnes) {
  Sender sender(channel_->LocalPort());
  sender.Send(PidDatagram(1));  // waits in the socket until the thread runs
  LogCapture log;
  ASSERT_TRUE(channel_->Start());
  ASSERT_TRUE(recorder_.WaitForPid(1));
  sender.Send(FlowDatagram(100));
  sender.Send(Bytes(4000, 0x11));  // larger than the receive buffer: its real size is seen
  sender.Send(WithHeader(FlowDatagram(101), 1439, 2, 1));
  sender.Send(Bytes(100, 0));
  sender.Send(FlowDatagram(102, 17));
  sender.Send(PidDatagram(2));
  ASSERT_TRUE(recorder_.WaitForPid(2));

  const auto flows = recorder_.Flows();
  ASSERT_EQ(flows.size(), 2u);
  EXPECT_EQ(flows[0]->pid, 100u);
  EXPECT_EQ(flows[0]->host_name, "one.one.one.one");
  EXPECT_EQ(flows[0]->process_path, u"/usr/bin/curl");
  EXPECT_EQ(flows[0]->local.Address(flows[0]->IsIPv4()).to_string(), "10.0.0.2");
  EXPECT_EQ(flows[0]->local.port, 40000);
  EXPECT_EQ(flows[1]->pid, 102u);
  EXPECT_EQ(flows[1]->protocol, 17u);
  EXPECT_TRUE(log.Has(LOG_DEBUG, "OrvUserKdfIpc::handleReceiveFrom",
                      "Received 4000 bytes (more than expected (1439), ignoring data)"));
  EXPECT_TRUE(log.Has(LOG_ERROR, "OrvUserKdfIpc::processOrvData",
                      "Unknown version of the flow data: 2 - ignoring the data."));
  EXPECT_TRUE(
      log.Has(LOG_ERROR, "OrvUserKdfIpc::handleReceiveFrom", "Received 100 bytes (too little)"));
  EXPECT_TRUE(log.Has(LOG_DEBUG, "OrvUserKdfIpc::ioservice_thread", "Starting ioservice_thread"));
  EXPECT_TRUE(log.Has(LOG_DEBUG, "OrvUserKdfIpc::ioservice_thread", "ioservice_thread running..."));
  ASSERT_TRUE(channel_->Stop());
  EXPECT_TRUE(log.Has(LOG_DEBUG, "OrvUserKdfIpc::ioservice_thread", "ioservice_thread done"));
}

TEST_F(OrvUserKdfIpcTest, StartsAndStopsInAnyOrder) {
  EXPECT_TRUE(channel_->Stop());  // never started
  EXPECT_TRUE(channel_->Start());
  EXPECT_TRUE(channel_->Start());  // already running
  EXPECT_TRUE(channel_->Stop());
  EXPECT_TRUE(channel_->Stop());

  Sender sender(channel_->LocalPort());
  sender.Send(PidDatagram(5));  // arrives while stopped
  ASSERT_TRUE(channel_->Start());
  EXPECT_TRUE(recorder_.WaitForPid(5));
  sender.Send(PidDatagram(6));
  EXPECT_TRUE(recorder_.WaitForPid(6));
  EXPECT_TRUE(channel_->Stop());
  channel_.reset();  // destruction after stop
}

TEST(OrvUserKdfIpc, DestructionStopsARunningChannel) {
  Recorder recorder;
  OB_STATUSCODE status = kObFailure;
  auto channel = std::make_unique<OrvUserKdfIpc>(0, recorder.FlowCallback(), nullptr, status);
  ASSERT_EQ(status, kObSuccess);
  ASSERT_TRUE(channel->Start());
  Sender sender(channel->LocalPort());
  sender.Send(PidDatagram(9));  // no pid callback: dropped without harm
  sender.Send(FlowDatagram(9));
  EXPECT_TRUE(recorder.WaitForFlows(1));
  channel.reset();
}

TEST(OrvUserKdfIpc, StopReportsACallbackThatOutlastsTheWait) {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool release = false;
  OB_STATUSCODE status = kObFailure;
  auto channel = std::make_unique<OrvUserKdfIpc>(
      0, nullptr,
      [&](std::shared_ptr<const KdfPidInfo>) {
        std::unique_lock lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
      },
      status);
  ASSERT_EQ(status, kObSuccess);
  ASSERT_TRUE(channel->Start());
  Sender sender(channel->LocalPort());  // kept open: the channel identifies it by its socket
  sender.Send(PidDatagram(1));
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kDeadline, [&] { return entered; }));
  }
  LogCapture log;
  EXPECT_FALSE(channel->Stop());
  EXPECT_TRUE(log.Contains("ioservice_thread did not end within 1000 ms"));
  {
    std::lock_guard lock(mutex);
    release = true;
    entered = false;
    changed.notify_all();
  }
  ASSERT_TRUE(channel->Start());  // waits for the old thread, then serves again
  sender.Send(PidDatagram(2));
  {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, kDeadline, [&] { return entered; }));
  }
  channel.reset();
}

TEST(OrvUserKdfIpc, BelievesOnlyRootAndItsOwnAccount) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to create a socket owned by another account";
  }
  Recorder recorder;
  OB_STATUSCODE status = kObFailure;
  OrvUserKdfIpc channel(0, recorder.FlowCallback(), recorder.PidCallback(), status);
  ASSERT_TRUE(channel.Start());
  Sender nobody(channel.LocalPort(), 65534);
  Sender root(channel.LocalPort(), 0);
  LogCapture log;
  nobody.Send(FlowDatagram(66));
  nobody.Send(PidDatagram(66));
  root.Send(PidDatagram(1));
  ASSERT_TRUE(recorder.WaitForPid(1));
  EXPECT_EQ(channel.RefusedDatagrams(), 2U);
  EXPECT_TRUE(recorder.Flows().empty());
  EXPECT_EQ(recorder.Pids(), std::vector<std::uint32_t>{1});
  EXPECT_TRUE(log.Contains("belongs to neither root nor the agent's account"));
}

}  // namespace
