#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

#include "runtime/unique_fd.h"
#include "support/log_capture.h"
#include "trust/shared_memory.h"
#include "trust/vpn_state_reader.h"
#include "trust/vpn_state_reader_writer.h"
#include "vpn_state_test_util.h"

namespace {

using orv::test::WaitUntil;

// A child that takes the lock, says so through a pipe and waits to be killed.
class LockHolder {
 public:
  explicit LockHolder(const OBPlatform::VpnStateObjectNames& names) {
    int fds[2];
    if (::pipe(fds) != 0) {
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      bool ok = false;
      CInterProcessSync lock(kVpnStateRoleWriter, SYNC_OBJECT_MUTEX, ok, names);
      const char taken = ok && lock.Lock() ? 'y' : 'n';
      (void)!::write(fds[1], &taken, 1);
      for (;;) {
        ::pause();
      }
    }
    ::close(fds[1]);
    char taken = 'n';
    holding_ = ::read(fds[0], &taken, 1) == 1 && taken == 'y';
    ::close(fds[0]);
  }
  ~LockHolder() { Kill(); }

  [[nodiscard]] bool holding() const { return holding_; }
  // Kills the holder with the lock still taken.
  void Kill() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
  bool holding_ = false;
};

class CSharedMemoryTest : public ::testing::Test {
 protected:
  orv::test::LogCapture log_;
  const OBPlatform::VpnStateObjectNames names_ = orv::test::UniqueVpnStateNames();
};

TEST_F(CSharedMemoryTest, RefusesOversizedRecordsAndBadBuffers) {
  bool ok = true;
  CSharedMemory too_big(kVpnStateRoleReader, kMaxSharedMemorySize + 1, ok, names_);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(log_.Has(LOG_ERROR, "CSharedMemory::CSharedMemory",
                       "Unable to allocate 262145 bytes of memory. Maximum limit allowed - "
                       "262144 bytes"));

  CSharedMemory memory(kVpnStateRoleReader, kVPNSharedStateSize, ok, names_);
  ASSERT_TRUE(ok);
  EXPECT_EQ(memory.mapping_size(), 159744u);
  std::vector<std::uint8_t> buffer(kVPNSharedStateSize + 10, 0xAB);
  std::uint32_t size = 100;
  EXPECT_FALSE(memory.ReadSharedMemory(size, buffer.data()));
  EXPECT_EQ(size, kVPNSharedStateSize);
  EXPECT_TRUE(log_.Has(LOG_ERROR, "CSharedMemory::ReadSharedMemory",
                       "Unable to read the shared memory, memory corrupted or not initialized"));
  size = kVPNSharedStateSize;
  EXPECT_FALSE(memory.ReadSharedMemory(size, nullptr));
  size = kVPNSharedStateSize - 1;
  EXPECT_FALSE(memory.WriteToSharedMemory(buffer.data(), size));
  EXPECT_EQ(size, kVPNSharedStateSize);
  EXPECT_TRUE(
      log_.Has(LOG_ERROR, "CSharedMemory::write",
               "Unable to write in the shared memory, memory corrupted or not initialized"));

  // A larger buffer is fine for reading: the fresh block reads as zeros, the rest is untouched.
  size = static_cast<std::uint32_t>(buffer.size());
  ASSERT_TRUE(memory.ReadSharedMemory(size, buffer.data()));
  EXPECT_EQ(size, kVPNSharedStateSize);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[kVPNSharedStateSize - 1], 0);
  EXPECT_EQ(buffer[kVPNSharedStateSize], 0xAB);
}

