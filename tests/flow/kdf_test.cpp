#include "flow/kdf.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "driver/flow_datagram_builder.h"
#include "runtime/unique_fd.h"
#include "support/log_capture.h"

namespace {

using orv::test::LogCapture;
using Calls = std::vector<std::string>;

// A factory whose instances record every call, in order, into one shared journal, answering
// the codes the test sets per operation.
class RecordingFactory : public IOrvApiClassFactory {
 public:
  class Api : public IOrvApi {
   public:
    explicit Api(RecordingFactory& factory) : factory_(factory) {}
    ngc_error_t OpenPlugin() override { return factory_.Record("open"); }
    ngc_error_t ClosePlugin() override { return factory_.Record("close"); }
    ngc_error_t EnableAppFlow(const OrvEndpointPair* endpoints) override {
      std::memcpy(factory_.endpoint_bytes.data(), endpoints, sizeof *endpoints);
      return factory_.Record("enable");
    }
    ngc_error_t DisableAppFlow() override { return factory_.Record("disable"); }
    ngc_error_t NotifyNetworkChange() override { return factory_.Record("network"); }
    ngc_error_t SetFlowReportInterval(std::uint32_t seconds) override {
      return factory_.Record("interval " + std::to_string(seconds));
    }
    ngc_error_t Uninitialize() override { return factory_.Record("uninitialize"); }

   private:
    RecordingFactory& factory_;
  };

  std::unique_ptr<IOrvApi> CreateInstance() override {
    calls.push_back("create");
    return create_fails ? nullptr : std::make_unique<Api>(*this);
  }
  ngc_error_t ReleaseInstance(std::unique_ptr<IOrvApi>& instance) override {
    calls.push_back(instance ? "release" : "release null");
    instance.reset();
    return 0;
  }

  ngc_error_t Record(const std::string& call) {
    calls.push_back(call);
    const auto answer = answers.find(call.substr(0, call.find(' ')));
    return answer == answers.end() ? kNgcSuccess : answer->second;
  }

