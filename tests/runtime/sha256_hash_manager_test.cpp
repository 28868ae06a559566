#include "runtime/sha256_hash_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "runtime/openssl_utility.h"
#include "runtime/text.h"
#include "runtime/utils.h"
#include "support/temp_dir.h"

namespace OBRuntime {
namespace {

constexpr char kAbcDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string Digest(const std::string& bytes) {
  return CSha256HashManagerImpl::GetHashSHA256(bytes.data(), bytes.size());
}

class Sha256HashManagerTest : public ::testing::Test {
 protected:
  std::wstring WriteFile(const std::string& name, const std::string& contents) {
    const auto path = dir_.path() / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
    return Utf8ToWide(path.string());
  }

  static void SetModified(const std::wstring& path, long nanoseconds) {
    const timespec times[2] = {{1'700'000'000, nanoseconds}, {1'700'000'000, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, WideToUtf8(path).c_str(), times, 0), 0);
  }

  // The digest the manager reports for path, as hex; "" on failure.
  static std::string HashOf(CSha256HashManagerImpl& manager, const std::wstring& path) {
    std::array<std::uint8_t, 32> digest{};
    if (manager.GetHashSHA256(path, digest.data(), digest.size(), 1234) != kObSuccess) {
      return {};
    }
    return Utils::EncodeToHex(digest);
  }

  orv::test::TempDir dir_;
};

TEST_F(Sha256HashManagerTest, HashesBuffersAndFilesAgainstKnownVectorsAndRefusesWhatIsNoFile) {
  // Cleaning up leaves the library usable for later hashing.
  ASSERT_EQ(COpensslUtility::InitOpenSSL(), kObSuccess);
  EXPECT_EQ(COpensslUtility::CleanUpOpenSSL(), kObSuccess);
  ASSERT_EQ(COpensslUtility::InitOpenSSL(), kObSuccess);
  EXPECT_EQ(Digest("abc"), kAbcDigest);
  EXPECT_EQ(CSha256HashManagerImpl::GetHashSHA256(nullptr, 0), kEmptyDigest);
  EXPECT_EQ(CSha256HashManagerImpl::GetHashSHA256(nullptr, 5), "");

  CSha256HashManagerImpl& manager = CSha256HashManagerImpl::AcquireInstance();
  EXPECT_EQ(&manager, &CSha256HashManagerImpl::AcquireInstance());
  EXPECT_EQ(HashOf(manager, WriteFile("abc.bin", "abc")), kAbcDigest);
  EXPECT_EQ(HashOf(manager, WriteFile("empty.bin", "")), kEmptyDigest);
  // Several read blocks, the last one partial.
  std::string large(3 * 256 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) {
    large[i] = static_cast<char>(i * 131 + i / 977);
  }
  EXPECT_EQ(HashOf(manager, WriteFile("l\u00e4rge.bin", large)), Digest(large));
  // Symbolic links are followed, as for /proc/<pid>/exe.
  const auto link = dir_.path() / "link";
  std::filesystem::create_symlink(dir_.path() / "abc.bin", link);
  EXPECT_EQ(HashOf(manager, Utf8ToWide(link.string())), kAbcDigest);

  const std::wstring abc = WriteFile("abc", "abc");
  std::vector<std::string> hashes = {"stale"};
  ASSERT_EQ(manager.GetHashSHA256List({abc, abc + L".missing", abc}, hashes, 42), kObSuccess);
  EXPECT_EQ(hashes, (std::vector<std::string>{kAbcDigest, "", kAbcDigest}));
  ASSERT_EQ(manager.GetHashSHA256List({}, hashes), kObSuccess);
  EXPECT_TRUE(hashes.empty());

  // What cannot be hashed: a directory, no name, a FIFO (refused without blocking), bad output.
  const auto hashed = manager.FilesHashed();
  std::array<std::uint8_t, 32> digest{};
  const auto fifo = dir_.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::wstring& path :
       {Utf8ToWide(dir_.path().string()), std::wstring(), Utf8ToWide(fifo.string())}) {
    EXPECT_EQ(manager.GetHashSHA256(path, digest.data(), 32, 1), kObNotFound) << WideToUtf8(path);
  }
  EXPECT_EQ(manager.GetHashSHA256(abc, nullptr, 32, 1), kObBadArgument);
  EXPECT_EQ(manager.GetHashSHA256(abc, digest.data(), 31, 1), kObBadArgument);
  EXPECT_EQ(manager.FilesHashed(), hashed);
}

TEST_F(Sha256HashManagerTest, HashesAFileOnceUntilItChangesAndEvictsTheLeastRecentlyUsedHalf) {
  CSha256HashManagerImpl manager(4);
  const std::wstring path = WriteFile("busy.bin", "abc");
  SetModified(path, 100);
  EXPECT_EQ(HashOf(manager, path) + HashOf(manager, path), std::string(kAbcDigest) + kAbcDigest);
  EXPECT_EQ(manager.FilesHashed(), 1U);
  // Same size, new contents, modification time differing only in nanoseconds.
  WriteFile("busy.bin", "xyz");
  SetModified(path, 200);
  EXPECT_EQ(HashOf(manager, path) + HashOf(manager, path), Digest("xyz") + Digest("xyz"));
  EXPECT_EQ(manager.FilesHashed(), 2U);
  // Replaced by another file (new inode) under the same name.
  const std::wstring other = WriteFile("other.bin", "abc");
  SetModified(other, 200);
  std::filesystem::rename(WideToUtf8(other), WideToUtf8(path));
  EXPECT_EQ(HashOf(manager, path), kAbcDigest);
  EXPECT_EQ(manager.FilesHashed(), 3U);

  // Full at four: busy.bin (f0) is used again last, so f1 and f2 are the least recently used
  // when f4 arrives; the others are still known, f1 is hashed again.
  std::vector<std::wstring> paths = {path};
  for (int i = 1; i < 5; ++i) {
    paths.push_back(WriteFile("f" + std::to_string(i), std::string(i, 'x')));
  }
  for (const int i : {0, 1, 2, 3, 0, 4, 0, 3, 4}) {
    ASSERT_FALSE(HashOf(manager, paths[i]).empty());
  }
  EXPECT_EQ(manager.FilesHashed(), 7U);
  EXPECT_EQ(manager.CachedEntries(), 3U);
  ASSERT_FALSE(HashOf(manager, paths[1]).empty());
  EXPECT_EQ(manager.FilesHashed(), 8U);
}

}  // namespace
}  // namespace OBRuntime