TEST_F(CSharedMemoryTest, AWriterKilledHoldingTheLockDoesNotStopLaterReads) {
  bool ok = false;
  CSharedMemory memory(kVpnStateRoleReader, kVPNSharedStateSize, ok, names_);
  ASSERT_TRUE(ok);
  auto record = std::make_unique<VPNSharedState>();
  std::uint32_t size = kVPNSharedStateSize;
  {
    LockHolder holder(names_);
    ASSERT_TRUE(holder.holding());
    // While it lives, reads and writes give up after the lock's time-out.
    EXPECT_FALSE(memory.ReadSharedMemory(size, record.get()));
    EXPECT_TRUE(log_.Has(LOG_ERROR, "CSharedMemory::ReadSharedMemory",
                         "Unable to read the shared memory as the lock was not available"));
    EXPECT_FALSE(memory.WriteToSharedMemory(record.get(), size));
    EXPECT_TRUE(log_.Has(LOG_ERROR, "CSharedMemory::write",
                         "Unable to write to shared memory as the lock was not available"));
    holder.Kill();
  }
  EXPECT_TRUE(memory.ReadSharedMemory(size, record.get()));
  EXPECT_TRUE(log_.Has(LOG_WARNING, "CInterProcessSync::Lock",
                       "Recovered the lock from a process that ended while holding it"));
  record->tnd_network_type = 9;
  EXPECT_TRUE(memory.WriteToSharedMemory(record.get(), size));
  EXPECT_TRUE(memory.ReadSharedMemory(size, record.get()));
  EXPECT_EQ(record->tnd_network_type, 9u);
}

TEST_F(CSharedMemoryTest, ABlockOfAForeignLayoutIsRefused) {
  // Something else holds the lock's name as an object of another size.
  const OBRuntime::UniqueFd fd(::shm_open(names_.lock.c_str(), O_RDWR | O_CREAT, 0600));
  ASSERT_TRUE(fd.valid());
  ASSERT_EQ(::ftruncate(fd.get(), 1), 0);
  bool ok = true;
  {
    CSharedMemory memory(kVpnStateRoleReader, kVPNSharedStateSize, ok, names_);
    EXPECT_FALSE(ok);
  }
  EXPECT_TRUE(log_.Has(LOG_ERROR, "CInterProcessSync::initLock",
                       "Unable to create the lock - " + std::to_string(EPROTO)));
  EXPECT_TRUE(
      log_.Has(LOG_ERROR, "CSharedMemory::CSharedMemory", "Unable to initialize shared memory"));
  ::shm_unlink(names_.lock.c_str());
}

class VPNStateReaderWriterTest : public CSharedMemoryTest {};

TEST_F(VPNStateReaderWriterTest, WriterInitialisesOnlyABlankBlock) {
  bool ok = false;
  CInterModuleVPNStateReaderWriter reader(ok, kVpnStateRoleReader, names_);
  ASSERT_TRUE(ok);
  EXPECT_FALSE(reader.is_writer());
  auto state = std::make_unique<VPNSharedState>();
  ASSERT_TRUE(reader.GetCurrentState(*state));
  const auto zeros = std::make_unique<VPNSharedState>();
  EXPECT_EQ(std::memcmp(state.get(), zeros.get(), sizeof(VPNSharedState)), 0);

  ASSERT_EQ(orv::test::WriteInChild(names_, [](auto& writer) { return writer.is_writer(); }), 0);
  ASSERT_TRUE(reader.GetCurrentState(*state));
  const auto initial = MakeInitialVPNSharedState();
  EXPECT_EQ(std::memcmp(state.get(), initial.get(), sizeof(VPNSharedState)), 0);
  EXPECT_EQ(state->network_state, 1u);
  EXPECT_EQ(state->tnd_network_type, 2u);
  EXPECT_EQ(state->vpn_config.tunnel_state, 4u);
  EXPECT_EQ(state->vpn_config.ipv4.header_word, 5u);
  EXPECT_EQ(state->vpn_config.ipv6.header_word, 5u);

  // A later writer leaves what the first one wrote.
  ASSERT_EQ(
      orv::test::WriteInChild(names_, [](auto& writer) { return writer.SetTndNetworkType(0); }), 0);
  ASSERT_EQ(orv::test::WriteInChild(names_, [](auto&) { return true; }), 0);
  ASSERT_TRUE(reader.GetCurrentState(*state));
  EXPECT_EQ(state->tnd_network_type, 0u);
  EXPECT_EQ(state->vpn_config.tunnel_state, 4u);
}

