#include "platform/shared_memory_block.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <barrier>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/named_sync.h"
#include "runtime/unique_fd.h"
#include "shared_objects_test_util.h"

namespace OBPlatform {
namespace {

bool ShmExists(const std::string& name) {
  return OBRuntime::UniqueFd(::shm_open(name.c_str(), O_RDONLY, 0)).valid();
}

TEST(SharedMemoryBlockTest, CreatorZeroFillsLeftoversAndLastDetacherRemovesEverything) {
  const std::string name = orv::test::UniqueShmName("block");
  const std::string companion = orv::test::UniqueShmName("companion");
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
}

TEST(SharedMemoryBlockTest, UsersAttachingAtOnceShareOneBlockAndBadRequestsFail) {
  const std::string name = orv::test::UniqueShmName("block");
  constexpr int kUsers = 8;
  std::vector<SharedMemoryBlock> blocks(kUsers);
  std::barrier all_open(kUsers);
  std::barrier all_written(kUsers);
  std::vector<int> errors(kUsers, -1);
  std::vector<int> seen(kUsers, 0);
  {
    std::vector<std::jthread> users;
    for (int i = 0; i < kUsers; ++i) {
      users.emplace_back([&, i] {
        errors[i] = blocks[i].Open(name, 4096, {});
        if (errors[i] == 0) {
          errors[i] = blocks[i].Map();
        }
        all_open.arrive_and_wait();
        if (errors[i] == 0) {
          static_cast<char*>(blocks[i].data())[i] = 1;
        }
        all_written.arrive_and_wait();
        for (int j = 0; errors[i] == 0 && j < kUsers; ++j) {
          seen[i] += static_cast<char*>(blocks[i].data())[j];
        }
      });
    }
  }
  for (int i = 0; i < kUsers; ++i) {
    EXPECT_EQ(errors[i], 0);
    EXPECT_EQ(seen[i], kUsers) << "user " << i << " has a block of its own";
  }
  SharedMemoryBlock bad;
  EXPECT_EQ(bad.Open(orv::test::UniqueShmName("block"), 0, {}), EINVAL);
  EXPECT_NE(bad.Open("/no/slashes/inside", 4096, {}), 0);
  EXPECT_EQ(bad.Map(), EBADF);
  EXPECT_EQ(bad.data(), nullptr);
}

}  // namespace
}  // namespace OBPlatform
