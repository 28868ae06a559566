// The flow data channel (datagram checks, loopback receiving, start and stop, sender check) and
// the platform framework that starts it and tells the driver where it listens.
#include "flow/orv_user_kdf_ipc.h"

#include <gtest/gtest.h>

#include <cstring>

#include "flow/datagram_sender_check.h"
#include "flow/kdf.h"
#include "flow_fakes.h"
#include "support/log_capture.h"

namespace {

using orv::test::Bytes;
using orv::test::FlowDatagram;
using orv::test::LogCapture;
using orv::test::LoopbackSender;
using orv::test::PidDatagram;
using Calls = std::vector<std::string>;

Bytes WithHeader(Bytes bytes, std::uint16_t length, std::uint8_t version, std::uint8_t type) {
  bytes[0] = static_cast<std::uint8_t>(length);
  bytes[1] = static_cast<std::uint8_t>(length >> 8);
  bytes[2] = version;
  bytes[3] = type;
  return bytes;
}

class OrvUserKdfIpcTest : public testing::Test {
 protected:
  orv::test::MessageRecorder recorder_;
  OB_STATUSCODE status_ = kObFailure;
  std::unique_ptr<OrvUserKdfIpc> channel_ = std::make_unique<OrvUserKdfIpc>(
      0, recorder_.FlowCallback(), recorder_.PidCallback(), status_);
};

TEST_F(OrvUserKdfIpcTest, HandlesEverySizeTypeVersionAndLength) {
  struct Case {
    Bytes datagram;
    std::size_t size;  // as received; may exceed the bytes kept
    std::size_t delivered;
    const char* message;  // the one line logged; nullptr: nothing logged
  };
  const Bytes flow = FlowDatagram(4242);
  const Bytes pid = PidDatagram(77);
  Bytes pid_in_flow_sized = flow;
  std::copy(pid.begin(), pid.end(), pid_in_flow_sized.begin());
  const std::vector<Case> cases = {
      {flow, 1439, 1, nullptr},
      {pid, 8, 1, nullptr},
      {Bytes(1440, 1), 1440, 0, "Received 1440 bytes (more than expected (1439), ignoring data)"},
      {Bytes(1438, 1), 1438, 0, "Received 1438 bytes (too little)"},
      {Bytes(9, 1), 9, 0, "Received 9 bytes (too little)"},
      {WithHeader(flow, 1439, 2, 1), 1439, 0,
       "Unknown version of the flow data: 2 - ignoring the data."},
      {WithHeader(flow, 1438, 1, 1), 1439, 0,
       "Invalid total length in the flow data: 1438 - ignoring the data."},
      {WithHeader(pid, 1439, 1, 1), 8, 0,
       "Received 8 bytes of flow data (expected 1439) - ignoring the data."},
      {FlowDatagram(5, 1), 1439, 1, "Unknown protocol in the flow data!"},
      {WithHeader(pid, 8, 0, 2), 8, 0,
       "Unknown version of the pid info message: 0 - ignoring the message."},
      {WithHeader(pid, 9, 1, 2), 8, 0,
       "Invalid total length in the pid info message: 9 - ignoring the message."},
      {WithHeader(pid_in_flow_sized, 8, 1, 2), 1439, 1, nullptr},
      {WithHeader(flow, 1439, 1, 2), 1439, 0,
       "Invalid total length in the pid info message: 1439 - ignoring the message."},
      {WithHeader(flow, 1439, 1, 3), 1439, 0, nullptr},
  };
  for (const Case& c : cases) {
    const std::size_t before = recorder_.flows.size() + recorder_.pids.size();
    LogCapture log;
    channel_->handleDatagram(c.datagram, c.size);
    SCOPED_TRACE(c.message != nullptr ? c.message : "");
    EXPECT_EQ(recorder_.flows.size() + recorder_.pids.size() - before, c.delivered);
    ASSERT_EQ(log.Lines().size(), c.message != nullptr ? 1u : 0u);
    EXPECT_TRUE(c.message == nullptr || log.Lines()[0].message == c.message);
  }
  EXPECT_EQ(recorder_.pids, (std::vector<std::uint32_t>{77, 77}));
  LogCapture log;
  channel_->processOrvData(Bytes{8, 0, 1});              // no room for a type
  channel_->processOrvData(Bytes{8, 0, 1, 2, 9, 9, 9});  // a pid message cut short
  EXPECT_TRUE(log.Has(LOG_ERROR, "OrvUserKdfIpc::processOrvData",
                      "Received 7 bytes of pid info (expected 8) - ignoring the message."));
}

TEST_F(OrvUserKdfIpcTest, ReceivesOnLoopbackInOrderSeeingTheSizeOfOversizeDatagrams) {
  LoopbackSender sender(channel_->LocalPort());
  ASSERT_TRUE(sender.Send(PidDatagram(1)));  // arrives while stopped
  LogCapture log;
  EXPECT_TRUE(channel_->Stop());  // never started
  ASSERT_TRUE(channel_->Start());
  EXPECT_TRUE(channel_->Start());  // already running
  ASSERT_TRUE(recorder_.WaitFor(recorder_.pids, 1));
  EXPECT_TRUE(channel_->Stop());
  EXPECT_TRUE(channel_->Stop());
  ASSERT_TRUE(channel_->Start());
  for (const Bytes& datagram : {FlowDatagram(100), Bytes(4000, 0x11), FlowDatagram(102, 17)}) {
    ASSERT_TRUE(sender.Send(datagram));
  }
  ASSERT_TRUE(recorder_.WaitFor(recorder_.flows, 102));
  EXPECT_EQ(recorder_.Copy(recorder_.flows), (std::vector<std::uint32_t>{100, 102}));
  // Larger than the receive buffer: its real size is seen, not the bytes kept.
  EXPECT_TRUE(log.Contains("Received 4000 bytes (more than expected (1439), ignoring data)"));
  channel_.reset();  // destruction stops a running channel

  // Without a pid callback pid messages are dropped without harm.
  OrvUserKdfIpc flows_only(0, recorder_.FlowCallback(), nullptr, status_);
  ASSERT_TRUE(flows_only.Start());
  LoopbackSender second(flows_only.LocalPort());
  ASSERT_TRUE(second.Send(PidDatagram(9)));
  ASSERT_TRUE(second.Send(FlowDatagram(9)));
  EXPECT_TRUE(recorder_.WaitFor(recorder_.flows, 9));
}

TEST(OrvUserKdfIpc, StopReportsACallbackThatOutlastsTheWait) {
  std::mutex mutex;
  std::condition_variable changed;
  int entered = 0;
  bool release = false;
  const auto wait_until = [&](int count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return entered >= count; });
  };
  OB_STATUSCODE status = kObFailure;
  OrvUserKdfIpc channel(
      0, nullptr,
      [&](std::shared_ptr<const KdfPidInfo>) {
        std::unique_lock lock(mutex);
        ++entered;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
      },
      status);
  ASSERT_TRUE(channel.Start());
  LoopbackSender sender(channel.LocalPort());
  ASSERT_TRUE(sender.Send(PidDatagram(1)));
  ASSERT_TRUE(wait_until(1));
  LogCapture log;
  EXPECT_FALSE(channel.Stop());
  EXPECT_TRUE(log.Contains("ioservice_thread did not end within 1000 ms"));
  {
    const std::lock_guard lock(mutex);
    release = true;
    changed.notify_all();
  }
  ASSERT_TRUE(channel.Start());  // waits for the old thread, then serves again
  ASSERT_TRUE(sender.Send(PidDatagram(2)));
  EXPECT_TRUE(wait_until(2));
}

