// The /proc owner lookup against this test process's own sockets.
#include "driver/socket_owner.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

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

TEST(ProcOwnerResolver, AProcessGoneBeforeItsLookupStillGetsItsImageByInode) {
  struct stat image {};
  ASSERT_EQ(::stat("/proc/self/exe", &image), 0);
  std::ifstream stat_file("/proc/self/stat");
  std::string stat_text((std::istreambuf_iterator<char>(stat_file)), {});
  std::istringstream fields(stat_text.substr(stat_text.rfind(')') + 2));
  std::string field;
  for (int i = 3; i < 22 && fields >> field;) ++i;  // fields 3 to 21
  std::uint64_t start_ticks = 0;
  fields >> start_ticks;
  const std::uint64_t ns_per_tick = 1'000'000'000ULL / ::sysconf(_SC_CLK_TCK);
  const auto device = static_cast<std::uint32_t>(major(image.st_dev) << 20 | minor(image.st_dev));
  const KernelOwner self{static_cast<std::uint32_t>(::getpid()), 0, start_ticks * ns_per_tick,
                         image.st_ino, device};
  KernelOwner gone = self;
  gone.pid = 0x3ffffff0U;  // no such process
  KernelOwner other_image = gone;
  other_image.exe_inode += 1;

  ProcOwnerResolver resolver;
  EXPECT_TRUE(resolver.Resolve(gone).path.empty());  // nothing known of that image yet
  const std::u16string path = resolver.Resolve(self).path;
  ASSERT_FALSE(path.empty());
  const ProcessDetails details = resolver.Resolve(gone);
  EXPECT_EQ(details.pid, gone.pid);
  EXPECT_EQ(details.path, path);
  EXPECT_TRUE(resolver.Resolve(other_image).path.empty());
}

}  // namespace
}  // namespace orv::driver
