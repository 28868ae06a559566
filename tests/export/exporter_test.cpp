#include "export/exporter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "export/ipfix_test_support.h"
#include "support/fake_registrar.h"
#include "support/log_capture.h"

namespace {

using namespace orv::test;

constexpr std::size_t kRecordSize = 300;
constexpr std::uint16_t kIPv4FlowSetId = 267;
// Template, identity and interface sets, in the order they are announced.
const std::vector<std::uint16_t> kAnnouncements = {2, 262, 266};

std::uint16_t FirstSetId(const Bytes& message) {
  return message.size() >= 20 ? ReadU16(message.data() + 16) : 0;
}

// Flow records in a message whose records are all kRecordSize bytes.
std::size_t FlowRecords(const Bytes& message) {
  std::size_t records = 0;
  for (std::size_t at = 16; at + 4 <= message.size() && ReadU16(message.data() + at + 2) >= 4;
       at += ReadU16(message.data() + at + 2)) {
    if (ReadU16(message.data() + at) == kIPv4FlowSetId)
      records += (ReadU16(message.data() + at + 2) - 4) / kRecordSize;
  }
  return records;
}

// Counts connects (failing the first connect_failures) and the flow records of flow messages
// that went out; with refuse_every > 0 every such flow send fails, as after a "port
// unreachable". Announcements always go out.
class ScriptedTransport : public IExporterTransport {
 public:
  struct Script {
    std::atomic<int> connect_failures{0};
    std::atomic<int> connects{0};
    std::atomic<int> refuse_every{0};
    std::atomic<int> flow_sends{0};
    std::atomic<std::size_t> records_sent{0};
  };
  explicit ScriptedTransport(Script& script) : script_(script) {}
  OB_STATUSCODE Connect(const std::string& /*host*/, const std::string& /*port*/) override {
    ++script_.connects;
    return --script_.connect_failures >= 0 ? kObFailure : kObSuccess;
  }
  OB_STATUSCODE Send(const std::uint8_t* bytes, std::size_t length,
                     const ExporterSendCallback& /*completion*/) override {
    const std::size_t records = FlowRecords(Bytes(bytes, bytes + length));
    if (records == 0) return kObSuccess;
    const int every = script_.refuse_every.load();
    if (every > 0 && ++script_.flow_sends % every == 0) return kObFailure;
    script_.records_sent += records;
    return kObSuccess;
  }
  OB_STATUSCODE Disconnect() override { return kObSuccess; }

 private:
  Script& script_;
};

class ExporterTest : public ::testing::Test {
 protected:
  void Configure(std::uint32_t aggregation_ms, const std::string& port) {
    const std::lock_guard lock(settings_mutex_);
    settings_.collector_ip = L"127.0.0.1";
    settings_.collector_port = static_cast<std::uint32_t>(std::stoul(port));
    settings_.collection_mode = kCollectionModeAll;
    settings_.aggregation_timeout = aggregation_ms;
    settings_.template_report_interval = 1440;
  }

  // An exporter to port; through the scripted transport when script is given.
  std::unique_ptr<CExporter> Make(const std::string& port,
                                  ScriptedTransport::Script* script = nullptr,
                                  CDeliveryLedger* ledger = nullptr) {
    ExporterDependencies deps;
    if (script != nullptr)
      deps.make_transport = [script] { return std::make_unique<ScriptedTransport>(*script); };
    deps.ledger = ledger;
    deps.clock = [this] {
      return std::chrono::steady_clock::time_point(std::chrono::milliseconds(now_ms_.load()));
    };
    deps.converter =
        std::make_unique<CIPFIXConverter>(device_.device(), [] { return DataCollectionPolicy{}; });
    deps.load_profile = [] { return kObSuccess; };
    deps.settings = [this] {
      const std::lock_guard lock(settings_mutex_);
      return settings_;
    };
    deps.policy = [] { return DataCollectionPolicy{}; };
    deps.interface_list = [] {
      auto eth = std::make_shared<InterfaceInfo>();
      eth->uid = 1;
      eth->name = L"eth0";
      return std::vector<std::shared_ptr<InterfaceInfo>>{eth, eth};
    };
    OB_STATUSCODE status = kObFailure;
    auto exporter = std::make_unique<CExporter>(status, &registrar_, flows_, cache_, interfaces_,
                                                "127.0.0.1", port, 1440, nullptr, std::move(deps));
    EXPECT_EQ(status, kObSuccess);
    return exporter;
  }

  // Configures, makes and starts an exporter.
  std::unique_ptr<CExporter> Started(const std::string& port, std::uint32_t aggregation_ms,
                                     ScriptedTransport::Script* script = nullptr) {
    Configure(aggregation_ms, port);
    auto exporter = Make(port, script);
    EXPECT_EQ(exporter->Start(), kObSuccess);
    return exporter;
  }

