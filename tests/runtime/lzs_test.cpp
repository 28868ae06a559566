#include "runtime/lzs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/log_capture.h"

namespace OBRuntime {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(const std::string& text) { return {text.begin(), text.end()}; }

// Packs a string of '0' and '1' (spaces ignored), most significant bit first, zero padded.
Bytes PackBits(const std::string& bits) {
  Bytes out;
  int used = 0;
  for (char bit : bits) {
    if (bit == ' ') continue;
    if (used % 8 == 0) out.push_back(0);
    if (bit == '1') out.back() |= static_cast<std::uint8_t>(0x80 >> (used % 8));
    ++used;
  }
  return out;
}

std::string BitsOf(std::uint32_t value, int count) {
  std::string bits;
  for (int i = count - 1; i >= 0; --i) bits += ((value >> i) & 1) ? '1' : '0';
  return bits;
}

std::string Literal(char c) { return "0 " + BitsOf(static_cast<std::uint8_t>(c), 8) + " "; }

constexpr const char* kEndMarker = "1 1 0000000";

Bytes Block(std::uint32_t stated, const Bytes& stream) {
  Bytes block = Text("LZS1");
  for (int i = 0; i < 4; ++i) block.push_back(static_cast<std::uint8_t>(stated >> (8 * i)));
  block.insert(block.end(), stream.begin(), stream.end());
  return block;
}

Bytes BitBlock(std::uint32_t stated, const std::string& bits) {
  return Block(stated, PackBits(bits));
}

// Bit-by-bit LZS decoder kept as simple as possible, to check the encoder independently.
class ReferenceDecoder {
 public:
  explicit ReferenceDecoder(const Bytes& stream) : stream_(stream) {}

  // The decoded bytes, or nothing when the stream is malformed or not fully used.
  std::optional<Bytes> Decode() {
    Bytes out;
    for (;;) {
      if (!ok_) return std::nullopt;
      if (Read(1) == 0) {
        out.push_back(static_cast<std::uint8_t>(Read(8)));
        continue;
      }
      std::uint32_t offset = Read(1) == 1 ? Read(7) : Read(11);
      if (offset == 0) break;
      std::size_t length = ReadLength();
      if (!ok_ || offset > out.size()) return std::nullopt;
      while (length-- > 0) out.push_back(out[out.size() - offset]);
    }
    const bool padded = bit_ % 8 == 0 || Read(8 - bit_ % 8) == 0;
    if (!ok_ || !padded || bit_ != stream_.size() * 8) return std::nullopt;
    return out;
  }

 private:
  std::uint32_t Read(int count) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
      if (bit_ >= stream_.size() * 8) ok_ = false;
      const int bit = ok_ ? (stream_[bit_ / 8] >> (7 - bit_ % 8)) & 1 : 0;
      value = value << 1 | static_cast<std::uint32_t>(bit);
      ++bit_;
    }
    return value;
  }

  std::size_t ReadLength() {
    const std::uint32_t two = Read(2);
    if (two < 3) return 2 + two;
    const std::uint32_t four = Read(2);
    if (four < 3) return 5 + four;
    std::size_t length = 8;
    for (std::uint32_t group = Read(4); ok_; group = Read(4)) {
      length += group;
      if (group < 15) break;
    }
    return length;
  }

  const Bytes& stream_;
  std::size_t bit_ = 0;
  bool ok_ = true;
};

Bytes RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

// Repetitive data with matches at every distance class: words, UTF-16 text, counters, runs.
Bytes StructuredBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  const std::string words[] = {"ORVN", "firefox", "192.168.1.", "example.com", "\\", "alice"};
  Bytes bytes;
  while (bytes.size() < size) {
    switch (random() % 5) {
      case 0:
        bytes.insert(bytes.end(), 1 + random() % 40, static_cast<std::uint8_t>(random() % 3));
        break;
      case 1:
        for (char c : words[random() % 6])
          bytes.insert(bytes.end(), {static_cast<std::uint8_t>(c), 0});
        break;
      case 2:
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(random() >> (8 * i)));
        break;
      default: {
        const std::string& word = words[random() % 6];
        bytes.insert(bytes.end(), word.begin(), word.end());
      }
    }
  }
  bytes.resize(size);
  return bytes;
}

