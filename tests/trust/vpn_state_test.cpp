// The shared block, its lock and the writer's operations, against writers in child processes.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <memory>
#include <vector>

#include "trust/shared_memory.h"
#include "vpn_state_test_util.h"

namespace {

using orv::test::WriteInChild;
using VPNStateReaderWriterTest = orv::test::VpnStateTest;

// A child that takes the lock, says so through a pipe and waits to be killed with it taken.
struct LockHolder {
  explicit LockHolder(const OBPlatform::VpnStateObjectNames& names) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    pid = ::fork();
    if (pid == 0) {
      bool ok = false;
      CInterProcessSync lock(kVpnStateRoleWriter, SYNC_OBJECT_MUTEX, ok, names);
      const char taken = ok && lock.Lock() ? 'y' : 'n';
      static_cast<void>(::write(fds[1], &taken, 1));
      ::pause();
      ::_exit(0);
    }
    char taken = 'n';
    holding = ::read(fds[0], &taken, 1) == 1 && taken == 'y';
    ::close(fds[0]);
    ::close(fds[1]);
  }
  ~LockHolder() {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  pid_t pid = -1;
  bool holding = false;
};

TEST_F(VPNStateReaderWriterTest, SharedMemoryRefusesOversizedRecordsAndShortBuffers) {
  bool ok = true;
  CSharedMemory too_big(kVpnStateRoleReader, kMaxSharedMemorySize + 1, ok, names_);
  EXPECT_FALSE(ok);
  CSharedMemory memory(kVpnStateRoleReader, kVPNSharedStateSize, ok, names_);
  ASSERT_TRUE(ok);
  EXPECT_EQ(memory.mapping_size(), 159744u);
  std::vector<std::uint8_t> buffer(kVPNSharedStateSize + 10, 0xAB);
  std::uint32_t size = 100;
  EXPECT_FALSE(memory.ReadSharedMemory(size, buffer.data()));
  EXPECT_EQ(size, kVPNSharedStateSize);
  EXPECT_FALSE(memory.ReadSharedMemory(size, nullptr));
  size = kVPNSharedStateSize - 1;
  EXPECT_FALSE(memory.WriteToSharedMemory(buffer.data(), size));
  EXPECT_EQ(size, kVPNSharedStateSize);
  // A larger buffer is fine for reading: the fresh block reads as zeros, the rest is untouched.
  size = static_cast<std::uint32_t>(buffer.size());
  ASSERT_TRUE(memory.ReadSharedMemory(size, buffer.data()));
  EXPECT_EQ(size, kVPNSharedStateSize);
  EXPECT_EQ(buffer[kVPNSharedStateSize - 1], 0);
  EXPECT_EQ(buffer[kVPNSharedStateSize], 0xAB);
}

TEST_F(VPNStateReaderWriterTest, AWriterKilledHoldingTheLockDoesNotStopLaterReads) {
  bool ok = false;
  CSharedMemory memory(kVpnStateRoleReader, kVPNSharedStateSize, ok, names_);
  ASSERT_TRUE(ok);
  auto record = std::make_unique<VPNSharedState>();
  std::uint32_t size = kVPNSharedStateSize;
  {
    const LockHolder holder(names_);
    ASSERT_TRUE(holder.holding);
    // While it lives, reads and writes give up after the lock's time-out.
    EXPECT_FALSE(memory.ReadSharedMemory(size, record.get()));
    EXPECT_FALSE(memory.WriteToSharedMemory(record.get(), size));
  }
  ASSERT_EQ(WriteInChild(names_, [](auto& writer) { return writer.SetTndNetworkType(9); }), 0);
  EXPECT_TRUE(memory.ReadSharedMemory(size, record.get()));
  EXPECT_EQ(record->tnd_network_type, 9u);
}

TEST_F(VPNStateReaderWriterTest, WriterOperationsSetTheirWordAndZeroTheChangeWords) {
  struct Case {
    bool (*operation)(CInterModuleVPNStateReaderWriter&);
    std::uint32_t expected[5];  // the first five words afterwards, from 11, 12, 13, 14, 15
  } const cases[] = {
      {[](auto& w) { return w.SetNetworkState(21); }, {21, 0, 0, 14, 15}},
      {[](auto& w) { return w.SetNetworkInterfaceChange(22); }, {11, 22, 0, 14, 15}},
      {[](auto& w) { return w.SetUserSessionChange(23); }, {11, 0, 23, 14, 15}},
      {[](auto& w) { return w.SetTndNetworkType(24); }, {11, 0, 0, 24, 15}},
      {[](auto& w) { return orv::test::SetTunnelState(w, 25); }, {11, 0, 0, 14, 25}},
  };
  bool ok = false;
  bool writer_ok = false;
  CSharedMemory memory(kVpnStateRoleReader, kVPNSharedStateSize, ok, names_);
  CInterModuleVPNStateReaderWriter writer(writer_ok, kVpnStateRoleWriter, names_);
  ASSERT_TRUE(ok && writer_ok);
  auto record = std::make_unique<VPNSharedState>();
  for (const Case& c : cases) {
    const std::uint32_t before[5] = {11, 12, 13, 14, 15};
    std::memcpy(record.get(), before, sizeof(before));
    std::uint32_t size = kVPNSharedStateSize;
    ASSERT_TRUE(memory.WriteToSharedMemory(record.get(), size));
    ASSERT_TRUE(writer.GetCurrentState(*record));  // refreshes the writer's own copy
    ASSERT_TRUE(c.operation(writer));
    ASSERT_TRUE(memory.ReadSharedMemory(size, record.get()));
    EXPECT_EQ(std::memcmp(record.get(), c.expected, sizeof(c.expected)), 0) << c.expected[0];
  }
}

}  // namespace
