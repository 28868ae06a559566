#include "runtime/lzs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bitset>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/log_capture.h"

namespace OBRuntime {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(const std::string& text) { return {text.begin(), text.end()}; }

// A block: "LZS1", the stated length little-endian, then the bits given as '0'/'1' (spaces
// ignored), most significant first, zero padded.
Bytes Block(std::uint32_t stated, const std::string& bits) {
  Bytes block = {'L', 'Z', 'S', '1'};
  for (int i = 0; i < 4; ++i) block.push_back(static_cast<std::uint8_t>(stated >> (8 * i)));
  int used = 0;
  for (const char bit : bits) {
    if (bit == ' ') continue;
    if (used % 8 == 0) block.push_back(0);
    if (bit == '1') block.back() |= static_cast<std::uint8_t>(0x80 >> (used % 8));
    ++used;
  }
  return block;
}

std::string Literal(char c) {
  return "0 " + std::bitset<8>(static_cast<std::uint8_t>(c)).to_string() + " ";
}

constexpr const char* kEnd = "1 1 0000000";

// Random bytes (which do not compress), or text with matches at every distance.
Bytes Sample(std::size_t size, bool random_only) {
  std::mt19937 random(static_cast<std::uint32_t>(size));
  Bytes bytes;
  while (bytes.size() < size) {
    const std::string word =
        random_only ? "" : "firefox 192.168.1." + std::to_string(random() % 300);
    bytes.insert(bytes.end(), word.begin(), word.end());
    bytes.push_back(static_cast<std::uint8_t>(random()));
  }
  bytes.resize(size);
  return bytes;
}

class CLZSTest : public ::testing::Test {
 protected:
  Bytes Compress(const Bytes& input) {
    Bytes block(input.size() * 2 + 64);
    auto length = static_cast<std::uint32_t>(block.size());
    EXPECT_EQ(lzs_.Compress(input.data(), static_cast<std::uint32_t>(input.size()), block.data(),
                            &length),
              kObSuccess);
    block.resize(length);
    return block;
  }
  // Decompresses in place in a buffer of block.size() + spare bytes; the status and the buffer.
  std::pair<OB_STATUSCODE, Bytes> Decompress(const Bytes& block, std::size_t spare) {
    Bytes buffer = block;
    buffer.resize(block.size() + spare, 0xEE);
    auto length = static_cast<std::uint32_t>(buffer.size());
    const OB_STATUSCODE status = lzs_.Decompress(
        buffer.data(), static_cast<std::uint32_t>(block.size()), buffer.data(), &length);
    buffer.resize(status == kObSuccess ? length : buffer.size());
    return {status, buffer};
  }

  CLZS lzs_;
};

TEST_F(CLZSTest, CodesHandBuiltBitstreamsAndRoundTripsEverySize) {
  const std::string abc = Literal('a') + Literal('b') + Literal('c');
  // Short offsets, an overlapping copy, 4- and 12-bit length codes, both ways.
  for (const auto& [text, bits] :
       {std::pair<std::string, std::string>{"", kEnd},
        {"abcabcabc", abc + "1 1 0000011 1101 " + kEnd},
        {std::string(25, 'x'), Literal('x') + "1 1 0000001 1111 1111 0001 " + kEnd}}) {
    const Bytes block = Block(static_cast<std::uint32_t>(text.size()), bits);
    EXPECT_EQ(Compress(Text(text)), block);
    EXPECT_EQ(Decompress(block, 64), std::pair(kObSuccess, Text(text)));
  }
  // The long offset form for a short distance, which this encoder does not write.
  EXPECT_EQ(Decompress(Block(7, abc + "1 0 00000000010 10 " + kEnd), 64),
            std::pair(kObSuccess, Text("abcbcbc")));
  EXPECT_LT(Compress(Bytes(4000, 0)).size(), 4000U / 25);  // a run costs 4 bits per 15 bytes
  // The last size passes the retained scratch size, so the next call allocates afresh.
  for (const std::size_t size : {1, 2, 3, 2049, 100000, (1 << 21) + 3}) {
    for (const Bytes& input : {Sample(size, true), Sample(size, false), Bytes(size, 'z')}) {
      const Bytes block = Compress(input);
      EXPECT_LE(block.size(), CLZS::kHeaderLength + (9 * size + 16) / 8);
      EXPECT_EQ(Decompress(block, size), std::pair(kObSuccess, input)) << size;
    }
  }
}

TEST_F(CLZSTest, WorksInPlaceAndReportsTheSizeNeededLeavingTheBlockUntouched) {
  const Bytes input = Sample(3000, false);
  Bytes buffer = input;
  auto length = static_cast<std::uint32_t>(buffer.size());
  ASSERT_EQ(lzs_.Compress(buffer.data(), length, buffer.data(), &length), kObSuccess);
  const Bytes block(buffer.begin(), buffer.begin() + length);
  EXPECT_EQ(block, Compress(input));
  // No room to decompress: the size needed comes back and the block stays as it was.
  ASSERT_EQ(lzs_.Decompress(buffer.data(), length, buffer.data(), &length), kObBufferTooSmall);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + block.size()), block);
  EXPECT_EQ(length, input.size());

  // Random bytes grow when compressed: an in-place Compress cannot fit.
  const Bytes random = Sample(500, true);
  buffer = random;
  length = static_cast<std::uint32_t>(buffer.size());
  EXPECT_EQ(lzs_.Compress(buffer.data(), length, buffer.data(), &length), kObBufferTooSmall);
  EXPECT_EQ(buffer, random);
  EXPECT_EQ(length, Compress(random).size());
}