  // Receives until a flow message arrives; the set IDs of the messages before it are appended.
  static std::optional<Bytes> ReceiveFlow(Receiver& collector,
                                          std::vector<std::uint16_t>* before = nullptr) {
    for (;;) {
      auto message = collector.Receive();
      if (!message || FirstSetId(*message) == kIPv4FlowSetId) return message;
      if (before != nullptr) before->push_back(FirstSetId(*message));
    }
  }

  // Receives flow messages until count records arrived; whether they did.
  static bool ReceiveRecords(Receiver& collector, std::size_t count) {
    std::size_t records = 0;
    while (records < count) {
      const auto message = ReceiveFlow(collector);
      if (!message) return false;
      records += FlowRecords(*message);
    }
    return records == count;
  }

  void PushFlows(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
      ASSERT_EQ(flows_.Push(FlowOfSize(false, kRecordSize)), kObSuccess);
  }

  FixtureDevice device_;
  FakeRegistrar registrar_{true};
  std::mutex settings_mutex_;
  ProfileSettings settings_;
  std::atomic<std::int64_t> now_ms_{1000000};
  FlowRecordQueue flows_{1000};
  CacheObjectQueue cache_{1000};
  InterfaceQueue interfaces_{100};
};

// Throttling, hold and release without loss, is left to the end-to-end cache drain, which runs
// throttled and requires every flow to arrive.
TEST_F(ExporterTest, AnnouncesOnceBatchesAndAnnouncesAgainToANewCollector) {
  Receiver first;
  Receiver second;
  auto exporter = Started(first.Port(), 0);
  PushFlows(3);
  std::vector<std::uint16_t> announced;
  for (int i = 0; i < 3; ++i) {
    const auto message = ReceiveFlow(first, &announced);
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(FlowRecords(*message), 1u) << "without aggregation one record per message";
  }
  // An unchanged interface is announced once, however many paths announce it at start.
  EXPECT_EQ(announced, kAnnouncements);

  // Another collector gets every announcement again; three records wait for the interval.
  Configure(60000, second.Port());
  exporter->OnProfileStateChanged();
  PushFlows(3);
  for (const std::uint16_t set : kAnnouncements)
    EXPECT_EQ(FirstSetId(second.Receive().value_or(Bytes{})), set);
  EXPECT_FALSE(second.Receive(300).has_value());
  // The family limit fills the batch at once; what the size limit leaves in the converter's
  // family queue follows without waiting for new records.
  PushFlows(2);
  EXPECT_TRUE(ReceiveRecords(second, 5));
}

TEST_F(ExporterTest, ParksAnnouncementsWhileUntrustedAndReleasesThemBeforeFlows) {
  Receiver collector;
  registrar_.SetTrusted(false);
  auto exporter = Started(collector.Port(), 0);
  for (int round = 0; round < 2; ++round) {
    PushFlows(1);
    EXPECT_FALSE(collector.Receive(300).has_value()) << "nothing leaves while untrusted";
    registrar_.SetTrustedOnceRegistered(true);
    std::vector<std::uint16_t> before;
    const auto flow = ReceiveFlow(collector, &before);
    ASSERT_TRUE(flow.has_value());
    EXPECT_EQ(FlowRecords(*flow), 1u);
    // Announcements after the trust change; the interface record parked at start is the same.
    EXPECT_EQ(before, kAnnouncements);
    registrar_.SetTrustedOnceRegistered(false);
  }
}

TEST_F(ExporterTest, StopSendsTheFlowQueueOutAndGivesBackWhatItCannotSend) {
  // Aggregation holds the records back until the stop; a refusing collector gets nothing.
  for (const bool collector_refuses : {false, true}) {
    ScriptedTransport::Script script;
    script.refuse_every = collector_refuses ? 1 : 0;
    auto exporter = Started("4739", 60000, &script);
    PushFlows(40);
    EXPECT_EQ(exporter->Stop(), kObSuccess);
    EXPECT_EQ(script.records_sent.load(), collector_refuses ? 0U : 40U);
    EXPECT_EQ(flows_.Size(), collector_refuses ? 40U : 0U) << "given back for the cache";
    flows_.Clear();
  }
}

TEST_F(ExporterTest, ReportsSentCachedRecordsAndReleasesThoseGivenUp) {
  // Every other flow send fails, as when a collector answers "port unreachable": held messages
  // are sent again, so all records arrive and are reported. A collector refusing everything gets
  // none: the held message is given up after a bounded number of sends, the collector connected
  // again, and the rows are released for reading again.
  for (const int refuse_every : {2, 1}) {
    ScriptedTransport::Script script;
    script.refuse_every = refuse_every;
    CDeliveryLedger ledger;
    Configure(0, "4739");
    auto exporter = Make("4739", &script, &ledger);
    for (std::int64_t row = 1; row <= 6; ++row) {
      std::shared_ptr<ORVObject> flow = FlowOfSize(false, kRecordSize);
      ledger.Track(flow, row);
      ASSERT_EQ(cache_.Push(std::move(flow)), kObSuccess);
    }
    ASSERT_EQ(exporter->Start(), kObSuccess);
    std::size_t delivered = 0;
    std::size_t released = 0;
    ASSERT_TRUE(WaitUntil([&] {
      now_ms_ += 500;  // a collector given up on is connected again after a pause
      const CDeliveryLedger::Settlement more = ledger.Settle();
      delivered += more.delivered.size();
      released += more.released.size();
      return delivered + released == 6;
    }));
    EXPECT_EQ(delivered, refuse_every == 2 ? 6U : 0U);
    EXPECT_EQ(script.records_sent.load(), delivered);
    EXPECT_EQ(exporter->Stop(), kObSuccess);
  }
}

// An empty collector address is left to the end-to-end test that writes one and requires the
// flows to wait in the cache for a usable collector.
TEST_F(ExporterTest, TrustBeforeStartSecondStartResolutionRetriesAndUnusablePorts) {
  ScriptedTransport::Script script;
  script.connect_failures = 2;
  registrar_.SetTrusted(false);
  Configure(0, "4739");
  auto exporter = Make("4739", &script);
  registrar_.SetTrusted(true);  // between construction and start: not lost
  LogCapture log;
  ASSERT_EQ(exporter->Start(), kObSuccess);
  EXPECT_EQ(exporter->Start(), kObAlreadyRunning);
  EXPECT_TRUE(log.Has(LOG_ERROR, "CExporter::Exporter", "thread was already running"));
  PushFlows(1);
  // Failed resolutions are tried again after 1 s, then 2 s.
  ASSERT_TRUE(WaitUntil([&] {
    now_ms_ += 500;
    return script.records_sent.load() == 1;
  }));
  EXPECT_EQ(script.connects.load(), 3);
  EXPECT_EQ(exporter->State(), CExporter::kStateResolved);
  EXPECT_EQ(exporter->Stop(), kObSuccess);

  // Unusable ports start and stop all the same.
  for (const std::string port : {"not-a-number", "99999"}) {
    exporter = Make(port);
    ASSERT_EQ(exporter->Start(), kObSuccess);
    EXPECT_EQ(exporter->Stop(), kObSuccess);
    EXPECT_EQ(exporter->State(), CExporter::kStateIdle);
  }
}

TEST(ExporterPolicyTest, ThinsInterfaceRecordsByPolicy) {
  const auto thinned = [](const std::vector<std::int32_t>& fields, std::int32_t mode) {
    InterfaceInfo info;
    info.index = 7;
    info.type_code = kInterfaceTypeWireless;
    info.name = L"wlan0";
    info.hardware_address = "aa:bb:cc:dd:ee:ff";
    info.detail_list = {L"SSID=Office", L"State=Trusted", L"Other=1"};
    DataCollectionPolicy policy;
    for (const std::int32_t field : fields) policy.field_map[field] = mode;
    ApplyInterfacePolicy(policy, info);
    return info;
  };
  const InterfaceInfo blanked = thinned({12356, 12357, 12358, 12360, 123591}, kFieldModeExclude);
  EXPECT_EQ(std::tie(blanked.index, blanked.type_code, blanked.name, blanked.hardware_address),
            std::make_tuple(0U, 0, std::wstring(L"-"), std::string("-")));
  EXPECT_EQ(blanked.detail_list, (std::vector<std::wstring>{L"State=Trusted", L"Other=1"}));

  const InterfaceInfo hidden = thinned({12358, 12360, 123592}, kFieldModeAnonymise);
  std::wstring name = L"wlan0";
  std::wstring state = L"Trusted";
  AnonymizeValue(name);
  AnonymizeValue(state);
  EXPECT_NE(name, L"wlan0");
  EXPECT_EQ(std::tie(hidden.index, hidden.name), std::make_tuple(7U, name));
  EXPECT_NE(hidden.hardware_address, "aa:bb:cc:dd:ee:ff");
  EXPECT_EQ(hidden.detail_list,
            (std::vector<std::wstring>{L"SSID=Office", L"State=" + state, L"Other=1"}));
}

}  // namespace