  Calls calls;
  std::map<std::string, ngc_error_t> answers;  // by first word of the call
  bool create_fails = false;
  std::array<std::uint8_t, 44> endpoint_bytes{};
};

class KdfTest : public testing::Test {
 protected:
  RecordingFactory factory_;
  CKDF kdf_{factory_, 0};
};

TEST_F(KdfTest, EachOperationUsesAFreshInstance) {
  LogCapture log;
  EXPECT_EQ(kdf_.EnableAppFlow(), kObSuccess);
  EXPECT_EQ(kdf_.SetFlowReportInterval(999), kObSuccess);
  EXPECT_EQ(kdf_.NotifyNetworkChange(), kObSuccess);
  EXPECT_EQ(kdf_.DisableAppFlow(), kObSuccess);
  EXPECT_EQ(kdf_.Uninitialize(), kObSuccess);
  EXPECT_EQ(factory_.calls, (Calls{"create", "open",         "enable",       "close", "release",  //
                                   "create", "open",         "interval 999", "close", "release",  //
                                   "create", "open",         "network",      "close", "release",  //
                                   "create", "open",         "disable",      "close", "release",  //
                                   "create", "uninitialize", "release"}));
  const std::string kFunction = "CKDF::callKDFApi";
  EXPECT_TRUE(log.Has(LOG_DEBUG, kFunction, "Success: OpenPlugin(), plugin name=OrvPlugin1.0"));
  EXPECT_TRUE(log.Has(LOG_DEBUG, kFunction, "Success: EnableAppFlow, plugin name=OrvPlugin1.0"));
  EXPECT_TRUE(log.Has(LOG_DEBUG, kFunction, "Success: DisabledAppFlow, plugin name=OrvPlugin1.0"));
  EXPECT_TRUE(log.Has(LOG_DEBUG, kFunction, "Success: SetFlowReportInterval"));
}

TEST_F(KdfTest, OpenPluginAnsweringTwoCountsAsSuccess) {
  factory_.answers["open"] = kNgcAlreadyOpen;
  EXPECT_EQ(kdf_.DisableAppFlow(), kObSuccess);
  EXPECT_EQ(factory_.calls, (Calls{"create", "open", "disable", "close", "release"}));
}

TEST_F(KdfTest, FailuresReleaseTheInstanceAndAnswerMinus9999) {
  struct Case {
    const char* failing;
    int operation;
    Calls calls;
    const char* error;  // nullptr: no message
  };
  const std::vector<Case> cases = {
      {"open",
       CKDF::kOperationEnableAppFlow,
       {"create", "open", "release"},
       "Error: unable to open socket plugin OrvPlugin1.0 with error code 7"},
      {"enable",
       CKDF::kOperationEnableAppFlow,
       {"create", "open", "enable", "close", "release"},
       "Error: unable to enable appflow service or plugin OrvPlugin1.0 with error code 7"},
      {"disable",
       CKDF::kOperationDisableAppFlow,
       {"create", "open", "disable", "close", "release"},
       "Error: unable to disable appflow service or plugin OrvPlugin1.0 with error code 7"},
      {"network",
       CKDF::kOperationNotifyNetworkChange,
       {"create", "open", "network", "close", "release"},
       nullptr},
      {"interval",
       CKDF::kOperationSetFlowReportInterval,
       {"create", "open", "interval 0", "close", "release"},
       "Error: unable to set flow report interval with error code 7"},
      {"uninitialize",
       CKDF::kOperationUninitialize,
       {"create", "uninitialize", "release"},
       nullptr},
      {"close",
       CKDF::kOperationDisableAppFlow,
       {"create", "open", "disable", "close", "release"},
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing);
    RecordingFactory factory;
    factory.answers[c.failing] = 7;
    CKDF kdf(factory, 0);
    LogCapture log;
    EXPECT_EQ(kdf.callKDFApi(c.operation), kObFailure);
    EXPECT_EQ(factory.calls, c.calls);
    if (c.error != nullptr) {
      EXPECT_TRUE(log.Has(LOG_ERROR, "CKDF::callKDFApi", c.error));
    } else {
      for (const auto& line : log.Lines()) EXPECT_NE(line.level, LOG_ERROR) << line.message;
    }
  }
}

TEST_F(KdfTest, UnknownOperationAnswersBadArgumentAfterOpeningAndClosing) {
  EXPECT_EQ(kdf_.callKDFApi(9), kObBadArgument);
  EXPECT_EQ(factory_.calls, (Calls{"create", "open", "close", "release"}));
  factory_.calls.clear();
  factory_.answers["close"] = 1;
  EXPECT_EQ(kdf_.callKDFApi(-1), kObFailure);
}

TEST_F(KdfTest, NoInstanceMeansFailureForEveryOperation) {
  factory_.create_fails = true;
  EXPECT_EQ(kdf_.EnableAppFlow(), kObFailure);
  EXPECT_EQ(kdf_.DisableAppFlow(), kObFailure);
  EXPECT_EQ(kdf_.NotifyNetworkChange(), kObFailure);
  EXPECT_EQ(kdf_.SetFlowReportInterval(60), kObFailure);
  EXPECT_EQ(kdf_.Uninitialize(), kObFailure);
  EXPECT_EQ(factory_.calls, Calls(5, "create"));
}

TEST(Kdf, ProductionReporterRefusesAChannelWithoutPort) {
  CKDF kdf(COrvApiClassFactory::Instance(), 0);  // no channel yet: the endpoint names port 0
  EXPECT_EQ(kdf.EnableAppFlow(), kObFailure);
  EXPECT_EQ(kdf.SetFlowReportInterval(60), kObSuccess);
  EXPECT_EQ(kdf.Uninitialize(), kObSuccess);
}

TEST(Kdf, EnableAppFlowNamesTheChannelEndpoint) {
  RecordingFactory factory;
  CKDF kdf(factory, 0x1234);
  ASSERT_EQ(kdf.EnableAppFlow(), kObSuccess);
  std::array<std::uint8_t, 44> expected{};
  expected[0] = 2;   // first family, little-endian u32
  expected[20] = 2;  // second family
  expected[24] = 127;
  expected[27] = 1;
  expected[42] = 0x12;  // second port, network byte order
  expected[43] = 0x34;
  EXPECT_EQ(factory.endpoint_bytes, expected);
}

// Receives what the channel delivers through the framework.
class RecordingAgent : public IKdfMessageSink {
 public:
  void OnFlowUpdate(std::shared_ptr<const KdfFlowData> message) override {
    std::lock_guard lock(mutex_);
    flow_pids_.push_back(message->pid);
    changed_.notify_all();
  }
  void OnPidInfo(std::shared_ptr<const KdfPidInfo> message) override {
    std::lock_guard lock(mutex_);
    pids_.push_back(message->pid);
    changed_.notify_all();
  }
  bool WaitFor(std::size_t flows, std::size_t pids) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10),
                             [&] { return flow_pids_.size() >= flows && pids_.size() >= pids; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::uint32_t> flow_pids_;
  std::vector<std::uint32_t> pids_;
};

TEST_F(KdfTest, InitializeStartsTheChannelAndPassesItsPortToTheDriver) {
  RecordingAgent agent;
  EXPECT_EQ(kdf_.Initialize(nullptr), kObFailure);
  LogCapture log;
  ASSERT_EQ(kdf_.Initialize(&agent), kObSuccess);
  EXPECT_TRUE(log.Has(LOG_DEBUG, "CKDF::Initialize", "Success: initialized kdf listener."));
  EXPECT_EQ(kdf_.Initialize(&agent), kObAlreadyInitialised);
  const std::uint16_t port = kdf_.ListenerPort();
  ASSERT_NE(port, 0);

  ASSERT_EQ(kdf_.EnableAppFlow(), kObSuccess);
  EXPECT_EQ(factory_.endpoint_bytes[42], port >> 8);
  EXPECT_EQ(factory_.endpoint_bytes[43], port & 0xFF);

  OBRuntime::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  KdfFlowData flow;
  flow.pid = 31;
  flow.protocol = 6;
  KdfPidInfo info;
  info.pid = 32;
  const auto flow_bytes = BuildKdfFlowDatagram(flow);
  const auto pid_bytes = BuildKdfPidInfoDatagram(info);
  for (const auto& [data, size] : {std::pair{flow_bytes.data(), flow_bytes.size()},
                                   std::pair{pid_bytes.data(), pid_bytes.size()}}) {
    ASSERT_EQ(::sendto(fd.get(), data, size, 0, reinterpret_cast<const sockaddr*>(&address),
                       sizeof address),
              static_cast<ssize_t>(size));
  }
  EXPECT_TRUE(agent.WaitFor(1, 1));

  kdf_.UninitializeListener();
  EXPECT_EQ(kdf_.ListenerPort(), 0);
  kdf_.UninitializeListener();                     // nothing left to release
  ASSERT_EQ(kdf_.Initialize(&agent), kObSuccess);  // a new channel after the old one is gone
}

TEST(Kdf, APortAlreadyTakenIsReplacedByAFreeOneThatTheDriverIsGiven) {
  RecordingFactory factory;
  RecordingAgent agent;
  CKDF first(factory, 0);
  ASSERT_EQ(first.Initialize(&agent), kObSuccess);
  CKDF second(factory, first.ListenerPort());
  ASSERT_EQ(second.Initialize(&agent), kObSuccess);
  const std::uint16_t port = second.ListenerPort();
  EXPECT_NE(port, 0);
  EXPECT_NE(port, first.ListenerPort());
  ASSERT_EQ(second.EnableAppFlow(), kObSuccess);
  EXPECT_EQ(factory.endpoint_bytes[42], port >> 8);
  EXPECT_EQ(factory.endpoint_bytes[43], port & 0xFF);
}

}  // namespace