TEST_F(CLZSTest, RejectsMalformedBlocksWithoutWriting) {
  const std::string abc = Literal('a') + Literal('b') + Literal('c');
  Bytes trailing = Block(3, abc + kEnd);
  trailing.push_back(0);
  Bytes above_limit = Block(0, kEnd);
  above_limit[7] = 0x08;  // 128 MiB
  const std::pair<Bytes, const char*> cases[] = {
      {Text("ORVN\x03 serialised flow record"), "Not an LZS block"},  // stored uncompressed
      {Text("LZS1\x03"), "Not an LZS block"},
      {Block(0, ""), "without an end marker"},
      {Block(3, abc), "without an end marker"},
      {Block(3, abc + "1 1 00"), "without an end marker"},  // inside a token
      {Block(4, Literal('a') + "1 1 0000010 00 " + kEnd),
       "offset 2 at output byte 1 reaches before the start"},
      {Block(4, Literal('a') + "1 0 00000000000 00 " + kEnd), "offset 0"},
      {Block(2, abc + kEnd), "longer than the stated 2 bytes"},
      {Block(3, Literal('a') + "1 1 0000001 1111 0000 " + kEnd), "longer than the stated 3 bytes"},
      {Block(5, abc + kEnd), "end marker after 3 of the stated 5"},
      {trailing, "data after the end marker"},
      {Block(3, abc + kEnd + "1"), "data after the end marker"},  // non-zero padding
      {above_limit, "cannot hold"},
      {Block(1000, kEnd), "cannot hold"},
  };
  for (const auto& [block, logged] : cases) {
    orv::test::LogCapture log;
    Bytes unchanged = block;
    unchanged.resize(block.size() + 64, 0xEE);
    EXPECT_EQ(Decompress(block, 64), std::pair(kObBadArgument, unchanged)) << logged;
    EXPECT_TRUE(log.Contains(logged)) << logged;
  }
  const Bytes block = Compress(Sample(3000, false));
  for (std::size_t size = 0; size < block.size(); ++size) {
    EXPECT_EQ(Decompress(Bytes(block.begin(), block.begin() + size), 4000).first, kObBadArgument);
  }
}

TEST_F(CLZSTest, RejectsBadArguments) {
  Bytes buffer(64);
  std::uint32_t length = 64;
  std::uint32_t zero = 0;
  const std::vector<OB_STATUSCODE> statuses = {
      lzs_.Compress(nullptr, 4, buffer.data(), &length),
      lzs_.Compress(buffer.data(), 4, buffer.data(), &zero),
      // The length is checked before anything is read.
      lzs_.Compress(buffer.data(), CLZS::kMaxUncompressedLength + 1, buffer.data(), &length),
      lzs_.Decompress(nullptr, 4, buffer.data(), &length),
      lzs_.Decompress(buffer.data(), 4, buffer.data(), &zero)};
  EXPECT_THAT(statuses, ::testing::Each(kObBadArgument));
}

}  // namespace
}  // namespace OBRuntime
