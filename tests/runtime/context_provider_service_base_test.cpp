#include "runtime/context_provider_service_base.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/byte_order.h"
#include "runtime/context_provider_test_client.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace OBRuntime {
namespace {

using orv::test::ContextTestClient;

// Records the base's callbacks and lets a test wait for them.
class RecordingProvider : public CContextProviderServiceBase {
 public:
  RecordingProvider(ContextProviderOptions options, OB_STATUSCODE& status)
      : CContextProviderServiceBase(4, 0, {5}, 32557, status, 5, std::move(options)) {}
  ~RecordingProvider() override { Shutdown(); }

  // Waits until condition (which may call the accessors below) holds.
  [[nodiscard]] bool WaitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + ContextTestClient::kDeadline;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, std::chrono::milliseconds(10));
    }
    return true;
  }
  [[nodiscard]] int starts() {
    const std::lock_guard lock(mutex_);
    return starts_;
  }
  [[nodiscard]] std::vector<std::int32_t> stops() {
    const std::lock_guard lock(mutex_);
    return stops_;
  }
  [[nodiscard]] std::vector<std::uint32_t> types() {
    const std::lock_guard lock(mutex_);
    return types_;
  }

 protected:
  void start() override {
    Record([this] { ++starts_; });
  }
  void stop(std::int32_t identity) override {
    Record([this, identity] { stops_.push_back(identity); });
  }
  void OnNewMessageReceived(const IPC_MESSAGE& message) override {
    Record([this, &message] { types_.push_back(message.type); });
  }

 private:
  void Record(const std::function<void()>& change) {
    const std::lock_guard lock(mutex_);
    change();
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  int starts_ = 0;                    // guarded by mutex_
  std::vector<std::int32_t> stops_;   // guarded by mutex_
  std::vector<std::uint32_t> types_;  // guarded by mutex_
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
  // Makes a listening provider; null (with a test failure) when that fails.
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

  orv::test::LogCapture log;
  const std::vector<std::uint8_t> header_only = Header(3, 3000, 0);
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::size_t length;
    const char* logged;
  };
  const std::vector<Case> cases = {
      {"empty", {}, 0, "shorter than the 16-byte header"},
      {"short", {3, 0, 0}, 3, "shorter than the 16-byte header"},
      {"length too big", Header(3, 3000, 1), 16, "its header gives a payload of 1 bytes"},
      {"length too small", expected, 18, "its header gives a payload of 3 bytes"},
      {"version", Header(2, 3000, 0), 16, "version 2, expected 3"},
      {"truncated by recv", header_only, kIpcMaxPacketSize + 1, "larger than 65536 bytes"},
  };
  for (const Case& bad : cases) {
    std::vector<std::uint8_t> bytes = bad.bytes;
    bytes.resize(std::max(bytes.size(), std::min(bad.length, kIpcMaxPacketSize)));
    EXPECT_EQ(DecodeIpcMessage(bytes, bad.length, decoded), kObBadArgument) << bad.name;
    EXPECT_TRUE(log.Contains(bad.logged)) << bad.name;
  }
}

TEST(IpcMessageTest, AllowsRootAndOwnUidOnly) {
  EXPECT_TRUE(IsContextPeerAllowed(0, 1000));
  EXPECT_TRUE(IsContextPeerAllowed(1000, 1000));
  EXPECT_TRUE(IsContextPeerAllowed(0, 0));
  EXPECT_FALSE(IsContextPeerAllowed(1001, 1000));
  EXPECT_FALSE(IsContextPeerAllowed(1000, 0));
  EXPECT_FALSE(IsContextPeerAllowed(65534, 0));
}

TEST_F(ContextProviderServiceBaseTest, ConnectionsStartHangUpsStopAndMessagesReachEveryPeer) {
  auto provider = MakeProvider();
  EXPECT_FALSE(provider->ArePeersConnected());
  ContextTestClient first(SocketPath());
  ASSERT_TRUE(first.connected());
  ASSERT_TRUE(provider->WaitFor([&] { return provider->starts() == 1; }));
  ContextTestClient second(SocketPath());
  ASSERT_TRUE(second.connected());
  ASSERT_TRUE(provider->WaitFor([&] { return provider->starts() == 2; }));
  EXPECT_TRUE(provider->ArePeersConnected());

  IPC_MESSAGE message;
  message.type = 3001;
  ASSERT_EQ(provider->SendMessageToAllPeers(message), kObSuccess);
  for (ContextTestClient* client : {&first, &second}) {
    const auto received = client->Receive();
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, Header(3, 3001, 0));
  }

  ASSERT_TRUE(first.SendMessage(3000, {9}));
  ASSERT_TRUE(provider->WaitFor([&] { return provider->types().size() == 1; }));
  EXPECT_EQ(provider->types()[0], 3000u);

  first.Close();
  ASSERT_TRUE(provider->WaitFor([&] { return provider->stops().size() == 1; }));
  EXPECT_EQ(provider->stops()[0], 0);
  // Removed after stop returned.
  EXPECT_TRUE(provider->WaitFor([&] { return provider->DisconnectPeer(0) == kObNotFound; }));
  EXPECT_TRUE(provider->ArePeersConnected());

  EXPECT_EQ(provider->DisconnectPeer(1), kObSuccess);
  EXPECT_TRUE(second.WaitForEof());
  EXPECT_FALSE(provider->ArePeersConnected());
  EXPECT_EQ(provider->SendMessageToAllPeers(message), kObSuccess);  // nobody to send to

  ContextTestClient third(SocketPath());
  ASSERT_TRUE(provider->WaitFor([&] { return provider->starts() == 3; }));
  provider->Shutdown();
  EXPECT_TRUE(third.WaitForEof());
  EXPECT_EQ(provider->stops().size(), 1u);  // shutting down calls no stop
}

