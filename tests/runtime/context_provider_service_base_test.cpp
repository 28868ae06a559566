#include "runtime/context_provider_service_base.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "runtime/byte_order.h"
#include "runtime/context_provider_test_client.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace OBRuntime {
namespace {

using orv::test::ContextTestClient;

// What the base called back: connections started, identities stopped, message types received.
struct Calls {
  int starts = 0;
  std::vector<std::int32_t> stops;
  std::vector<std::uint32_t> types;
};

class RecordingProvider : public CContextProviderServiceBase {
 public:
  RecordingProvider(ContextProviderOptions options, OB_STATUSCODE& status)
      : CContextProviderServiceBase(4, 0, {5}, 32557, status, 5, std::move(options)) {}
  ~RecordingProvider() override { Shutdown(); }

  [[nodiscard]] Calls calls() {
    const std::lock_guard lock(mutex_);
    return calls_;
  }
  // Polls until condition holds for the calls seen so far (it may call into the provider).
  [[nodiscard]] bool WaitFor(const std::function<bool(const Calls&)>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + ContextTestClient::kDeadline;
    while (!condition(calls()) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition(calls());
  }
  [[nodiscard]] bool WaitForStarts(int count) {
    return WaitFor([count](const Calls& calls) { return calls.starts == count; });
  }

 protected:
  void start() override {
    const std::lock_guard lock(mutex_);
    ++calls_.starts;
  }
  void stop(std::int32_t identity) override {
    const std::lock_guard lock(mutex_);
    calls_.stops.push_back(identity);
  }
  void OnNewMessageReceived(const IPC_MESSAGE& message) override {
    const std::lock_guard lock(mutex_);
    calls_.types.push_back(message.type);
  }

 private:
  std::mutex mutex_;
  Calls calls_;  // guarded by mutex_
};

std::vector<std::uint8_t> Header(std::uint32_t version, std::uint32_t type, std::uint32_t length) {
  std::vector<std::uint8_t> header(kIpcHeaderSize);
  StoreLe<std::uint32_t>(header.data(), version);
  StoreLe<std::uint32_t>(header.data() + 4, type);
  StoreLe<std::uint32_t>(header.data() + 8, length);
  StoreLe<std::uint32_t>(header.data() + 12, 1);
  return header;
}

class ContextProviderServiceBaseTest : public ::testing::Test {
 protected:
  [[nodiscard]] std::string SocketPath() const {
    return (dir_.path() / "ContextProvider.sock").string();
  }
  std::unique_ptr<RecordingProvider> MakeProvider(std::size_t max_backlog_bytes = 1 << 20) {
    ContextProviderOptions options;
    options.socket_path = SocketPath();
    options.max_backlog_bytes = max_backlog_bytes;
    OB_STATUSCODE status = kObFailure;
    auto provider = std::make_unique<RecordingProvider>(std::move(options), status);
    EXPECT_EQ(status, kObSuccess);
    EXPECT_EQ(provider->Listen(), kObSuccess);
    return provider;
  }