TEST(OrvUserKdfIpc, BelievesOnlyRootAndItsOwnAccount) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to create a socket owned by another account";
  }
  orv::test::MessageRecorder recorder;
  OB_STATUSCODE status = kObFailure;
  OrvUserKdfIpc channel(0, recorder.FlowCallback(), recorder.PidCallback(), status);
  ASSERT_TRUE(channel.Start());
  LoopbackSender nobody(channel.LocalPort(), 65534);
  LoopbackSender root(channel.LocalPort(), 0);
  LogCapture log;
  ASSERT_TRUE(nobody.Send(FlowDatagram(66)) && nobody.Send(PidDatagram(66)));
  ASSERT_TRUE(root.Send(PidDatagram(1)));
  ASSERT_TRUE(recorder.WaitFor(recorder.pids, 1));
  EXPECT_EQ(channel.RefusedDatagrams(), 2U);
  EXPECT_EQ(recorder.Copy(recorder.flows).size() + recorder.Copy(recorder.pids).size(), 1u);
  EXPECT_TRUE(log.Contains("belongs to neither root nor the agent's account"));
}

TEST(DatagramSenderCheckTest, BelievesRootAndTheAgentAndRemembersEachPortForASecond) {
  // Port → what the kernel says: an owner uid, or a status without one.
  std::map<std::uint16_t, std::pair<OB_STATUSCODE, std::uint32_t>> kernel = {
      {1, {kObSuccess, 0}},  {2, {kObSuccess, 1000}}, {3, {kObSuccess, 65534}},
      {4, {kObNotFound, 0}}, {5, {kObFailure, 0}},
  };
  int lookups = 0;
  CDatagramSenderCheck check(
      [&](const sockaddr_in& sender, std::uint32_t& uid, int& os_error) {
        ++lookups;
        os_error = 0;
        uid = kernel.at(ntohs(sender.sin_port)).second;
        return kernel.at(ntohs(sender.sin_port)).first;
      },
      1000);
  const auto start = std::chrono::steady_clock::now();
  const auto from = [](std::uint16_t port) {
    return sockaddr_in{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  };
  for (std::uint16_t port = 1; port <= 5; ++port) {
    EXPECT_EQ(check.Admit(from(port), start), port <= 2) << port;
    EXPECT_EQ(check.Admit(from(port), start + std::chrono::milliseconds(999)), port <= 2) << port;
  }
  EXPECT_EQ(lookups, 5);  // one per port while the verdicts last
  // A trusted sender's port taken over by someone else is refused once its verdict expired.
  kernel[1] = {kObSuccess, 65534};
  EXPECT_FALSE(check.Admit(from(1), start + CDatagramSenderCheck::kVerdictLifetime));
}

// A factory whose instances record every call, in order, into one shared journal, answering
// the codes the test sets per operation.
class RecordingFactory : public IOrvApiClassFactory {
 public:
  class Api : public IOrvApi {
   public:
    explicit Api(RecordingFactory& factory) : f_(factory) {}
    ngc_error_t OpenPlugin() override { return f_.Record("open"); }
    ngc_error_t ClosePlugin() override { return f_.Record("close"); }
    ngc_error_t EnableAppFlow(const OrvEndpointPair* endpoints) override {
      std::memcpy(f_.endpoint_bytes.data(), endpoints, sizeof *endpoints);
      return f_.Record("enable");
    }
    ngc_error_t DisableAppFlow() override { return f_.Record("disable"); }
    ngc_error_t NotifyNetworkChange() override { return f_.Record("network"); }
    ngc_error_t SetFlowReportInterval(std::uint32_t seconds) override {
      return f_.Record("interval " + std::to_string(seconds));
    }
    ngc_error_t Uninitialize() override { return f_.Record("uninitialize"); }

   private:
    RecordingFactory& f_;
  };

  std::unique_ptr<IOrvApi> CreateInstance() override {
    calls.push_back("create");
    return answers.contains("create") ? nullptr : std::make_unique<Api>(*this);
  }
  ngc_error_t ReleaseInstance(std::unique_ptr<IOrvApi>& instance) override {
    instance.reset();
    return Record("release");
  }
  ngc_error_t Record(const std::string& call) {
    calls.push_back(call);
    const auto answer = answers.find(call.substr(0, call.find(' ')));
    return answer == answers.end() ? kNgcSuccess : answer->second;
  }
  // The channel's port as the last EnableAppFlow named it (network byte order on the wire).
  std::uint16_t ChannelPort() const { return (endpoint_bytes[42] << 8) | endpoint_bytes[43]; }

  Calls calls;
  std::map<std::string, ngc_error_t> answers;  // by first word of the call
  std::array<std::uint8_t, 44> endpoint_bytes{};
};

TEST(Kdf, EachOperationUsesAFreshInstanceAndNamesTheChannelEndpoint) {
  RecordingFactory factory;
  CKDF kdf(factory, 0x1234);
  EXPECT_EQ(kdf.EnableAppFlow(), kObSuccess);
  EXPECT_EQ(kdf.SetFlowReportInterval(999), kObSuccess);
  EXPECT_EQ(kdf.NotifyNetworkChange(), kObSuccess);
  EXPECT_EQ(kdf.Uninitialize(), kObSuccess);
  EXPECT_EQ(factory.calls, (Calls{"create", "open", "enable", "close", "release",        //
                                  "create", "open", "interval 999", "close", "release",  //
                                  "create", "open", "network", "close", "release",       //
                                  "create", "uninitialize", "release"}));
  // Two IPv4 addresses (family 2, little-endian), the second 127.0.0.1 with the channel's port.
  std::array<std::uint8_t, 44> expected{};
  expected[0] = expected[20] = 2;
  expected[24] = 127;
  expected[27] = 1;
  expected[42] = 0x12;
  expected[43] = 0x34;
  EXPECT_EQ(factory.endpoint_bytes, expected);
}

TEST(Kdf, FailuresReleaseTheInstance) {
  struct Case {
    std::string failing;
    int answer;
    int operation;
    OB_STATUSCODE status;
    std::size_t calls;  // journal length; all but a failed create end in release
    std::string error;  // empty: no error logged
  };
  const std::string kPlugin = " OrvPlugin1.0 with error code 7";
  const std::vector<Case> cases = {
      {"open", 7, CKDF::kOperationEnableAppFlow, kObFailure, 3,
       "Error: unable to open socket plugin" + kPlugin},
      {"open", kNgcAlreadyOpen, CKDF::kOperationDisableAppFlow, kObSuccess, 5, ""},
      {"enable", 7, CKDF::kOperationEnableAppFlow, kObFailure, 5,
       "Error: unable to enable appflow service or plugin" + kPlugin},
      {"disable", 7, CKDF::kOperationDisableAppFlow, kObFailure, 5,
       "Error: unable to disable appflow service or plugin" + kPlugin},
      {"network", 7, CKDF::kOperationNotifyNetworkChange, kObFailure, 5, ""},
      {"interval", 7, CKDF::kOperationSetFlowReportInterval, kObFailure, 5,
       "Error: unable to set flow report interval with error code 7"},
      {"uninitialize", 7, CKDF::kOperationUninitialize, kObFailure, 3, ""},
      {"close", 7, CKDF::kOperationDisableAppFlow, kObFailure, 5, ""},
      {"none", 0, 9, kObBadArgument, 4, ""},
      {"create", 0, CKDF::kOperationEnableAppFlow, kObFailure, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing);
    RecordingFactory factory;
    factory.answers[c.failing] = c.answer;
    CKDF kdf(factory, 0);
    LogCapture log;
    EXPECT_EQ(kdf.callKDFApi(c.operation), c.status);
    ASSERT_EQ(factory.calls.size(), c.calls);
    EXPECT_EQ(factory.calls.back(), c.calls == 1 ? "create" : "release");
    EXPECT_EQ(log.Has(LOG_ERROR, "CKDF::callKDFApi", c.error), !c.error.empty());
  }
}

TEST(Kdf, InitializeStartsTheChannelThatTheDriverIsToldOf) {
  RecordingFactory factory;
  orv::test::MessageRecorder agent;
  CKDF first(factory, 0);
  EXPECT_EQ(first.Initialize(nullptr), kObFailure);
  ASSERT_EQ(first.Initialize(&agent), kObSuccess);
  EXPECT_EQ(first.Initialize(&agent), kObAlreadyInitialised);
  ASSERT_EQ(first.EnableAppFlow(), kObSuccess);
  EXPECT_EQ(factory.ChannelPort(), first.ListenerPort());
  LoopbackSender sender(first.ListenerPort());
  ASSERT_TRUE(sender.Send(FlowDatagram(31)) && sender.Send(PidDatagram(32)));
  EXPECT_TRUE(agent.WaitFor(agent.flows, 31));
  EXPECT_TRUE(agent.WaitFor(agent.pids, 32));

  // A port already taken is replaced by a free one, and the driver is given that one.
  CKDF second(factory, first.ListenerPort());
  ASSERT_EQ(second.Initialize(&agent), kObSuccess);
  EXPECT_NE(second.ListenerPort(), first.ListenerPort());
  ASSERT_EQ(second.EnableAppFlow(), kObSuccess);
  EXPECT_EQ(factory.ChannelPort(), second.ListenerPort());
  first.UninitializeListener();
  EXPECT_EQ(first.ListenerPort(), 0);
  first.UninitializeListener();                     // nothing left to release
  ASSERT_EQ(first.Initialize(&agent), kObSuccess);  // a new channel after the old one is gone

  CKDF production(COrvApiClassFactory::Instance(), 0);  // no channel: the endpoint names port 0
  EXPECT_EQ(production.EnableAppFlow(), kObFailure);
  EXPECT_EQ(production.Uninitialize(), kObSuccess);
}

}  // namespace
