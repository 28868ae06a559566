#include "runtime/openssl_utility.h"

#include <gtest/gtest.h>

#include <string_view>

#include "runtime/utils.h"

namespace OBRuntime {
namespace {

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(OpensslUtilityTest, CleanUpLeavesLibraryUsable) {
  ASSERT_EQ(COpensslUtility::InitOpenSSL(), kObSuccess);
  EXPECT_EQ(COpensslUtility::CleanUpOpenSSL(), kObSuccess);
  EXPECT_EQ(COpensslUtility::CleanUpOpenSSL(), kObSuccess);
  ASSERT_EQ(COpensslUtility::InitOpenSSL(), kObSuccess);
  Sha256Digest digest{};
  ASSERT_EQ(CSha256Hasher::Digest(Bytes("abc"), digest), kObSuccess);
  EXPECT_EQ(Utils::EncodeToHex(digest),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace OBRuntime