  orv::test::TempDir dir_;
  orv::test::LogCapture log_;
};

TEST(IpcMessageTest, EncodesHeaderAndPayloadAndRejectsMalformedPackets) {
  IPC_MESSAGE message;
  message.type = 2002;
  message.payload = {1, 2, 3};
  message.payload_length = 3;
  std::vector<std::uint8_t> packet;
  ASSERT_EQ(EncodeIpcMessage(message, packet), kObSuccess);
  std::vector<std::uint8_t> expected = Header(3, 2002, 3);
  expected.insert(expected.end(), {1, 2, 3});
  EXPECT_EQ(packet, expected);
  IPC_MESSAGE decoded;
  ASSERT_EQ(DecodeIpcMessage(packet, packet.size(), decoded), kObSuccess);
  EXPECT_EQ(decoded.type, 2002u);
  EXPECT_EQ(decoded.part_count, 1u);
  EXPECT_EQ(decoded.payload, message.payload);

  message.payload_length = 4;  // disagrees with the payload
  EXPECT_EQ(EncodeIpcMessage(message, packet), kObBadArgument);
  message.payload.assign(kIpcMaxPayloadSize + 1, 0);
  message.payload_length = static_cast<std::uint32_t>(message.payload.size());
  EXPECT_EQ(EncodeIpcMessage(message, packet), kObBadArgument);

  struct Case {
    std::vector<std::uint8_t> bytes;
    std::size_t length;  // as recv reported it: past the buffer when the packet was cut
    const char* logged;
  };
  const Case cases[] = {
      {{}, 0, "shorter than the 16-byte header"},
      {{3, 0, 0}, 3, "shorter than the 16-byte header"},
      {Header(3, 3000, 1), 16, "its header gives a payload of 1 bytes"},
      {expected, 18, "its header gives a payload of 3 bytes"},
      {Header(2, 3000, 0), 16, "version 2, expected 3"},
      {Header(3, 3000, 0), kIpcMaxPacketSize + 1, "larger than 65536 bytes"},
  };
  for (const Case& bad : cases) {
    orv::test::LogCapture log;
    std::vector<std::uint8_t> bytes = bad.bytes;
    bytes.resize(std::max(bytes.size(), std::min(bad.length, kIpcMaxPacketSize)));
    EXPECT_EQ(DecodeIpcMessage(bytes, bad.length, decoded), kObBadArgument) << bad.logged;
    EXPECT_TRUE(log.Contains(bad.logged)) << bad.logged;
  }

  for (const auto& [peer, agent, allowed] : {std::tuple{0u, 1000u, true},
                                             {1000u, 1000u, true},
                                             {0u, 0u, true},
                                             {1001u, 1000u, false},
                                             {1000u, 0u, false}}) {
    EXPECT_EQ(IsContextPeerAllowed(peer, agent), allowed) << peer << " " << agent;
  }
}

TEST_F(ContextProviderServiceBaseTest, ConnectionsStartHangUpsStopAndMessagesReachEveryPeer) {
  auto provider = MakeProvider();
  EXPECT_FALSE(provider->ArePeersConnected());
  ContextTestClient first(SocketPath());
  ASSERT_TRUE(provider->WaitForStarts(1));
  ContextTestClient second(SocketPath());
  ASSERT_TRUE(provider->WaitForStarts(2));
  EXPECT_TRUE(provider->ArePeersConnected());

  IPC_MESSAGE message;
  message.type = 3001;
  ASSERT_EQ(provider->SendMessageToAllPeers(message), kObSuccess);
  for (ContextTestClient* client : {&first, &second}) {
    EXPECT_EQ(client->Receive(), Header(3, 3001, 0));
  }
  // Bad packets, one cut by recv, are dropped; the connection stays and later
  // messages arrive.
  std::vector<std::uint8_t> oversized = Header(3, 3000, kIpcMaxPayloadSize + 1);
  oversized.resize(kIpcMaxPacketSize + 1);
  ASSERT_TRUE(first.SendRaw({3, 0, 0, 0}) && first.SendRaw(oversized));
  ASSERT_TRUE(first.SendMessage(3000, {9}));
  ASSERT_TRUE(provider->WaitFor([](const Calls& calls) { return calls.types.size() == 1; }));
  EXPECT_EQ(provider->calls().types[0], 3000u);
  EXPECT_TRUE(log_.Contains("Dropped a context message of 65537 bytes: larger than 65536 bytes"));
  EXPECT_TRUE(provider->calls().stops.empty());

  first.Close();
  ASSERT_TRUE(provider->WaitFor([](const Calls& calls) { return calls.stops.size() == 1; }));
  EXPECT_EQ(provider->calls().stops[0], 0);
  // Removed after stop returned.
  EXPECT_TRUE(
      provider->WaitFor([&](const Calls&) { return provider->DisconnectPeer(0) == kObNotFound; }));
  EXPECT_TRUE(provider->ArePeersConnected());

  EXPECT_EQ(provider->DisconnectPeer(1), kObSuccess);
  EXPECT_TRUE(second.WaitForEof());
  EXPECT_FALSE(provider->ArePeersConnected());
  EXPECT_EQ(provider->SendMessageToAllPeers(message),
            kObSuccess);  // nobody to send to

  ContextTestClient third(SocketPath());
  ASSERT_TRUE(provider->WaitForStarts(3));
  provider->Shutdown();
  EXPECT_TRUE(third.WaitForEof());
  EXPECT_EQ(provider->calls().stops.size(), 1u);  // shutting down calls no stop
}

TEST_F(ContextProviderServiceBaseTest,
       SocketFileIsPrivateReplacedOnlyWhenStaleAndRemovedAtShutdown) {
  {
    // A socket file left behind by a dead process.
    const UniqueFd stale(::socket(AF_UNIX, SOCK_SEQPACKET, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, SocketPath().c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  }
  auto provider = MakeProvider();
  struct stat info;
  ASSERT_EQ(::lstat(SocketPath().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(provider->Listen(), kObAlreadyRunning);

  OB_STATUSCODE status = kObFailure;
  ContextProviderOptions options;
  options.socket_path = SocketPath();
  RecordingProvider rival(options, status);
  EXPECT_EQ(rival.Listen(),
            kObAlreadyRunning);  // someone listens: the file is not taken
  // The rival's probe was a connection that ended at once.
  ASSERT_TRUE(provider->WaitFor([](const Calls& calls) { return calls.stops.size() == 1; }));
  ContextTestClient client(SocketPath());
  ASSERT_TRUE(provider->WaitForStarts(2));

  provider->Shutdown();
  EXPECT_FALSE(std::filesystem::exists(SocketPath()));
  std::ofstream(SocketPath()) << "not a socket";
  EXPECT_EQ(rival.Listen(), kObFailure);
  EXPECT_TRUE(std::filesystem::is_regular_file(SocketPath()));
  EXPECT_TRUE(log_.Contains("exists and is not a socket; left alone"));

  options.socket_path = "/tmp/" + std::string(120, 'x');
  RecordingProvider too_long(options, status);
  EXPECT_EQ(too_long.Listen(), kObBadArgument);
}

TEST_F(ContextProviderServiceBaseTest, RefusesAPeerOfAnotherUid) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to run a peer under another uid; "
                    "IsContextPeerAllowed is tested";
  }
  auto provider = MakeProvider();
  // Let the other uid reach the socket, so that only the credential check can
  // refuse it.
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::all);
  ASSERT_EQ(::chmod(SocketPath().c_str(), 0666), 0);
  const std::string path = SocketPath();
  EXPECT_EQ(orv::test::RunInChild([&] {
              if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
                return 3;
              }
              ContextTestClient intruder(path);
              return !intruder.connected() ? 4 : intruder.WaitForEof() ? 0 : 5;
            }),
            0);  // connected, then closed at once
  EXPECT_TRUE(log_.Contains("uid 65534: only root and uid 0 may connect"));
  EXPECT_EQ(provider->calls().starts, 0);
  EXPECT_FALSE(provider->ArePeersConnected());
}

TEST_F(ContextProviderServiceBaseTest, PeerThatStopsReadingIsDroppedWithoutBlockingOthers) {
  auto provider = MakeProvider(64 * 1024);
  ContextTestClient slow(SocketPath());
  ASSERT_TRUE(provider->WaitForStarts(1));
  ContextTestClient reader(SocketPath());
  ASSERT_TRUE(provider->WaitForStarts(2));

  IPC_MESSAGE message;
  message.type = 2002;
  message.payload.assign(1024, 0);
  message.payload_length = 1024;
  std::uint32_t sent = 0;
  std::uint32_t received = 0;
  auto drain = [&](std::chrono::milliseconds timeout) {
    while (const auto packet = reader.Receive(timeout)) {
      ASSERT_EQ(packet->size(), kIpcHeaderSize + 1024);
      EXPECT_EQ(LoadLe<std::uint32_t>(packet->data() + kIpcHeaderSize), received);
      ++received;
      timeout = std::chrono::milliseconds(0);
    }
  };
  // The slow peer's socket buffer and then its backlog fill; sending never
  // waits on it.
  for (; sent < 5000 && provider->calls().stops.empty(); ++sent) {
    StoreLe<std::uint32_t>(message.payload.data(), sent);
    (void)provider->SendMessageToAllPeers(message);
    drain(std::chrono::milliseconds(0));
  }
  ASSERT_TRUE(provider->WaitFor([](const Calls& calls) { return calls.stops == std::vector{0}; }));
  EXPECT_TRUE(log_.Contains("Dropping context consumer 0: it stopped reading"));
  EXPECT_TRUE(slow.WaitForEof());

  const auto deadline = std::chrono::steady_clock::now() + ContextTestClient::kDeadline;
  while (received < sent && std::chrono::steady_clock::now() < deadline) {
    drain(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(received, sent);  // the reader got everything, in order
  EXPECT_TRUE(provider->ArePeersConnected());
}

}  // namespace
}  // namespace OBRuntime
