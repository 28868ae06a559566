#include "crash/minidump_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "crash/minidump_reader.h"
#include "support/temp_dir.h"

namespace {

using orv::crash::internal::MapsEntry;
using orv::crash::internal::ParseMapsLine;

TEST(MiniDumpWriterTest, ParsesMapsLinesAndConvertsNamesToUtf16) {
  const struct {
    std::string line;
    bool ok;
    std::uint64_t start;
    std::uint64_t end;
    bool executable;
    std::string path;
  } lines[] = {
      {"55d0c0a00000-55d0c0a18000 r-xp 00002000 08:01 1234    /usr/bin/x y", true, 0x55d0c0a00000,
       0x55d0c0a18000, true, "/usr/bin/x y"},
      {"7f00-8f00 ---p 00000000 00:00 0", true, 0x7f00, 0x8f00, false, ""},
      {"8f00-7f00 r--p 00000000 00:00 0", false, 0, 0, false, ""},  // start after end
      {"7f00-8f00 r--p 00000000 00:00", false, 0, 0, false, ""},    // no inode
      {"7f00 8f00 r--p 00000000 00:00 0", false, 0, 0, false, ""},
      {"7f00-8f00 r-", false, 0, 0, false, ""},
      {"zz-8f00 r--p 00000000 00:00 0", false, 0, 0, false, ""},
  };
  for (const auto& c : lines) {
    MapsEntry entry;
    ASSERT_EQ(ParseMapsLine(c.line.data(), c.line.size(), entry), c.ok) << c.line;
    if (c.ok) {
      EXPECT_EQ(entry.start, c.start);
      EXPECT_EQ(entry.end, c.end);
      EXPECT_EQ(entry.executable, c.executable);
      EXPECT_EQ(std::string(entry.path, entry.path_length), c.path);
    }
  }

  const std::pair<std::string, std::u16string> names[] = {
      {"/a", u"/a"},
      {"\xC3\xA9", u"\u00E9"},
      {"\xE2\x82\xAC", u"\u20AC"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xC3", u"\uFFFD"},              // truncated
      {"\xC0\xAF", u"\uFFFD\uFFFD"},    // overlong lead
      {"\xED\xA0\x80", u"\uFFFD"},      // surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD"},  // above U+10FFFF
      {"a\x80z", u"a\uFFFDz"},
  };
  for (const auto& [utf8, utf16] : names) {
    std::u16string out(16, u'\0');
    out.resize(orv::crash::internal::Utf8ToUtf16(
        utf8.data(), utf8.size(), reinterpret_cast<std::uint16_t*>(out.data()), out.size()));
    EXPECT_EQ(out, utf16);
  }
  std::uint16_t one[1];
  EXPECT_EQ(orv::crash::internal::Utf8ToUtf16("\xF0\x9F\x98\x80", 4, one, 1), 0u);  // no half pair
}

class MiniDumpFileTest : public ::testing::Test {
 protected:
  // Writes a dump for the given context into a file and parses it.
  orv::test::ParsedDump WriteAndParse(const ucontext_t& context, std::vector<std::uint8_t>& bytes) {
    siginfo_t info{};
    info.si_addr = reinterpret_cast<void*>(0x40);
    const orv::crash::CrashContext crash{SIGSEGV,    &info,      &context,   0xC0000005,
                                         ::getpid(), ::gettid(), 1796554468, 8};
    const std::string path = (dir_.path() / "dump.mdmp").string();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    int error = -1;
    EXPECT_EQ(orv::crash::WriteMiniDump(fd, crash, system_, *scratch_, error), kObSuccess);
    EXPECT_EQ(error, 0);
    ::close(fd);
    bytes = orv::test::MiniDumpReader::ReadFile(path);
    orv::test::ParsedDump dump;
    EXPECT_EQ(orv::test::MiniDumpReader(bytes).Parse(dump), "");
    EXPECT_EQ(dump.thread_count, 1u);
    return dump;
  }

  orv::test::TempDir dir_;
  orv::crash::SystemSnapshot system_ = orv::crash::GatherSystemSnapshot();
  std::unique_ptr<orv::crash::MiniDumpScratch> scratch_ =
      std::make_unique<orv::crash::MiniDumpScratch>();
};

// Memory is copied through the kernel: an unmapped or inaccessible stack leaves zeros in the
// dump instead of a second fault.
TEST_F(MiniDumpFileTest, BadStackPointerLeavesZerosInsteadOfFaulting) {
#if defined(__x86_64__)
  ucontext_t context{};
  ASSERT_EQ(::getcontext(&context), 0);
  void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  for (const std::uint64_t stack_pointer :
       {std::uint64_t{0x10}, reinterpret_cast<std::uint64_t>(page) + 2048}) {
    context.uc_mcontext.gregs[REG_RSP] = static_cast<greg_t>(stack_pointer);
    std::vector<std::uint8_t> bytes;
    const orv::test::ParsedDump dump = WriteAndParse(context, bytes);
    EXPECT_TRUE(std::all_of(bytes.begin() + dump.stack.rva,
                            bytes.begin() + dump.stack.rva + dump.stack.size,
                            [](std::uint8_t byte) { return byte == 0; }));
  }
  ::munmap(page, 4096);
#else
  GTEST_SKIP() << "register layout described for x86-64 only";
#endif
}

}  // namespace
