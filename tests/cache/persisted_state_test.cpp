#include "cache/persisted_state.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <numeric>

#include "cache/cache_test_support.h"
#include "support/child_process.h"
#include "support/log_capture.h"

namespace {

namespace fs = std::filesystem;

class PersistedStateTest : public ::testing::Test {
 protected:
  CPersistedState Plain() const { return {directory_.wstring(), L"PersistedData.dat", false}; }
  CPersistedState Sealed(const char* machine_id = "machine-id") const {
    return {directory_.wstring(), L"KConfig.dat", temp_.Protection(machine_id)};
  }

  orv::cache_test::SealingDir temp_;
  fs::path directory_ = temp_.path() / "Varno" / "Varno Ombrix Suite" / "ORV";
  orv::test::LogCapture log_;
};

TEST_F(PersistedStateTest, PlainValuesRoundTripAndSealedOnesOpenOnlyUnchangedOnThisMachine) {
  std::array<std::uint8_t, 2> loaded{};
  EXPECT_EQ(Plain().LoadData(loaded.data(), loaded.size()), kObNotFound);
  EXPECT_TRUE(log_.Contains("CPersistedData::readFromFile()- File open failed"));

  auto state = Plain();
  const std::array<std::uint8_t, 2> uid = {0x34, 0x12};
  ASSERT_EQ(state.StoreData(uid.data(), uid.size()), kObSuccess);
  EXPECT_EQ(fs::file_size(directory_ / "PersistedData.dat"), 2U);
  EXPECT_EQ(fs::status(directory_).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(std::distance(fs::directory_iterator(directory_), fs::directory_iterator()), 1)
      << "no temporary file is left behind";
  ASSERT_EQ(Plain().LoadData(loaded.data(), loaded.size()), kObSuccess);
  EXPECT_EQ(loaded, uid);

  fs::remove(directory_ / "PersistedData.dat");
  loaded = {};
  ASSERT_EQ(state.LoadData(loaded.data(), loaded.size()), kObSuccess) << "the cached copy";
  EXPECT_EQ(loaded, uid);
  std::array<std::uint8_t, 3> three = {1, 2, 3};
  EXPECT_EQ(state.LoadData(three.data(), three.size()), kObFailure) << "the wrong size";

  ASSERT_EQ(Plain().StoreData(three.data(), three.size()), kObSuccess);
  EXPECT_EQ(Plain().LoadData(loaded.data(), loaded.size()), kObFailure);
  EXPECT_TRUE(log_.Has(LOG_DEBUG, "CPersistedState::readDataFromFile",
                       "Data in Persisted File not of expected length."));
  EXPECT_EQ(Plain().StoreData(nullptr, 2), kObBadArgument);
  EXPECT_EQ(Plain().LoadData(nullptr, 2), kObBadArgument);

  // A sealed key takes 514 bytes and opens only unchanged, on this machine.
  std::array<std::uint8_t, 32> key{};
  std::iota(key.begin(), key.end(), 1);
  const fs::path file = directory_ / "KConfig.dat";
  std::array<std::uint8_t, 32> opened{};
  const auto opens = [&](const char* machine_id) {
    return Sealed(machine_id).LoadData(opened.data(), opened.size()) == kObSuccess;
  };
  ASSERT_EQ(Sealed().StoreData(key.data(), key.size()), kObSuccess);
  // The blob's length in two bytes, little-endian, then the 61-byte blob, zeros up to 514.
  const std::string stored = orv::test::ChildProcess::ReadAll(file);
  ASSERT_EQ(stored.size(), 514U);
  EXPECT_EQ(stored.substr(0, 2), std::string("\x3D\x00", 2));
  EXPECT_EQ(stored.substr(63), std::string(451, '\0'));
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(opens("machine-id"));
  EXPECT_EQ(opened, key);
  fs::resize_file(file, 513);
  EXPECT_FALSE(opens("machine-id"));
  EXPECT_TRUE(log_.Contains("Data in Persisted File not of expected length."));

  ASSERT_EQ(Sealed().StoreData(key.data(), key.size()), kObSuccess);
  EXPECT_EQ(Sealed().LoadData(opened.data(), 16), kObFailure) << "a short buffer";
  std::ofstream(temp_.path() / "other-machine-id") << "fedcba9876543210fedcba9876543210\n";
  EXPECT_FALSE(opens("other-machine-id"));

  // Bytes changed in the nonce, the ciphertext and the tag; a stated length beyond 512; none.
  for (const auto& [offset, mask] :
       {std::pair<std::size_t, int>{2, 0x01}, {40, 0xFF}, {62, 0x80}, {1, 0x7F}, {0, 0x3D}}) {
    ASSERT_EQ(Sealed().StoreData(key.data(), key.size()), kObSuccess);
    std::string bytes = orv::test::ChildProcess::ReadAll(file);
    bytes[offset] = static_cast<char>(bytes[offset] ^ mask);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_FALSE(opens("machine-id")) << offset;
  }
  ASSERT_EQ(Sealed().StoreData(key.data(), key.size()), kObSuccess);
  fs::remove_all(temp_.path() / "secrets");  // as if the file came from another machine
  EXPECT_FALSE(opens("machine-id"));
}

}  // namespace
