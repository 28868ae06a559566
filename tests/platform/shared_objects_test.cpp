#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <iterator>
#include <thread>

#include "platform/named_sync.h"
#include "platform/shared_memory_block.h"
#include "runtime/unique_fd.h"
#include "support/child_process.h"
#include "support/wait.h"

namespace OBPlatform {
namespace {

using namespace std::chrono_literals;

// A name no other test (in this or another process) uses: "/<stem>.<pid>.<n>".
std::string UniqueShmName(const std::string& stem) {
  static std::atomic<int> counter{0};
  return "/" + stem + "." + std::to_string(::getpid()) + "." + std::to_string(counter++);
}

bool ShmExists(const std::string& name) {
  return OBRuntime::UniqueFd(::shm_open(name.c_str(), O_RDONLY, 0)).valid();
}

class NamedSyncTest : public ::testing::Test {
 protected:
  ~NamedSyncTest() override {
    ::shm_unlink(mutex_name_.c_str());
    ::shm_unlink(event_name_.c_str());
  }

  const std::string mutex_name_ = UniqueShmName("mutex");
  const std::string event_name_ = UniqueShmName("event");
};

TEST_F(NamedSyncTest, MutexExcludesChecksOwnershipAndIsRecoveredFromADeadOwner) {
  NamedMutex mine;
  NamedMutex theirs;
  ASSERT_EQ(mine.Open(mutex_name_), 0);
  ASSERT_EQ(theirs.Open(mutex_name_), 0);
  int error = 0;
  ASSERT_EQ(mine.Lock(1000ms, error), NamedLockResult::kOwned);
  EXPECT_EQ(mine.Lock(10ms, error), NamedLockResult::kFailed);
  EXPECT_EQ(error, EDEADLK);
  std::thread([&] {
    int other_error = 0;
    EXPECT_EQ(theirs.Lock(20ms, other_error), NamedLockResult::kTimedOut);
#if !defined(__SANITIZE_THREAD__)       // which reports the deliberate misuse
    EXPECT_EQ(theirs.Unlock(), EPERM);  // not the owner
#endif
  }).join();
  EXPECT_EQ(mine.Unlock(), 0);
  NamedMutex closed;
  EXPECT_EQ(closed.Lock(10ms, error), NamedLockResult::kFailed);
  EXPECT_EQ(error, EBADF);

  // A child takes the lock and dies without releasing it, its mapping still in place.
  ASSERT_EQ(orv::test::RunInChild([&] {
              NamedMutex mutex;
              int child_error = 0;
              if (mutex.Open(mutex_name_) == 0 &&
                  mutex.Lock(1000ms, child_error) == NamedLockResult::kOwned) {
                ::_exit(0);  // no destructor: the mapping stays until the process is gone
              }
              return 1;
            }),
            0);
  EXPECT_EQ(theirs.Lock(1000ms, error), NamedLockResult::kRecovered);
  EXPECT_EQ(theirs.Unlock(), 0);
  EXPECT_EQ(theirs.Lock(1000ms, error), NamedLockResult::kOwned);
  EXPECT_EQ(theirs.Unlock(), 0);
}

TEST_F(NamedSyncTest, EventIsManualResetAndAPulseWakesAWaiterInAnotherProcess) {
  NamedEvent event;
  ASSERT_EQ(event.Open(event_name_), 0);
  int error = 0;
  EXPECT_EQ(event.Wait(20ms, error), NamedWaitResult::kTimedOut);
  ASSERT_EQ(event.Set(), 0);
  EXPECT_EQ(event.Wait(0ms, error), NamedWaitResult::kSignalled);
  EXPECT_EQ(event.Wait(0ms, error), NamedWaitResult::kSignalled);  // stays set
  ASSERT_EQ(event.Reset(), 0);
  EXPECT_EQ(event.Wait(0ms, error), NamedWaitResult::kTimedOut);
  NamedEvent closed;
  EXPECT_EQ(closed.Wait(0ms, error), NamedWaitResult::kFailed);
  EXPECT_EQ(closed.Set(), EBADF);

  const pid_t pid = ::fork();
  if (pid == 0) {
    NamedEvent child_event;  // a second opener sees the same, already initialised event
    ::_exit(child_event.Open(event_name_) == 0 &&
                    child_event.Wait(10s, error) == NamedWaitResult::kSignalled
                ? 0
                : 1);
  }
  // The waiter may not be waiting yet: pulse until it has seen one. Each pulse leaves the event
  // reset, so only the generation counter can have woken it.
  int status = 0;
  EXPECT_TRUE(orv::test::WaitUntil([&] {
    EXPECT_EQ(event.Set(), 0);
    std::this_thread::sleep_for(1ms);
    EXPECT_EQ(event.Reset(), 0);
    return ::waitpid(pid, &status, WNOHANG) != 0;
  }));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST_F(NamedSyncTest, RefusesForeignObjectsWithoutHanging) {
  {
    // Something else's object under our name, of another size.
    const OBRuntime::UniqueFd fd(::shm_open(mutex_name_.c_str(), O_RDWR | O_CREAT, 0600));
    ASSERT_TRUE(fd.valid());
    ASSERT_EQ(::ftruncate(fd.get(), 3), 0);
  }
  NamedMutex mutex;
  EXPECT_EQ(mutex.Open(mutex_name_), EPROTO);
  EXPECT_FALSE(mutex.is_open());

  // A holder of a long-lived file lock on the name makes the open fail, not hang.
  SharedMemoryBlock foreign;
  ASSERT_EQ(foreign.Open(event_name_, 4096, {}), 0);
  NamedEvent event;
  EXPECT_EQ(event.Open(event_name_), ETIMEDOUT);
}

TEST_F(NamedSyncTest, ReplacesObjectsAnotherAccountPlantedAndLocksThatAccountOut) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to act as another account";
  }
  const std::string block_name = UniqueShmName("block");
  const std::string names[] = {block_name, mutex_name_, event_name_};
  // Runs step over every name as uid 65534 (nobody) in a child; 0 when it held for all.
  const auto as_nobody = [&](bool (*step)(const std::string&)) {
    return orv::test::RunInChild([&] {
      if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
        return 100;
      }
      ::umask(0);
      return std::all_of(std::begin(names), std::end(names), step) ? 0 : 1;
    });
  };
  ASSERT_EQ(as_nobody([](const std::string& name) {
              const OBRuntime::UniqueFd fd(::shm_open(name.c_str(), O_RDWR | O_CREAT, 0666));
              return fd.valid() && ::ftruncate(fd.get(), 3) == 0;
            }),
            0);
  SharedMemoryBlock block;
  ASSERT_EQ(block.Open(block_name, 4096, {mutex_name_, event_name_}), 0);
  ASSERT_EQ(block.Map(), 0);
  NamedMutex mutex;
  ASSERT_EQ(mutex.Open(mutex_name_), 0);
  NamedEvent event;
  ASSERT_EQ(event.Open(event_name_), 0);
  for (const std::string& name : names) {
    struct stat status {};
    ASSERT_EQ(::stat(("/dev/shm" + name).c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 0U) << name;
    EXPECT_EQ(status.st_mode & 07777, 0600U) << name;
  }
  // The planter can neither open, truncate nor remove what is there now.
  EXPECT_EQ(as_nobody([](const std::string& name) {
              return ::shm_open(name.c_str(), O_RDWR, 0) < 0 && errno == EACCES &&
                     ::truncate(("/dev/shm" + name).c_str(), 0) != 0 &&
                     ::shm_unlink(name.c_str()) != 0;
            }),
            0);
  static_cast<char*>(block.data())[4095] = 1;  // mapped in full: no SIGBUS
  ::shm_unlink(block_name.c_str());
}

TEST(SharedMemoryBlockTest, CreatorZeroFillsLeftoversAndLastDetacherRemovesEverything) {
  const std::string name = UniqueShmName("block");
  const std::string companion = UniqueShmName("companion");
  {
    // What a crashed user leaves: a small object with data and nobody attached.
    const OBRuntime::UniqueFd fd(::shm_open(name.c_str(), O_RDWR | O_CREAT, 0600));
    ASSERT_EQ(::write(fd.get(), "leftover", 8), 8);
  }
  SharedMemoryBlock first;
  ASSERT_EQ(first.Open(name, 4096, {companion}), 0);
  ASSERT_EQ(first.Map(), 0);
  EXPECT_TRUE(first.created());
  EXPECT_EQ(std::memcmp(first.data(), "\0\0\0\0\0\0\0\0", 8), 0);
  NamedMutex lock;
  ASSERT_EQ(lock.Open(companion), 0);
  struct stat status {};
  ASSERT_EQ(::stat(("/dev/shm" + name).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  // A second user asking for more grows the block; both see the same bytes.
  SharedMemoryBlock second;
  ASSERT_EQ(second.Open(name, 3 * 4096, {companion}), 0);
  ASSERT_EQ(second.Map(), 0);
  EXPECT_FALSE(second.created());
  static_cast<char*>(second.data())[3 * 4096 - 1] = 7;
  static_cast<char*>(first.data())[100] = 42;
  EXPECT_EQ(static_cast<char*>(second.data())[100], 42);

  first.Close();
  EXPECT_TRUE(ShmExists(name) && ShmExists(companion));
  second.Close();
  EXPECT_FALSE(ShmExists(name) || ShmExists(companion));
  SharedMemoryBlock bad;
  EXPECT_EQ(bad.Open(name, 0, {}), EINVAL);
  EXPECT_NE(bad.Open("/no/slashes/inside", 4096, {}), 0);
  EXPECT_EQ(bad.Map(), EBADF);
  EXPECT_EQ(bad.data(), nullptr);
}

}  // namespace
}  // namespace OBPlatform
