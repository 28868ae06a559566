// The /proc owner lookup against this test process's own sockets.
#include "driver/socket_owner.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "runtime/text.h"
#include "runtime/unique_fd.h"

namespace orv::driver {
namespace {

std::uint32_t InodeOf(int fd) {
  struct stat status {};
  EXPECT_EQ(::fstat(fd, &status), 0);
  return static_cast<std::uint32_t>(status.st_ino);
}

TEST(ProcSocketOwnerSource, FindsTheHoldingProcessAndNothingElse) {
  const OBRuntime::UniqueFd first(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const OBRuntime::UniqueFd second(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const std::uint32_t nobodys = 0xfffffff0U;  // no socket has it
  ProcSocketOwnerSource source;
  std::unordered_map<std::uint32_t, ProcessDetails> owners;
  source.FindOwners({InodeOf(first.get()), InodeOf(second.get()), nobodys}, owners);

  ASSERT_EQ(owners.size(), 2u);
  EXPECT_FALSE(owners.contains(nobodys));
  const ProcessDetails& owner = owners.at(InodeOf(first.get()));
  EXPECT_EQ(owner.pid, static_cast<std::uint32_t>(::getpid()));
  EXPECT_EQ(owner.parent_pid, static_cast<std::uint32_t>(::getppid()));
  EXPECT_GT(owner.start_time, 0u);
  const std::string image = std::filesystem::read_symlink("/proc/self/exe").string();
  if (image.size() <= 146) {
    EXPECT_EQ(owner.path, OBRuntime::WideToUtf16(OBRuntime::Utf8ToWide(image)));
  } else {
    EXPECT_TRUE(owner.path.empty());  // too long for a report: left for the agent to look up
  }
  EXPECT_EQ(owners.at(InodeOf(second.get())).pid, owner.pid);

  std::vector<std::uint32_t> pids;
  source.ListProcesses(pids);
  EXPECT_NE(std::find(pids.begin(), pids.end(), owner.pid), pids.end());
}

}  // namespace
}  // namespace orv::driver