class CLZSTest : public ::testing::Test {
 protected:
  // Compresses into a fresh buffer of the given capacity (default: ample).
  Bytes Compress(const Bytes& input) {
    Bytes block(input.size() * 2 + 64);
    auto length = static_cast<std::uint32_t>(block.size());
    EXPECT_EQ(lzs_.Compress(input.data(), static_cast<std::uint32_t>(input.size()), block.data(),
                            &length),
              kObSuccess);
    block.resize(length);
    return block;
  }

  // Decompresses with the given capacity; the output vector is sized to what was written.
  OB_STATUSCODE Decompress(const Bytes& block, Bytes& out, std::uint32_t capacity) {
    out.assign(capacity, 0xEE);
    std::uint32_t length = capacity;
    const OB_STATUSCODE status = lzs_.Decompress(
        block.data(), static_cast<std::uint32_t>(block.size()), out.data(), &length);
    if (status == kObSuccess) out.resize(length);
    reported_ = length;
    return status;
  }

  CLZS lzs_;
  std::uint32_t reported_ = 0;
};

TEST_F(CLZSTest, DecodesHandBuiltBitstreams) {
  const std::string x = Literal('x');
  // Offset 1 after one literal: each length code yields 1 + length copies of 'x'.
  const std::pair<std::size_t, std::string> kLengths[] = {
      {2, "00"},
      {3, "01"},
      {4, "10"},
      {5, "1100"},
      {7, "1110"},
      {8, "1111 0000"},
      {22, "1111 1110"},
      {23, "1111 1111 0000"},
      {37, "1111 1111 1110"},
      {38, "1111 1111 1111 0000"},
  };
  for (const auto& [length, code] : kLengths) {
    SCOPED_TRACE(length);
    Bytes out;
    const Bytes block = BitBlock(static_cast<std::uint32_t>(length + 1),
                                 x + "1 1 0000001 " + code + " " + kEndMarker);
    ASSERT_EQ(Decompress(block, out, 100), kObSuccess);
    EXPECT_EQ(out, Bytes(length + 1, 'x'));
  }

  struct Case {
    const char* name;
    std::string bits;
    std::string expected;
  };
  std::string long_prefix;
  std::string long_bits;
  for (int i = 0; i < 200; ++i) {
    const char c = static_cast<char>('a' + i % 26);
    long_prefix += c;
    long_bits += Literal(c);
  }
  const Case kCases[] = {
      {"literals only", Literal('A') + Literal('B') + Literal('C') + kEndMarker, "ABC"},
      {"empty", kEndMarker, ""},
      {"short offset", Literal('A') + Literal('B') + "1 1 0000010 10 " + kEndMarker, "ABABAB"},
      {"long offset", long_bits + "1 0 00011001000 01 " + kEndMarker, long_prefix + "abc"},
      {"small offset in long form", Literal('q') + "1 0 00000000001 00 " + kEndMarker, "qqq"},
      {"overlapping copy",
       Literal('a') + Literal('b') + Literal('c') + "1 1 0000011 1110 " + kEndMarker, "abcabcabca"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Bytes out;
    ASSERT_EQ(Decompress(BitBlock(static_cast<std::uint32_t>(c.expected.size()), c.bits), out, 512),
              kObSuccess);
    EXPECT_EQ(out, Text(c.expected));
  }
}

TEST_F(CLZSTest, CompressedStreamDecodesByReferenceDecoder) {
  const Bytes kInputs[] = {
      Bytes{},
      Text("a"),
      Text("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"),
      Text("ORVN ORVN ORVI the quick brown fox jumps over the lazy dog; the quick brown fox"),
      StructuredBytes(5000, 1),
      RandomBytes(3000, 2),
      Bytes(4000, 0),
  };
  for (const Bytes& input : kInputs) {
    SCOPED_TRACE(input.size());
    const Bytes block = Compress(input);
    ASSERT_GE(block.size(), CLZS::kHeaderLength);
    EXPECT_EQ(Bytes(block.begin(), block.begin() + 4), Text("LZS1"));
    const std::uint32_t stated = block[4] | block[5] << 8 | block[6] << 16 | block[7] << 24;
    EXPECT_EQ(stated, input.size());
    const Bytes stream(block.begin() + CLZS::kHeaderLength, block.end());
    EXPECT_EQ(ReferenceDecoder(stream).Decode(), input);
  }
  EXPECT_EQ(Compress({}).size(), 10U);                     // header, end marker, padding
  EXPECT_LT(Compress(Bytes(4000, 0)).size(), 4000U / 25);  // a run costs 4 bits per 15 bytes
  EXPECT_LT(Compress(StructuredBytes(5000, 1)).size(), 2500U);
}

TEST_F(CLZSTest, RoundTripsManySizes) {
  // The last size passes the retained scratch size, so the next call allocates afresh.
  const std::size_t kSizes[] = {0,    1,    2,    3,    4,      127,           128,
                                2047, 2048, 2049, 4095, 100000, (1U << 21) + 3};
  for (std::size_t size : kSizes) {
    for (const Bytes& input : {RandomBytes(size, 3), StructuredBytes(size, 4), Bytes(size, 'z')}) {
      SCOPED_TRACE(size);
      const Bytes block = Compress(input);
      EXPECT_LE(block.size(), CLZS::kHeaderLength + (9 * size + 16) / 8);
      Bytes out;
      ASSERT_EQ(Decompress(block, out, static_cast<std::uint32_t>(size + 1)), kObSuccess);
      EXPECT_EQ(out, input);
    }
  }
}

TEST_F(CLZSTest, RoundTripsInPlace) {
  const Bytes input = StructuredBytes(3000, 5);
  Bytes buffer = input;
  auto length = static_cast<std::uint32_t>(buffer.size());
  ASSERT_EQ(lzs_.Compress(buffer.data(), length, buffer.data(), &length), kObSuccess);
  ASSERT_LT(length, input.size());
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), Compress(input));
  auto capacity = static_cast<std::uint32_t>(buffer.size());
  ASSERT_EQ(lzs_.Decompress(buffer.data(), length, buffer.data(), &capacity), kObSuccess);
  EXPECT_EQ(capacity, input.size());
  EXPECT_EQ(buffer, input);
}

