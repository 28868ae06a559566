#include "cache/persisted_state.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <fstream>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

class PersistedStateTest : public ::testing::Test {
 protected:
  orv::test::TempDir temp_;
  fs::path data_directory_ = temp_.path() / "Varno" / "Varno Ombrix Suite" / "ORV";
  fs::path secrets_ = temp_.path() / "secrets";
  fs::path machine_id_ = temp_.path() / "machine-id";
  fs::path other_machine_id_ = temp_.path() / "other-machine-id";

  void SetUp() override {
    std::ofstream(machine_id_) << "0123456789abcdef0123456789abcdef\n";
    std::ofstream(other_machine_id_) << "fedcba9876543210fedcba9876543210\n";
  }

  OBPlatform::CDataProtection Protection(const fs::path& machine_id) const {
    return {secrets_, machine_id, 1000};
  }
  CPersistedState Plain(const std::wstring& name = L"PersistedData.dat") const {
    return {data_directory_.wstring(), name, false};
  }
  CPersistedState Sealed(const fs::path& machine_id) const {
    return {data_directory_.wstring(), L"KConfig.dat", Protection(machine_id)};
  }
  static std::array<std::uint8_t, 32> Key() {
    std::array<std::uint8_t, 32> key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
      key[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    return key;
  }
};

TEST_F(PersistedStateTest, PlainValueRoundTripsAndCreatesPrivateDirectory) {
  const std::array<std::uint8_t, 2> uid = {0x34, 0x12};
  ASSERT_EQ(Plain().StoreData(uid.data(), uid.size()), kObSuccess);
  EXPECT_EQ(fs::file_size(data_directory_ / "PersistedData.dat"), 2U);
  EXPECT_EQ(fs::status(data_directory_).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(std::distance(fs::directory_iterator(data_directory_), fs::directory_iterator()), 1)
      << "no temporary file is left behind";
  std::array<std::uint8_t, 2> loaded{};
  ASSERT_EQ(Plain().LoadData(loaded.data(), loaded.size()), kObSuccess);
  EXPECT_EQ(loaded, uid);
}

TEST_F(PersistedStateTest, RejectsFilesOfAnotherSizeAndMissingFiles) {
  orv::test::LogCapture log;
  std::array<std::uint8_t, 2> loaded{};
  EXPECT_EQ(Plain().LoadData(loaded.data(), loaded.size()), kObNotFound);
  EXPECT_TRUE(log.Contains("CPersistedData::readFromFile()- File open failed"));

  const std::array<std::uint8_t, 3> three = {1, 2, 3};
  ASSERT_EQ(Plain().StoreData(three.data(), three.size()), kObSuccess);
  EXPECT_EQ(Plain().LoadData(loaded.data(), loaded.size()), kObFailure);
  EXPECT_TRUE(log.Has(LOG_DEBUG, "CPersistedState::readDataFromFile",
                      "Data in Persisted File not of expected length."));
  EXPECT_EQ(Plain().StoreData(nullptr, 2), kObBadArgument);
  EXPECT_EQ(Plain().LoadData(nullptr, 2), kObBadArgument);
}

TEST_F(PersistedStateTest, LoadAnswersFromTheCachedCopy) {
  auto state = Plain();
  const std::array<std::uint8_t, 2> value = {7, 9};
  ASSERT_EQ(state.StoreData(value.data(), value.size()), kObSuccess);
  fs::remove(data_directory_ / "PersistedData.dat");
  std::array<std::uint8_t, 2> loaded{};
  ASSERT_EQ(state.LoadData(loaded.data(), loaded.size()), kObSuccess);
  EXPECT_EQ(loaded, value);
  std::array<std::uint8_t, 3> wrong_size{};
  EXPECT_EQ(state.LoadData(wrong_size.data(), wrong_size.size()), kObFailure);
}

TEST_F(PersistedStateTest, ProtectedKeyTakes514BytesAndOpensOnlyHere) {
  const auto key = Key();
  ASSERT_EQ(Sealed(machine_id_).StoreData(key.data(), key.size()), kObSuccess);
  const fs::path file = data_directory_ / "KConfig.dat";
  EXPECT_EQ(fs::file_size(file), CPersistedState::kProtectedFileSize);
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  std::array<std::uint8_t, 32> loaded{};
  ASSERT_EQ(Sealed(machine_id_).LoadData(loaded.data(), loaded.size()), kObSuccess);
  EXPECT_EQ(loaded, key);

  orv::test::LogCapture log;
  EXPECT_EQ(Sealed(other_machine_id_).LoadData(loaded.data(), loaded.size()), kObFailure);
  std::array<std::uint8_t, 16> short_buffer{};
  EXPECT_EQ(Sealed(machine_id_).LoadData(short_buffer.data(), short_buffer.size()), kObFailure);
  EXPECT_TRUE(log.Contains("Data in Persisted File not of expected length."));
}

TEST_F(PersistedStateTest, CorruptProtectedFilesAreRejected) {
  const auto key = Key();
  const fs::path file = data_directory_ / "KConfig.dat";
  std::array<std::uint8_t, 32> loaded{};
  // Stores the key afresh, then sets the byte at offset to value, or flips it when value is -1.
  const auto rewrite = [&](std::size_t offset, int value) {
    ASSERT_EQ(Sealed(machine_id_).StoreData(key.data(), key.size()), kObSuccess);
    std::fstream io(file, std::ios::in | std::ios::out | std::ios::binary);
    io.seekg(static_cast<std::streamoff>(offset));
    const int old = io.get();
    io.seekp(static_cast<std::streamoff>(offset));
    io.put(static_cast<char>(value < 0 ? old ^ 0xFF : value));
  };
  orv::test::LogCapture log;
  rewrite(40, -1);  // one byte inside the blob, whatever the random nonce made it
  EXPECT_EQ(Sealed(machine_id_).LoadData(loaded.data(), loaded.size()), kObFailure);
  rewrite(1, 0x7F);  // blob length far beyond 512
  EXPECT_EQ(Sealed(machine_id_).LoadData(loaded.data(), loaded.size()), kObFailure);
  rewrite(0, 0);  // blob length 0
  EXPECT_EQ(Sealed(machine_id_).LoadData(loaded.data(), loaded.size()), kObFailure);

  ASSERT_EQ(Sealed(machine_id_).StoreData(key.data(), key.size()), kObSuccess);
  fs::resize_file(file, 513);
  EXPECT_EQ(Sealed(machine_id_).LoadData(loaded.data(), loaded.size()), kObFailure);
  EXPECT_TRUE(log.Contains("Data in Persisted File not of expected length."));
}

TEST_F(PersistedStateTest, BlobMadeWithAnotherSecretDoesNotOpen) {
  const auto key = Key();
  ASSERT_EQ(Sealed(machine_id_).StoreData(key.data(), key.size()), kObSuccess);
  fs::remove_all(secrets_);  // as if the file came from a machine with its own secret
  std::array<std::uint8_t, 32> loaded{};
  EXPECT_EQ(Sealed(machine_id_).LoadData(loaded.data(), loaded.size()), kObFailure);
}

TEST(DataProtectionTest, SecretIsPrivateAndBoundToAccount) {
  orv::test::TempDir temp;
  const fs::path machine_id = temp.path() / "machine-id";
  std::ofstream(machine_id) << "00112233445566778899aabbccddeeff\n";
  const OBPlatform::CDataProtection mine(temp.path() / "dp", machine_id, 1000);
  const OBPlatform::CDataProtection other_uid(temp.path() / "dp", machine_id, 1001);
  const std::array<std::uint8_t, 5> value = {1, 2, 3, 4, 5};
  std::vector<std::uint8_t> blob;
  ASSERT_EQ(mine.Protect(value, blob), kObSuccess);
  EXPECT_EQ(blob.size(), value.size() + OBPlatform::CDataProtection::kOverhead);
  EXPECT_EQ(fs::status(temp.path() / "dp" / "1000.key").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(temp.path() / "dp").permissions() & fs::perms::all, fs::perms::owner_all);
  std::vector<std::uint8_t> opened;
  ASSERT_EQ(mine.Unprotect(blob, opened), kObSuccess);
  EXPECT_EQ(opened, std::vector<std::uint8_t>(value.begin(), value.end()));
  EXPECT_NE(other_uid.Unprotect(blob, opened), kObSuccess);
  for (std::size_t bit = 0; bit < blob.size() * 8; bit += 13) {
    auto altered = blob;
    altered[bit / 8] ^= static_cast<std::uint8_t>(1U << (bit % 8));
    EXPECT_NE(mine.Unprotect(altered, opened), kObSuccess) << "bit " << bit;
  }
  EXPECT_EQ(mine.Unprotect(std::span(blob).first(10), opened), kObBadArgument);
}

}  // namespace
