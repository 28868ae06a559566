// The kernel flow owners' /proc lookup against this test process.
#include "driver/socket_owner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace orv::driver {
namespace {

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