TEST_F(CLZSTest, BufferTooSmallLeavesBlockUntouchedAndReportsSize) {
  // Random bytes grow when compressed: an in-place Compress cannot fit.
  const Bytes random = RandomBytes(500, 6);
  Bytes buffer = random;
  auto length = static_cast<std::uint32_t>(buffer.size());
  EXPECT_EQ(lzs_.Compress(buffer.data(), length, buffer.data(), &length), kObBufferTooSmall);
  EXPECT_EQ(buffer, random);
  EXPECT_EQ(length, Compress(random).size());

  // Decompress reports the size needed; growing the block and calling again succeeds.
  const Bytes input = StructuredBytes(2000, 7);
  const Bytes block = Compress(input);
  buffer = block;
  length = static_cast<std::uint32_t>(buffer.size());
  ASSERT_EQ(lzs_.Decompress(buffer.data(), static_cast<std::uint32_t>(block.size()), buffer.data(),
                            &length),
            kObBufferTooSmall);
  EXPECT_EQ(buffer, block);
  ASSERT_EQ(length, input.size());
  buffer.resize(length);
  ASSERT_EQ(lzs_.Decompress(buffer.data(), static_cast<std::uint32_t>(block.size()), buffer.data(),
                            &length),
            kObSuccess);
  EXPECT_EQ(buffer, input);
}