TEST_F(ContextProviderServiceBaseTest, BadPacketsAreDroppedWithALogLineAndTheConnectionStays) {
  auto provider = MakeProvider();
  ContextTestClient client(SocketPath());
  ASSERT_TRUE(provider->WaitFor([&] { return provider->starts() == 1; }));

  std::vector<std::uint8_t> oversized = Header(3, 3000, kIpcMaxPayloadSize + 1);
  oversized.resize(kIpcMaxPacketSize + 1);
  const std::vector<std::vector<std::uint8_t>> bad = {
      {}, {3, 0, 0, 0}, Header(3, 3000, 4), Header(7, 3000, 0), oversized};
  for (const auto& packet : bad) {
    ASSERT_TRUE(client.SendRaw(packet));
  }
  ASSERT_TRUE(client.SendMessage(3000));
  ASSERT_TRUE(provider->WaitFor([&] { return provider->types().size() == 1; }));
  EXPECT_TRUE(log_.Contains("Dropped a context message of 0 bytes: shorter than the 16-byte"));
  EXPECT_TRUE(log_.Contains("Dropped a context message of 4 bytes: shorter than the 16-byte"));
  EXPECT_TRUE(log_.Contains("Dropped a context message of 16 bytes: its header gives a payload"));
  EXPECT_TRUE(log_.Contains("version 7, expected 3"));
  EXPECT_TRUE(log_.Contains("Dropped a context message of 65537 bytes: larger than 65536 bytes"));
  EXPECT_EQ(provider->stops().size(), 0u);
  EXPECT_TRUE(provider->ArePeersConnected());
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
  EXPECT_EQ(rival.Listen(), kObAlreadyRunning);  // someone listens: the file is not taken
  // The rival's probe was a connection that ended at once.
  ASSERT_TRUE(provider->WaitFor([&] { return provider->stops().size() == 1; }));
  ContextTestClient client(SocketPath());
  ASSERT_TRUE(provider->WaitFor([&] { return provider->starts() == 2; }));

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
    GTEST_SKIP() << "needs root to run a peer under another uid; IsContextPeerAllowed is tested";
  }
  auto provider = MakeProvider();
  // Let the other uid reach the socket, so that only the credential check can refuse it.
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::all);
  ASSERT_EQ(::chmod(SocketPath().c_str(), 0666), 0);
  const std::string path = SocketPath();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
      ::_exit(3);
    }
    ContextTestClient intruder(path);
    if (!intruder.connected()) {
      ::_exit(4);
    }
    ::_exit(intruder.WaitForEof() ? 0 : 5);
  }
  int child_status = 0;
  ASSERT_EQ(::waitpid(child, &child_status, 0), child);
  ASSERT_TRUE(WIFEXITED(child_status));
  EXPECT_EQ(WEXITSTATUS(child_status), 0);  // connected, then closed at once
  EXPECT_TRUE(log_.Contains("uid 65534: only root and uid 0 may connect"));
  EXPECT_EQ(provider->starts(), 0);
  EXPECT_FALSE(provider->ArePeersConnected());
}

TEST_F(ContextProviderServiceBaseTest, PeerThatStopsReadingIsDroppedWithoutBlockingOthers) {
  constexpr std::size_t kBound = 64 * 1024;
  auto provider = MakeProvider(kBound);
  ContextTestClient slow(SocketPath());
  ASSERT_TRUE(provider->WaitFor([&] { return provider->starts() == 1; }));
  ContextTestClient reader(SocketPath());
  ASSERT_TRUE(provider->WaitFor([&] { return provider->starts() == 2; }));

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
  // The slow peer's socket buffer and then its backlog fill; sending never waits on it.
  for (; sent < 5000 && provider->stops().empty(); ++sent) {
    StoreLe<std::uint32_t>(message.payload.data(), sent);
    (void)provider->SendMessageToAllPeers(message);
    drain(std::chrono::milliseconds(0));
  }
  ASSERT_TRUE(provider->WaitFor([&] { return provider->stops().size() == 1; }));
  EXPECT_EQ(provider->stops()[0], 0);
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
