// The driver's datagram layout, the flow data channel (datagram checks, loopback receiving, start
// and stop, sender check) and the platform framework that starts it and tells the driver where it
// listens.
#include "flow/orv_user_kdf_ipc.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/fsuid.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <future>

#include "driver/flow_datagram_builder.h"
#include "driver/kdf_message.h"
#include "flow/datagram_sender_check.h"
#include "flow/kdf.h"
#include "flow/synthetic_flow_source.h"
#include "runtime/byte_order.h"
#include "runtime/unique_fd.h"
#include "support/log_capture.h"
#include "support/wait.h"

namespace {

using orv::test::LogCapture;
using Bytes = std::vector<std::uint8_t>;
using Ids = std::vector<std::uint32_t>;

using Fields = std::vector<std::tuple<std::size_t, std::uint64_t, int>>;

// length zero bytes with each (offset, value, size) written little-endian.
Bytes Place(std::size_t length, const Fields& fields) {
  Bytes bytes(length, 0);
  for (const auto& [offset, value, size] : fields) {
    for (int i = 0; i < size; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  return bytes;
}

Bytes FlowDatagram(std::uint32_t pid, std::uint32_t protocol = 6) {
  KdfFlowData flow;
  flow.protocol = protocol;
  flow.pid = pid;
  const KdfFlowDatagram d = BuildKdfFlowDatagram(flow);
  return {d.begin(), d.end()};
}

Bytes PidDatagram(std::uint32_t pid) {
  const KdfPidInfoDatagram d = BuildKdfPidInfoDatagram(KdfPidInfo{.pid = pid});
  return {d.begin(), d.end()};
}

Bytes WithHeader(Bytes bytes, std::uint16_t length, std::uint8_t version, std::uint8_t type) {
  OBRuntime::StoreLe<std::uint32_t>(bytes.data(), length | version << 16 | type << 24);
  return bytes;
}

// Sends to a loopback port from one socket for its life, as the channel identifies senders by
// their socket; the socket belongs to owner (another owner than this process's needs root).
class LoopbackSender {
 public:
  explicit LoopbackSender(std::uint16_t port, uid_t owner = ::geteuid()) {
    const auto previous = static_cast<uid_t>(::setfsuid(owner));
    fd_.Reset(::socket(AF_INET, SOCK_DGRAM, 0));
    ::setfsuid(previous);
    address_ = {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  }
  // True when the whole datagram was sent.
  bool Send(const Bytes& bytes) {
    return ::sendto(fd_.get(), bytes.data(), bytes.size(), 0,
                    reinterpret_cast<const sockaddr*>(&address_),
                    sizeof address_) == static_cast<ssize_t>(bytes.size());
  }

 private:
  OBRuntime::UniqueFd fd_;
  sockaddr_in address_{};
};

// Records what the channel delivers, as its callbacks or as the agent: a flow as its process id,
// pid information as the process id with kPidInfo added.
class Recorder : public IKdfMessageSink {
 public:
  static constexpr std::uint32_t kPidInfo = 1U << 31;
  static constexpr std::uint32_t kHeld = 13;  // its pid information waits for hold
  std::shared_future<void> hold;
  void OnFlowUpdate(std::shared_ptr<const KdfFlowData> message) override { Add(message->pid); }
  void OnPidInfo(std::shared_ptr<const KdfPidInfo> message) override {
    Add(message->pid | kPidInfo);
    if (message->pid == kHeld) hold.wait();
  }
  std::unique_ptr<OrvUserKdfIpc> Channel(bool with_pids = true) {
    OB_STATUSCODE status = kObFailure;
    auto channel = std::make_unique<OrvUserKdfIpc>(
        0, std::bind_front(&Recorder::OnFlowUpdate, this),
        with_pids ? std::bind_front(&Recorder::OnPidInfo, this) : OrvUserKdfIpc::PidInfoCallback{},
        status);
    EXPECT_EQ(status, kObSuccess);
    return channel;
  }
  Ids Delivered() {
    const std::lock_guard lock(mutex_);
    return ids_;
  }
  // True when id arrived in time.
  bool WaitFor(std::uint32_t id) {
    return orv::test::WaitUntil([&] { return std::ranges::count(Delivered(), id) > 0; });
  }

 private:
  void Add(std::uint32_t id) {
    const std::lock_guard lock(mutex_);
    ids_.push_back(id);
  }

  std::mutex mutex_;
  Ids ids_;  // guarded by mutex_
};

TEST(OrvUserKdfIpc, HandlesEverySizeTypeVersionAndLength) {
  const Bytes flow = FlowDatagram(4242);
  const Bytes pid = PidDatagram(77);
  Bytes pid_in_flow_sized = flow;
  std::copy(pid.begin(), pid.end(), pid_in_flow_sized.begin());
  // The datagram, its size as received (it may exceed the bytes kept), whether it is delivered,
  // and the one line logged (empty: nothing).
  const std::vector<std::tuple<Bytes, std::size_t, bool, std::string>> cases = {
      {flow, 1439, true, ""},
      {pid, 8, true, ""},
      {Bytes(1440, 1), 1440, false,
       "Received 1440 bytes (more than expected (1439), ignoring data)"},
      {Bytes(1438, 1), 1438, false, "Received 1438 bytes (too little)"},
      {WithHeader(flow, 1439, 2, 1), 1439, false,
       "Unknown version of the flow data: 2 - ignoring the data."},
      {WithHeader(flow, 1438, 1, 1), 1439, false,
       "Invalid total length in the flow data: 1438 - ignoring the data."},
      {WithHeader(pid, 1439, 1, 1), 8, false,
       "Received 8 bytes of flow data (expected 1439) - ignoring the data."},
      {FlowDatagram(5, 1), 1439, true, "Unknown protocol in the flow data!"},
      {WithHeader(pid, 8, 0, 2), 8, false,
       "Unknown version of the pid info message: 0 - ignoring the message."},
      {WithHeader(pid, 9, 1, 2), 8, false,
       "Invalid total length in the pid info message: 9 - ignoring the message."},
      {WithHeader(pid_in_flow_sized, 8, 1, 2), 1439, true, ""},
      {WithHeader(flow, 1439, 1, 2), 1439, false,
       "Invalid total length in the pid info message: 1439 - ignoring the message."},
      {WithHeader(flow, 1439, 1, 3), 1439, false, ""}};
  Recorder recorder;
  const auto channel = recorder.Channel();
  for (const auto& [datagram, size, delivered, message] : cases) {
    const std::size_t before = recorder.Delivered().size();
    LogCapture log;
    channel->handleDatagram(datagram, size);
    const auto lines = log.Lines();
    EXPECT_EQ(std::tuple(recorder.Delivered().size() - before, lines.size()),
              std::tuple(delivered ? 1u : 0u, message.empty() ? 0u : 1u));
    EXPECT_EQ(lines.empty() ? "" : lines[0].message, message);
  }
  EXPECT_EQ(std::ranges::count(recorder.Delivered(), 77 | Recorder::kPidInfo), 2);
  LogCapture log;
  channel->processOrvData(Bytes{8, 0, 1});              // no room for a type
  channel->processOrvData(Bytes{8, 0, 1, 2, 9, 9, 9});  // a pid message cut short
  EXPECT_TRUE(log.Contains("Received 7 bytes of pid info (expected 8) - ignoring the message."));
}

// Datagrams arrive in order, those larger than the receive buffer with their real size; only
// root's and the agent's own sockets are believed (a refusal is logged); Stop and Start may come
// in any order, and a stop whose wait a callback outlasts says so.
TEST(OrvUserKdfIpc, ReceivesOnLoopbackFromTrustedSendersOnly) {
  Recorder recorder;
  auto channel = recorder.Channel();
  LoopbackSender sender(channel->LocalPort());
  ASSERT_TRUE(sender.Send(PidDatagram(1)));  // arrives while stopped
  LogCapture log;
  EXPECT_TRUE(channel->Stop());  // never started
  ASSERT_TRUE(channel->Start());
  EXPECT_TRUE(channel->Start());  // already running
  ASSERT_TRUE(recorder.WaitFor(1 | Recorder::kPidInfo));
  EXPECT_TRUE(channel->Stop());
  ASSERT_TRUE(channel->Start());
  const bool root = ::geteuid() == 0;
  LoopbackSender nobody(channel->LocalPort(), root ? 65534 : ::geteuid());
  ASSERT_TRUE(nobody.Send(FlowDatagram(66)));
  for (const Bytes& datagram : {FlowDatagram(100), Bytes(4000, 0x11), FlowDatagram(102, 17)}) {
    ASSERT_TRUE(sender.Send(datagram));
  }
  ASSERT_TRUE(recorder.WaitFor(102));
  EXPECT_EQ(recorder.Delivered(), (root ? Ids{1 | Recorder::kPidInfo, 100, 102}
                                        : Ids{1 | Recorder::kPidInfo, 66, 100, 102}));
  EXPECT_TRUE(log.Contains("Received 4000 bytes (more than expected (1439), ignoring data)"));
  EXPECT_EQ(channel->RefusedDatagrams(), root ? 1u : 0u);
  EXPECT_EQ(log.Contains("belongs to neither root nor the agent's account"), root);
  // A callback that outlasts Stop's wait is reported; Start waits for its thread to end.
  std::promise<void> release;
  recorder.hold = release.get_future().share();
  ASSERT_TRUE(sender.Send(PidDatagram(Recorder::kHeld)));
  ASSERT_TRUE(recorder.WaitFor(Recorder::kHeld | Recorder::kPidInfo));
  EXPECT_FALSE(channel->Stop());
  EXPECT_TRUE(log.Contains("ioservice_thread did not end within 1000 ms"));
  release.set_value();
  ASSERT_TRUE(channel->Start());
  ASSERT_TRUE(sender.Send(FlowDatagram(103)));
  EXPECT_TRUE(recorder.WaitFor(103));
  channel.reset();  // destruction stops a running channel

  // Without a pid callback pid messages are dropped without harm.
  const auto flows_only = recorder.Channel(false);
  ASSERT_TRUE(flows_only->Start());
  LoopbackSender second(flows_only->LocalPort());
  ASSERT_TRUE(second.Send(PidDatagram(9)) && second.Send(FlowDatagram(9)));
  EXPECT_TRUE(recorder.WaitFor(9));
}

TEST(DatagramSenderCheckTest, BelievesRootAndTheAgentAndRemembersEachPortForASecond) {
  // Port → what the kernel says: an owner uid, or a status without one.
  std::map<std::uint16_t, std::pair<OB_STATUSCODE, std::uint32_t>> kernel = {
      {1, {kObSuccess, 0}},
      {2, {kObSuccess, 1000}},
      {3, {kObSuccess, 65534}},
      {4, {kObNotFound, 0}},
      {5, {kObFailure, 0}}};
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

  std::vector<std::string> calls;
  std::map<std::string, ngc_error_t> answers;  // by first word of the call
  std::array<std::uint8_t, 44> endpoint_bytes{};
};

// Every operation takes a fresh instance, opens and closes the plugin and releases the instance,
// also when it fails (all but a failed create end in release).
TEST(Kdf, EachOperationUsesAFreshInstanceThatFailuresRelease) {
  RecordingFactory factory;
  CKDF kdf(factory, 0x1234);
  EXPECT_EQ(kdf.EnableAppFlow(), kObSuccess);
  EXPECT_EQ(kdf.SetFlowReportInterval(999), kObSuccess);
  EXPECT_EQ(kdf.NotifyNetworkChange(), kObSuccess);
  EXPECT_EQ(kdf.Uninitialize(), kObSuccess);
  EXPECT_EQ(factory.calls,
            (std::vector<std::string>{"create", "open", "enable", "close", "release",        //
                                      "create", "open", "interval 999", "close", "release",  //
                                      "create", "open", "network", "close", "release",       //
                                      "create", "uninitialize", "release"}));
  // Two IPv4 addresses (family 2, little-endian), the second 127.0.0.1 with the channel's port.
  EXPECT_EQ(Bytes(factory.endpoint_bytes.begin(), factory.endpoint_bytes.end()),
            Place(44, {{0, 2, 1}, {20, 2, 1}, {24, 0x0100007F, 4}, {42, 0x3412, 2}}));

  const std::string plugin = " OrvPlugin1.0 with error code 7";
  // The call failing, its answer, the operation, its status, the journal's length, the error.
  const std::vector<std::tuple<std::string, int, int, OB_STATUSCODE, std::size_t, std::string>>
      cases = {{"open", 7, CKDF::kOperationEnableAppFlow, kObFailure, 3,
                "Error: unable to open socket plugin" + plugin},
               {"open", kNgcAlreadyOpen, CKDF::kOperationDisableAppFlow, kObSuccess, 5, ""},
               {"enable", 7, CKDF::kOperationEnableAppFlow, kObFailure, 5,
                "Error: unable to enable appflow service or plugin" + plugin},
               {"disable", 7, CKDF::kOperationDisableAppFlow, kObFailure, 5,
                "Error: unable to disable appflow service or plugin" + plugin},
               {"network", 7, CKDF::kOperationNotifyNetworkChange, kObFailure, 5, ""},
               {"interval", 7, CKDF::kOperationSetFlowReportInterval, kObFailure, 5,
                "Error: unable to set flow report interval with error code 7"},
               {"uninitialize", 7, CKDF::kOperationUninitialize, kObFailure, 3, ""},
               {"close", 7, CKDF::kOperationDisableAppFlow, kObFailure, 5, ""},
               {"none", 0, 9, kObBadArgument, 4, ""},
               {"create", 0, CKDF::kOperationEnableAppFlow, kObFailure, 1, ""}};
  for (const auto& [failing, answer, operation, status, calls, error] : cases) {
    SCOPED_TRACE(failing);
    RecordingFactory failing_factory;
    failing_factory.answers[failing] = answer;
    CKDF failing_kdf(failing_factory, 0);
    LogCapture log;
    EXPECT_EQ(failing_kdf.callKDFApi(operation), status);
    ASSERT_EQ(failing_factory.calls.size(), calls);
    EXPECT_EQ(failing_factory.calls.back(), calls == 1 ? "create" : "release");
    EXPECT_EQ(log.Has(LOG_ERROR, "CKDF::callKDFApi", error), !error.empty());
  }
}

TEST(Kdf, InitializeStartsTheChannelThatTheDriverIsToldOf) {
  RecordingFactory factory;
  Recorder agent;
  CKDF first(factory, 0);
  EXPECT_EQ(first.Initialize(nullptr), kObFailure);
  ASSERT_EQ(first.Initialize(&agent), kObSuccess);
  EXPECT_EQ(first.Initialize(&agent), kObAlreadyInitialised);
  ASSERT_EQ(first.EnableAppFlow(), kObSuccess);
  EXPECT_EQ(factory.ChannelPort(), first.ListenerPort());
  LoopbackSender sender(first.ListenerPort());
  ASSERT_TRUE(sender.Send(FlowDatagram(31)) && sender.Send(PidDatagram(32)));
  EXPECT_TRUE(agent.WaitFor(31));
  EXPECT_TRUE(agent.WaitFor(32 | Recorder::kPidInfo));

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

// The driver's datagram layout, checked in this one place: bytes placed here by hand must parse
// to the message written out here, and that message must build to the same bytes, so a mistake
// shared by the builder and the parser cannot hide.
TEST(KdfMessage, HandPlacedBytesParseAndBuildBothWays) {
  // Little-endian fields, the ports (8080 and 53) in network order: header (1439 bytes, version
  // 1, type 1); local endpoint (family 23, port, flow information, address 2000::5); remote
  // endpoint (ff00::1); family 23 and protocol 17; bytes in and out; the process's start time in
  // bytes the format leaves unread; pid 777 and parent 778; start
  // 100 and end 200; process path (4 bytes: "a" and a lone surrogate); parent path (2 bytes: "p");
  // direction 7 and report kind.
  // clang-format off
  const Fields fields = {{0, 0x0101059F, 4}, {4, 0xCAFE901F0017, 8}, {12, 0x20, 1}, {27, 0x05, 1},
      {32, 0x35000017, 4}, {40, 0xff, 1}, {55, 0x01, 1}, {316, 0x1100000017, 8},
      {324, 1234567890123, 8}, {332, 99, 8}, {340, 0x1122334455667788, 8}, {348, 0x30A00000309, 8}, {356, 0xC800000064, 8},
      {396, 0xD83D00610004, 6}, {722, 0x700002, 4}, {1016, 0x0102030407, 5}};
  // clang-format on
  Bytes m = Place(1439, fields);
  std::memcpy(&m[60], "xn--bcher-kva.example", 21);
  std::memset(&m[364], 0x5A, 32);  // the hashes
  std::memset(&m[690], 0x7E, 32);
  KdfFlowData parsed;
  ASSERT_EQ(ParseKdfFlowData(m, parsed), kObSuccess);
  const KdfFlowData& p = parsed;
  EXPECT_EQ(std::tuple(p.header, p.local.family, p.local.port, p.local.ipv6_flow_info,
                       p.local.Address(false).to_string(), p.remote.port,
                       p.remote.Address(false).to_string(), p.host_name, p.address_family),
            std::tuple(KdfMessageHeader{1439, 1, 1}, 23, 8080, 0xCAFEu, "2000::5", 53, "ff00::1",
                       "xn--bcher-kva.example", 23u));
  EXPECT_EQ(std::tuple(p.protocol, p.bytes_in, p.bytes_out, p.pid, p.parent_pid, p.flow_start,
                       p.flow_end, p.process_path, p.parent_path, p.direction, p.report_kind),
            std::tuple(17u, 1234567890123ULL, 99u, 777u, 778u, 100u, 200u,
                       std::u16string{u'a', char16_t{0xD83D}}, u"p", 7, 0x01020304u));
  EXPECT_EQ(std::tuple(p.process_hash[31], p.parent_hash[0], p.process_start_time),
            std::tuple(0x5A, 0x7E, 0x1122334455667788ULL));
  const KdfFlowDatagram built = BuildKdfFlowDatagram(parsed);
  EXPECT_EQ(Bytes(built.begin(), built.end()), m);
  // An IPv4 flow's addresses take the flow information's place; their text is written by hand.
  parsed.address_family = 2;
  parsed.local.ipv4 = {100, 0, 20, 7};
  const KdfFlowDatagram v4 = BuildKdfFlowDatagram(parsed);
  EXPECT_EQ(Bytes(&v4[8], &v4[12]), (Bytes{100, 0, 20, 7}));
  std::array<char, kKdfAddressTextSize> text{};
  ASSERT_TRUE(FormatKdfAddress(parsed.local, true, text));
  EXPECT_STREQ(text.data(), "100.0.20.7");

  const Bytes pid = {8, 0, 1, 2, 4, 3, 2, 1};
  KdfPidInfo info;
  ASSERT_EQ(ParseKdfPidInfo(pid, info), kObSuccess);
  EXPECT_EQ(info.pid, 0x01020304u);
  const KdfPidInfoDatagram pid_built = BuildKdfPidInfoDatagram(info);
  EXPECT_EQ(Bytes(pid_built.begin(), pid_built.end()), pid);

  // Every synthetic flow is a datagram that parses back to what built it.
  SyntheticFlowSource source(42, 50);
  for (int i = 0; i < 50; ++i) {
    const KdfFlowDatagram synthetic = BuildKdfFlowDatagram(source.NextFlow(1767000000));
    ASSERT_EQ(ParseKdfFlowData(synthetic, parsed), kObSuccess);
    ASSERT_EQ(BuildKdfFlowDatagram(parsed), synthetic) << i;
  }

  // Stated path lengths beyond a field are clamped to it, odd ones rounded down to whole units; an
  // unterminated host name stops at the end of its field; other sizes are refused.
  for (const auto& [stated, units] :
       {std::pair<int, std::size_t>{3, 1}, {293, 146}, {0xFFFF, 146}}) {
    Bytes clamped = Place(1439, {{396, stated, 2}, {722, stated, 2}});
    std::memset(&clamped[60], 'h', 256);
    std::memset(&clamped[398], 'x', 292);
    ASSERT_EQ(ParseKdfFlowData(clamped, parsed), kObSuccess);
    EXPECT_EQ(parsed.host_name, std::string(256, 'h'));
    EXPECT_EQ(parsed.process_path, std::u16string(units, u'\u7878')) << stated;
    EXPECT_EQ(parsed.parent_path.size(), units) << stated;
  }
  EXPECT_EQ(ParseKdfFlowData(Bytes(1438, 0), parsed), kObBadArgument);
  EXPECT_EQ(ParseKdfFlowData(Bytes(1440, 0), parsed), kObBadArgument);
  EXPECT_EQ(ParseKdfPidInfo(Bytes(7, 0), info), kObBadArgument);
}

}  // namespace