TEST_F(CLZSTest, RejectsMalformedBlocks) {
  struct Case {
    const char* name;
    Bytes block;
    const char* log;
  };
  const std::string abc = Literal('a') + Literal('b') + Literal('c');
  Bytes trailing = BitBlock(3, abc + kEndMarker);
  trailing.push_back(0);
  Bytes above_limit = BitBlock(0, kEndMarker);
  above_limit[7] = 0x08;  // 128 MiB
  Bytes other_tag = BitBlock(3, abc + kEndMarker);
  other_tag[3] = '2';
  const Case kCases[] = {
      {"uncompressed flow record", Text("ORVN\x03 serialised flow record"), "Not an LZS block"},
      {"uncompressed interface record", Text("ORVI\x01 interface"), "Not an LZS block"},
      {"other tag", other_tag, "Not an LZS block"},
      {"shorter than the header", Text("LZS1\x03"), "Not an LZS block"},
      {"header only", Block(0, {}), "without an end marker"},
      {"truncated stream", BitBlock(3, abc), "without an end marker"},
      {"truncated inside a token", Block(3, PackBits(abc + "1 1 00")), "without an end marker"},
      {"offset before the start", BitBlock(4, Literal('a') + "1 1 0000010 00 " + kEndMarker),
       "offset 2 at output byte 1 reaches before the start"},
      {"zero long offset", BitBlock(4, Literal('a') + "1 0 00000000000 00 " + kEndMarker),
       "offset 0"},
      {"longer than stated", BitBlock(2, abc + kEndMarker), "longer than the stated 2 bytes"},
      {"match longer than stated",
       BitBlock(3, Literal('a') + "1 1 0000001 1111 0000 " + kEndMarker),
       "longer than the stated 3 bytes"},
      {"shorter than stated", BitBlock(5, abc + kEndMarker), "end marker after 3 of the stated 5"},
      {"data after the end marker", trailing, "data after the end marker"},
      {"non-zero padding", BitBlock(3, abc + kEndMarker + "1"), "data after the end marker"},
      {"stated length above the limit", above_limit, "cannot hold"},
      {"stated length impossible for the size", Block(1000, PackBits(kEndMarker)), "cannot hold"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    orv::test::LogCapture log;
    Bytes buffer = c.block;
    buffer.resize(c.block.size() + 64, 0xEE);
    const Bytes before = buffer;
    auto length = static_cast<std::uint32_t>(buffer.size());
    EXPECT_EQ(lzs_.Decompress(buffer.data(), static_cast<std::uint32_t>(c.block.size()),
                              buffer.data(), &length),
              kObBadArgument);
    EXPECT_EQ(buffer, before);
    EXPECT_TRUE(log.Contains(c.log));
  }
}

TEST_F(CLZSTest, SurvivesTruncationAndCorruption) {
  const Bytes input = StructuredBytes(3000, 8);
  const Bytes block = Compress(input);
  Bytes out;
  for (std::size_t size = 0; size < block.size(); ++size) {
    const Bytes prefix(block.begin(), block.begin() + size);
    EXPECT_EQ(Decompress(prefix, out, 4000), kObBadArgument) << size;
  }
  std::mt19937 random(9);
  for (int round = 0; round < 2000; ++round) {
    Bytes corrupt = block;
    corrupt[CLZS::kHeaderLength + random() % (corrupt.size() - CLZS::kHeaderLength)] ^=
        static_cast<std::uint8_t>(1 + random() % 255);
    const OB_STATUSCODE status = Decompress(corrupt, out, 4000);
    ASSERT_TRUE(status == kObSuccess || status == kObBadArgument);
    if (status == kObSuccess) {
      EXPECT_EQ(out.size(), input.size());
    }
  }
}

TEST_F(CLZSTest, RejectsBadArguments) {
  Bytes buffer(64);
  std::uint32_t length = 64;
  std::uint32_t zero = 0;
  EXPECT_EQ(lzs_.Compress(nullptr, 4, buffer.data(), &length), kObBadArgument);
  EXPECT_EQ(lzs_.Compress(buffer.data(), 4, nullptr, &length), kObBadArgument);
  EXPECT_EQ(lzs_.Compress(buffer.data(), 4, buffer.data(), nullptr), kObBadArgument);
  EXPECT_EQ(lzs_.Compress(buffer.data(), 4, buffer.data(), &zero), kObBadArgument);
  // The length is checked before anything is read.
  EXPECT_EQ(lzs_.Compress(buffer.data(), CLZS::kMaxUncompressedLength + 1, buffer.data(), &length),
            kObBadArgument);
  const Bytes block = Compress(Text("abc"));
  EXPECT_EQ(lzs_.Decompress(nullptr, 4, buffer.data(), &length), kObBadArgument);
  EXPECT_EQ(
      lzs_.Decompress(block.data(), static_cast<std::uint32_t>(block.size()), nullptr, &length),
      kObBadArgument);
  EXPECT_EQ(
      lzs_.Decompress(block.data(), static_cast<std::uint32_t>(block.size()), buffer.data(), &zero),
      kObBadArgument);
  std::uint32_t empty_capacity = 1;
  const Bytes empty = Compress({});
  EXPECT_EQ(lzs_.Decompress(empty.data(), static_cast<std::uint32_t>(empty.size()), buffer.data(),
                            &empty_capacity),
            kObSuccess);
  EXPECT_EQ(empty_capacity, 0U);
  EXPECT_EQ(lzs_.Compress(nullptr, 0, buffer.data(), &length), kObSuccess);
  EXPECT_EQ(length, 10U);
}

}  // namespace
}  // namespace OBRuntime
