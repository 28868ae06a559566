#include "runtime/sha256_hash_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/text.h"
#include "runtime/utils.h"
#include "support/temp_dir.h"

namespace OBRuntime {
namespace {

constexpr char kAbcDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

class Sha256HashManagerTest : public ::testing::Test {
 protected:
  std::wstring WriteFile(const std::string& name, const std::string& contents) {
    const auto path = dir_.path() / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
    return Utf8ToWide(path.string());
  }

  static void SetModified(const std::wstring& path, time_t seconds, long nanoseconds) {
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, WideToUtf8(path).c_str(), times, 0), 0);
  }

  // The digest the manager reports for path, as hex; "" on failure.
  std::string HashOf(CSha256HashManagerImpl& manager, const std::wstring& path) {
    std::array<std::uint8_t, 32> digest{};
    if (manager.GetHashSHA256(path, digest.data(), digest.size(), 1234) != kObSuccess) {
      return {};
    }
    return Utils::EncodeToHex(digest);
  }

  orv::test::TempDir dir_;
};

TEST_F(Sha256HashManagerTest, HashesBuffersAgainstKnownVectors) {
  EXPECT_EQ(CSha256HashManagerImpl::GetHashSHA256("abc", 3), kAbcDigest);
  EXPECT_EQ(CSha256HashManagerImpl::GetHashSHA256("", 0), kEmptyDigest);
  EXPECT_EQ(CSha256HashManagerImpl::GetHashSHA256(nullptr, 0), kEmptyDigest);
  EXPECT_EQ(CSha256HashManagerImpl::GetHashSHA256(nullptr, 5), "");
  const std::string fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(CSha256HashManagerImpl::GetHashSHA256(fox.data(), fox.size()),
            "d7a8fbb307d7809469ca9abcb0082e4f8d5651e46d3cdb762d02d0bf37c9e592");
}

TEST_F(Sha256HashManagerTest, HashesFileContents) {
  CSha256HashManagerImpl manager;
  EXPECT_EQ(HashOf(manager, WriteFile("abc.bin", "abc")), kAbcDigest);
  EXPECT_EQ(HashOf(manager, WriteFile("empty.bin", "")), kEmptyDigest);
  // Several read blocks, the last one partial.
  std::string large(3 * 256 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) {
    large[i] = static_cast<char>(i * 131 + i / 977);
  }
  const std::wstring large_path = WriteFile("l\u00e4rge.bin", large);
  EXPECT_EQ(HashOf(manager, large_path),
            CSha256HashManagerImpl::GetHashSHA256(large.data(), large.size()));
  // Symbolic links are followed, as for /proc/<pid>/exe.
  const auto link = dir_.path() / "link";
  std::filesystem::create_symlink(dir_.path() / "abc.bin", link);
  EXPECT_EQ(HashOf(manager, Utf8ToWide(link.string())), kAbcDigest);
}

TEST_F(Sha256HashManagerTest, RejectsWhatCannotBeHashed) {
  CSha256HashManagerImpl manager;
  std::array<std::uint8_t, 32> digest{};
  const std::wstring file = WriteFile("f", "abc");
  EXPECT_EQ(manager.GetHashSHA256(file + L".missing", digest.data(), 32, 1), kObNotFound);
  EXPECT_EQ(manager.GetHashSHA256(Utf8ToWide(dir_.path().string()), digest.data(), 32, 1),
            kObNotFound);
  EXPECT_EQ(manager.GetHashSHA256(L"", digest.data(), 32, 1), kObNotFound);
  const auto fifo = dir_.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(manager.GetHashSHA256(Utf8ToWide(fifo.string()), digest.data(), 32, 1), kObNotFound);
  EXPECT_EQ(manager.GetHashSHA256(file, nullptr, 32, 1), kObBadArgument);
  EXPECT_EQ(manager.GetHashSHA256(file, digest.data(), 31, 1), kObBadArgument);
  if (::geteuid() != 0) {  // root reads whatever the mode says
    ASSERT_EQ(::chmod(WideToUtf8(file).c_str(), 0), 0);
    EXPECT_EQ(manager.GetHashSHA256(file, digest.data(), 32, 1), kObNotFound);
  }
  EXPECT_EQ(manager.FilesHashed(), 0U);
}