TEST_F(VPNStateReaderWriterTest, WriterOperationsSetTheirWordAndZeroTheChangeWords) {
  struct Case {
    const char* name;
    bool (*operation)(CInterModuleVPNStateReaderWriter&);
    std::uint32_t expected[5];  // the first five words afterwards
  } const cases[] = {
      {"network state", [](auto& w) { return w.SetNetworkState(21); }, {21, 0, 0, 14, 15}},
      {"interface change",
       [](auto& w) { return w.SetNetworkInterfaceChange(22); },
       {11, 22, 0, 14, 15}},
      {"session change", [](auto& w) { return w.SetUserSessionChange(23); }, {11, 0, 23, 14, 15}},
      {"tnd type", [](auto& w) { return w.SetTndNetworkType(24); }, {11, 0, 0, 24, 15}},
      {"configuration",
       [](auto& w) { return orv::test::SetTunnelState(w, 25); },
       {11, 0, 0, 14, 25}},
  };
  bool ok = false;
  CSharedMemory memory(kVpnStateRoleReader, kVPNSharedStateSize, ok, names_);
  ASSERT_TRUE(ok);
  CInterModuleVPNStateReaderWriter writer(ok, kVpnStateRoleWriter, names_);
  ASSERT_TRUE(ok);
  auto record = std::make_unique<VPNSharedState>();
  for (const Case& c : cases) {
    *record = VPNSharedState{};
    record->network_state = 11;
    record->network_interface_change = 12;
    record->user_session_change = 13;
    record->tnd_network_type = 14;
    record->vpn_config.tunnel_state = 15;
    std::uint32_t size = kVPNSharedStateSize;
    ASSERT_TRUE(memory.WriteToSharedMemory(record.get(), size));
    ASSERT_TRUE(writer.GetCurrentState(*record));  // refreshes the writer's own copy
    ASSERT_TRUE(c.operation(writer)) << c.name;
    ASSERT_TRUE(memory.ReadSharedMemory(size, record.get()));
    std::uint32_t words[5];
    std::memcpy(words, record.get(), sizeof(words));
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(words[i], c.expected[i]) << c.name << " word " << i;
    }
  }
}

// Counts notifications and keeps the record read at each.
class CountingObserver : public IVpnStateChangeObserver {
 public:
  explicit CountingObserver(CInterModuleVPNStateReader& reader) : reader_(reader) {}
  void OnVPNModuleStateChanged() override {
    auto state = std::make_unique<VPNSharedState>();
    reader_.CopyCurrentState(*state);
    const std::lock_guard lock(mutex_);
    ++count_;
    last_tnd_type_ = state->tnd_network_type;
  }
  int count() {
    const std::lock_guard lock(mutex_);
    return count_;
  }
  std::uint32_t last_tnd_type() {
    const std::lock_guard lock(mutex_);
    return last_tnd_type_;
  }

 private:
  CInterModuleVPNStateReader& reader_;
  std::mutex mutex_;
  int count_ = 0;
  std::uint32_t last_tnd_type_ = 0;
};

class VPNStateReaderTest : public CSharedMemoryTest {
 protected:
  void SetUp() override {
    bool ok = false;
    reader_ = std::make_unique<CInterModuleVPNStateReader>(ok, names_);
    ASSERT_TRUE(ok);
    observer_ = std::make_unique<CountingObserver>(*reader_);
    ASSERT_EQ(reader_->RegisterForVpnStateChangeNotification(observer_.get()), kObSuccess);
  }
  void TearDown() override {
    if (reader_ != nullptr) {
      reader_->Stop();
      EXPECT_EQ(reader_->DeRegisterForVpnStateChangeNotification(observer_.get()), kObSuccess);
    }
  }

  std::unique_ptr<CInterModuleVPNStateReader> reader_;
  std::unique_ptr<CountingObserver> observer_;
};

TEST_F(VPNStateReaderTest, NotifiesChangesAnnouncedByAnotherProcess) {
  ASSERT_EQ(reader_->Start(), kObSuccess);
  EXPECT_EQ(reader_->Start(), kObAlreadyRunning);
  auto state = std::make_unique<VPNSharedState>();
  reader_->CopyCurrentState(*state);
  EXPECT_EQ(state->tnd_network_type, 0u);  // nobody wrote the block yet

  ASSERT_EQ(
      orv::test::WriteInChild(names_, [](auto& writer) { return writer.SetTndNetworkType(7); }), 0);
  ASSERT_TRUE(WaitUntil([&] { return observer_->last_tnd_type() == 7; }));
  reader_->CopyCurrentState(*state);
  EXPECT_EQ(state->vpn_config.tunnel_state, 4u);  // the writer's initial record came with it
}

TEST_F(VPNStateReaderTest, PicksUpAChangeThatWasNeverAnnounced) {
  ASSERT_EQ(reader_->Start(), kObSuccess);
  ASSERT_EQ(orv::test::WriteInChild(
                names_, [](auto& writer) { return writer.SetTndNetworkType(3); }, false),
            0);
  // No pulse: the change is found by the re-read at the next 500 ms time-out.
  ASSERT_TRUE(WaitUntil([&] { return observer_->last_tnd_type() == 3; }));
  EXPECT_FALSE(log_.Contains("unable to read the change"));
}

TEST_F(VPNStateReaderTest, AWriterKilledHoldingTheLockDoesNotStopTheReader) {
  ASSERT_EQ(reader_->Start(), kObSuccess);
  {
    LockHolder holder(names_);
    ASSERT_TRUE(holder.holding());
    holder.Kill();
  }
  // The reader's own re-read at its next time-out finds the lock abandoned and recovers it.
  ASSERT_TRUE(WaitUntil([&] {
    return log_.Contains("Recovered the lock from a process that ended while holding it");
  }));
  ASSERT_EQ(
      orv::test::WriteInChild(names_, [](auto& writer) { return writer.SetTndNetworkType(6); }), 0);
  ASSERT_TRUE(WaitUntil([&] { return observer_->last_tnd_type() == 6; }));
}

TEST_F(VPNStateReaderTest, AnEventLeftSetNeitherSpinsNorHidesChanges) {
  ASSERT_EQ(reader_->Start(), kObSuccess);
  bool ok = false;
  CInterProcessSync event(kVpnStateRoleWriter, SYNC_OBJECT_EVENT, ok, names_);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(event.Signal());  // set and never reset, as by a writer that died in its pulse
  timespec before{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
  const auto window_end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (std::chrono::steady_clock::now() < window_end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  timespec after{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
  const auto cpu = std::chrono::seconds(after.tv_sec - before.tv_sec) +
                   std::chrono::nanoseconds(after.tv_nsec - before.tv_nsec);
  EXPECT_LT(cpu, std::chrono::milliseconds(100));  // a spinning reader takes the whole second
  EXPECT_EQ(observer_->count(), 0);                // nothing changed

  ASSERT_EQ(orv::test::WriteInChild(
                names_, [](auto& writer) { return writer.SetTndNetworkType(5); }, false),
            0);
  ASSERT_TRUE(WaitUntil([&] { return observer_->last_tnd_type() == 5; }));
}

TEST_F(VPNStateReaderTest, StopReturnsWithinAboutHalfASecond) {
  ASSERT_EQ(reader_->Start(), kObSuccess);
  // Let the thread get into its wait on the event.
  ASSERT_EQ(
      orv::test::WriteInChild(names_, [](auto& writer) { return writer.SetTndNetworkType(1); }), 0);
  ASSERT_TRUE(WaitUntil([&] { return observer_->count() >= 1; }));
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(reader_->Stop(), kObSuccess);
  // The longest wait of the thread is 500 ms; the bound leaves room for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1500));
}

TEST_F(VPNStateReaderTest, RejectsNullObserversAndFailsWithoutItsEvent) {
  EXPECT_EQ(reader_->RegisterForVpnStateChangeNotification(nullptr), kObBadArgument);
  EXPECT_TRUE(log_.Has(LOG_ERROR,
                       "CInterModuleVPNStateReader::RegisterForVpnStateChangeNotification",
                       "Bad Parameter Passed, Slot to be signalled NULL"));
  // The event's name is taken by an object of another layout.
  const OBRuntime::UniqueFd fd(::shm_open(names_.event.c_str(), O_RDWR | O_CREAT, 0600));
  ASSERT_TRUE(fd.valid());
  ASSERT_EQ(::ftruncate(fd.get(), 1), 0);
  EXPECT_EQ(reader_->Start(), kObFailure);
  EXPECT_TRUE(log_.Has(LOG_ERROR, "CInterModuleVPNStateReader::Start",
                       "Unable to initialize the inter module sync event"));
  EXPECT_TRUE(log_.Has(LOG_ERROR, "CInterProcessSync::initEvent",
                       "Unable to fetch the named event - " + std::to_string(EPROTO)));
}

}  // namespace