TEST_F(Sha256HashManagerTest, HashesUnchangedFileOnceAndRehashesAfterChange) {
  CSha256HashManagerImpl manager;
  const std::wstring path = WriteFile("busy.bin", "abc");
  SetModified(path, 1'700'000'000, 100);
  EXPECT_EQ(HashOf(manager, path), kAbcDigest);
  EXPECT_EQ(HashOf(manager, path), kAbcDigest);
  EXPECT_EQ(manager.FilesHashed(), 1U);

  // Same size, new contents, modification time differing only in nanoseconds.
  WriteFile("busy.bin", "xyz");
  SetModified(path, 1'700'000'000, 200);
  EXPECT_EQ(HashOf(manager, path), CSha256HashManagerImpl::GetHashSHA256("xyz", 3));
  EXPECT_EQ(manager.FilesHashed(), 2U);
  EXPECT_EQ(HashOf(manager, path), CSha256HashManagerImpl::GetHashSHA256("xyz", 3));
  EXPECT_EQ(manager.FilesHashed(), 2U);

  // Replaced by another file (new inode) under the same name.
  const std::wstring other = WriteFile("other.bin", "abc");
  SetModified(other, 1'700'000'000, 200);
  std::filesystem::rename(WideToUtf8(other), WideToUtf8(path));
  EXPECT_EQ(HashOf(manager, path), kAbcDigest);
  EXPECT_EQ(manager.FilesHashed(), 3U);
}

TEST_F(Sha256HashManagerTest, EvictsLeastRecentlyUsedHalfWhenFull) {
  CSha256HashManagerImpl manager(4);
  std::vector<std::wstring> paths;
  for (int i = 0; i < 6; ++i) {
    paths.push_back(WriteFile("f" + std::to_string(i), std::string(i + 1, 'x')));
  }
  for (int i = 0; i < 4; ++i) {
    ASSERT_FALSE(HashOf(manager, paths[i]).empty());
  }
  ASSERT_FALSE(HashOf(manager, paths[0]).empty());  // f0 becomes the most recently used
  EXPECT_EQ(manager.FilesHashed(), 4U);
  ASSERT_FALSE(HashOf(manager, paths[4]).empty());  // full: f1 and f2 go
  EXPECT_EQ(manager.CachedEntries(), 3U);
  for (const int kept : {0, 3, 4}) {
    ASSERT_FALSE(HashOf(manager, paths[kept]).empty());
  }
  EXPECT_EQ(manager.FilesHashed(), 5U);
  ASSERT_FALSE(HashOf(manager, paths[1]).empty());
  EXPECT_EQ(manager.FilesHashed(), 6U);
  EXPECT_LE(manager.CachedEntries(), 4U);
}

TEST_F(Sha256HashManagerTest, ListMarksFilesThatCannotBeHashed) {
  CSha256HashManagerImpl manager;
  const std::wstring abc = WriteFile("abc", "abc");
  const std::wstring empty = WriteFile("empty", "");
  std::vector<std::string> hashes = {"stale"};
  ASSERT_EQ(manager.GetHashSHA256List({abc, abc + L".missing", empty}, hashes, 42), kObSuccess);
  EXPECT_EQ(hashes, (std::vector<std::string>{kAbcDigest, "", kEmptyDigest}));
  ASSERT_EQ(manager.GetHashSHA256List({}, hashes), kObSuccess);
  EXPECT_TRUE(hashes.empty());
}

TEST_F(Sha256HashManagerTest, ProcessWideInstanceIsShared) {
  EXPECT_EQ(&CSha256HashManagerImpl::AcquireInstance(), &CSha256HashManagerImpl::AcquireInstance());
  EXPECT_EQ(HashOf(CSha256HashManagerImpl::AcquireInstance(), WriteFile("abc", "abc")), kAbcDigest);
}

// Readers race on a cache small enough to evict constantly, while one file is replaced by
// rename between two versions: every answer must be a digest of a version, never a mix-up.
TEST_F(Sha256HashManagerTest, ConcurrentCallersAlwaysGetCorrectDigests) {
  CSha256HashManagerImpl manager(2);
  std::vector<std::wstring> paths;
  std::vector<std::string> expected;
  for (int i = 0; i < 5; ++i) {
    const std::string contents(1000 + i, static_cast<char>('a' + i));
    paths.push_back(WriteFile("stable" + std::to_string(i), contents));
    expected.push_back(CSha256HashManagerImpl::GetHashSHA256(contents.data(), contents.size()));
  }
  const std::string version_a(4096, 'A');
  const std::string version_b(4096, 'B');
  const std::wstring swapped = WriteFile("swapped", version_a);
  const std::string digest_a = CSha256HashManagerImpl::GetHashSHA256(version_a.data(), 4096);
  const std::string digest_b = CSha256HashManagerImpl::GetHashSHA256(version_b.data(), 4096);

  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::thread writer([&] {
    for (int round = 0; round < 200; ++round) {
      const std::wstring next = WriteFile("next", round % 2 == 0 ? version_b : version_a);
      std::filesystem::rename(WideToUtf8(next), WideToUtf8(swapped));
    }
    stop = true;
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      for (int i = 0; i < 400 || !stop; ++i) {
        const std::size_t which = static_cast<std::size_t>(i + t) % paths.size();
        if (HashOf(manager, paths[which]) != expected[which]) {
          ++wrong;
        }
        const std::string digest = HashOf(manager, swapped);
        if (digest != digest_a && digest != digest_b) {
          ++wrong;
        }
      }
    });
  }
  writer.join();
  for (std::thread& reader : readers) {
    reader.join();
  }
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(manager.CachedEntries(), 2U);
}

}  // namespace
}  // namespace OBRuntime
