#include "runtime/lzs.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <new>

#include "runtime/byte_order.h"
#include "runtime/logger.h"

namespace OBRuntime {
namespace {

constexpr std::uint8_t kTag[4] = {'L', 'Z', 'S', '1'};
constexpr std::uint32_t kMaxOffset = 2047;  // the window is 2048 bytes; offset 0 is not a match
constexpr std::uint32_t kShortOffsetLimit = 128;
// A token can describe at most 15 bytes per 4 bits (one 1111 length group), so a block whose
// bitstream has b bytes never holds more than 30 * b bytes; 32 * b is a safe ceiling.
constexpr std::uint64_t kMaxExpansion = 32;
// Spare bytes behind the decoder's output so that match copies may run in 8-byte chunks.
constexpr std::size_t kSlack = 16;
// Scratch buffers above this size are released after the call that needed them.
constexpr std::size_t kRetainedScratch = 1U << 20;

constexpr unsigned kHashBits = 12;
// Chain steps per position: enough to find most matches in records, bounded for speed.
constexpr unsigned kMaxChain = 16;
// A match this long is taken without looking further down the chain.
constexpr std::size_t kGoodMatch = 32;

std::uint64_t LoadBe64(const std::uint8_t* p) {
  std::uint64_t value;
  std::memcpy(&value, p, sizeof(value));
  return std::endian::native == std::endian::little ? __builtin_bswap64(value) : value;
}

std::uint64_t LoadNative64(const std::uint8_t* p) {
  std::uint64_t value;
  std::memcpy(&value, p, sizeof(value));
  return value;
}

void StoreBe32(std::uint8_t* p, std::uint32_t value) {
  if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap32(value);
  std::memcpy(p, &value, sizeof(value));
}

// Largest block Compress can make from n bytes: every token costs at most 9 bits per byte it
// covers, plus the 9-bit end marker and padding.
std::size_t MaxBlockLength(std::size_t n) { return CLZS::kHeaderLength + (9 * n + 9 + 7) / 8; }

// Most-significant-first bit writer with a 64-bit accumulator; flushes 32 bits at a time.
class BitWriter {
 public:
  explicit BitWriter(std::uint8_t* out) : out_(out) {}

  // Appends the low count bits of bits; count <= 32.
  void Put(std::uint32_t bits, unsigned count) {
    acc_ = (acc_ << count) | bits;
    count_ += count;
    if (count_ >= 32) {
      count_ -= 32;
      StoreBe32(out_, static_cast<std::uint32_t>(acc_ >> count_));
      out_ += 4;
    }
  }

  void PutLiteral(std::uint8_t byte) { Put(byte, 9); }

  void PutMatch(std::uint32_t offset, std::size_t length) {
    const std::uint32_t head =
        offset < kShortOffsetLimit ? (0x3U << 7) | offset : (0x2U << 11) | offset;
    const unsigned head_bits = offset < kShortOffsetLimit ? 9 : 13;
    if (length < 5) {
      Put(head << 2 | static_cast<std::uint32_t>(length - 2), head_bits + 2);
    } else if (length < 8) {
      Put(head << 4 | 0xC | static_cast<std::uint32_t>(length - 5), head_bits + 4);
    } else {
      Put(head << 4 | 0xF, head_bits + 4);
      PutLengthGroups(length - 8);
    }
  }

  // Writes the end marker and zero padding; returns one past the last byte written.
  std::uint8_t* Finish() {
    Put(0x180, 9);  // 1, 1, seven-bit offset 0
    Put(0, (8 - count_ % 8) % 8);
    while (count_ > 0) {
      count_ -= 8;
      *out_++ = static_cast<std::uint8_t>(acc_ >> count_);
    }
    return out_;
  }

 private:
  // Lengths of 8 and more: groups of 1111 for each 15, then a final group below 1111.
  void PutLengthGroups(std::size_t rest) {
    constexpr std::size_t kGroupsPerPut = 7;
    while (rest >= 15 * kGroupsPerPut) {
      Put(0x0FFFFFFF, 4 * kGroupsPerPut);
      rest -= 15 * kGroupsPerPut;
    }
    while (rest >= 15) {
      Put(0xF, 4);
      rest -= 15;
    }
    Put(static_cast<std::uint32_t>(rest), 4);
  }

  std::uint8_t* out_;
  std::uint64_t acc_ = 0;
  unsigned count_ = 0;  // bits in acc_ not yet stored; below 32 between calls
};

// Bit reader over the whole input; reads past the end give zero bits and mark an overrun.
class BitReader {
 public:
  BitReader(const std::uint8_t* data, std::size_t length)
      : data_(data), length_(length), limit_(static_cast<std::uint64_t>(length) * 8) {}

  // At least 57 bits from the current position, the next bit in bit 63.
  [[nodiscard]] std::uint64_t Peek() const {
    const std::size_t byte = static_cast<std::size_t>(position_ >> 3);
    const std::uint64_t window = byte + 8 <= length_ ? LoadBe64(data_ + byte) : LoadTail(byte);
    return window << (position_ & 7);
  }
  void Skip(unsigned bits) { position_ += bits; }
  // True once the reader consumed bits beyond the input.
  [[nodiscard]] bool Overrun() const { return position_ > limit_; }
  // Bits left in the input; valid only without an overrun.
  [[nodiscard]] std::uint64_t Remaining() const { return limit_ - position_; }

 private:
  [[nodiscard]] std::uint64_t LoadTail(std::size_t byte) const {
    std::uint64_t window = 0;
    for (std::size_t i = 0; i < 8; ++i) {
      window <<= 8;
      if (byte + i < length_) window |= data_[byte + i];
    }
    return window;
  }

  const std::uint8_t* data_;
  std::size_t length_;
  std::uint64_t limit_;
  std::uint64_t position_ = 0;
};

enum class DecodeError {
  kNone,
  kEndsEarly,
  kZeroOffset,
  kOffsetBeforeStart,
  kTooLong,
  kTooShort,
  kDataAfterEnd,
};

struct DecodeResult {
  DecodeError error;
  std::size_t produced;      // output bytes decoded when the decoder stopped
  std::uint32_t offset = 0;  // the offending offset for kOffsetBeforeStart
};

// Copies a match; dst must have 7 spare bytes behind dst + length.
void CopyMatch(std::uint8_t* dst, std::size_t offset, std::size_t length) {
  const std::uint8_t* src = dst - offset;
  if (offset >= 8) {
    // Each 8-byte chunk reads only bytes written before it.
    const std::uint8_t* end = dst + length;
    do {
      std::memcpy(dst, src, 8);
      dst += 8;
      src += 8;
    } while (dst < end);
  } else if (offset == 1) {
    std::memset(dst, *src, length);
  } else {
    for (std::size_t i = 0; i < length; ++i) dst[i] = src[i];
  }
}

// Length code after the offset, from the top four bits of the window: {length, bits used}.
// 15 (1111) means 8 plus length groups.
constexpr std::array<std::array<std::uint8_t, 2>, 16> kLengthCodes = {{
    {2, 2},
    {2, 2},
    {2, 2},
    {2, 2},
    {3, 2},
    {3, 2},
    {3, 2},
    {3, 2},
    {4, 2},
    {4, 2},
    {4, 2},
    {4, 2},
    {5, 4},
    {6, 4},
    {7, 4},
    {8, 4},
}};

// Reads the 4-bit groups that follow a 1111 length code; false when the length passes limit.
bool ReadLengthGroups(BitReader& reader, std::size_t limit, std::size_t& length) {
  for (;;) {
    std::uint64_t window = reader.Peek();
    for (int group = 0; group < 14; ++group) {
      const unsigned value = static_cast<unsigned>(window >> 60);
      window <<= 4;
      reader.Skip(4);
      length += value;
      if (value != 15) return length <= limit;
      if (length > limit) return false;
    }
  }
}

// Decodes the bitstream into out, which holds length bytes plus kSlack spare. Past the input the
// reader sees zero bits, so every failure is first checked for having run out of input.
DecodeResult DecodeStream(const std::uint8_t* in, std::size_t in_length, std::uint8_t* out,
                          std::size_t length) {
  BitReader reader(in, in_length);
  std::size_t pos = 0;
  const auto fail = [&](DecodeError error, std::uint32_t offset = 0) {
    return DecodeResult{reader.Overrun() ? DecodeError::kEndsEarly : error, pos, offset};
  };
  for (;;) {
    if (reader.Overrun()) return fail(DecodeError::kEndsEarly);
    const std::uint64_t window = reader.Peek();
    if ((window >> 63) == 0) {
      reader.Skip(9);
      if (pos == length) return fail(DecodeError::kTooLong);
      out[pos++] = static_cast<std::uint8_t>(window >> 55);
      continue;
    }
    std::uint32_t offset;
    unsigned used;
    if ((window >> 62) & 1) {
      offset = static_cast<std::uint32_t>(window >> 55) & 0x7F;
      used = 9;
      if (offset == 0) {
        reader.Skip(used);
        break;
      }
    } else {
      offset = static_cast<std::uint32_t>(window >> 51) & 0x7FF;
      used = 13;
      if (offset == 0) return fail(DecodeError::kZeroOffset);
    }
    const auto& code = kLengthCodes[(window << used) >> 60];
    std::size_t match_length = code[0];
    reader.Skip(used + code[1]);
    if (offset > pos) return fail(DecodeError::kOffsetBeforeStart, offset);
    const std::size_t room = length - pos;
    if (match_length == 8 && !ReadLengthGroups(reader, room, match_length)) {
      return fail(DecodeError::kTooLong);
    }
    if (match_length > room) return fail(DecodeError::kTooLong);
    CopyMatch(out + pos, offset, match_length);
    pos += match_length;
  }
  if (reader.Overrun()) return fail(DecodeError::kEndsEarly);
  if (pos != length) return fail(DecodeError::kTooShort);
  // Only zero padding up to the byte boundary may follow the end marker.
  const std::uint64_t rest = reader.Remaining();
  if (rest >= 8 || (rest > 0 && (reader.Peek() >> (64 - rest)) != 0)) {
    return fail(DecodeError::kDataAfterEnd);
  }
  return {DecodeError::kNone, pos, 0};
}

void LogDecodeError(const DecodeResult& result, std::uint32_t stated) {
  constexpr const char* kFunction = "CLZS::Decompress";
  switch (result.error) {
    case DecodeError::kEndsEarly:
      OB_LOG_AS(LOG_WARNING, kFunction,
                "Corrupt LZS block: the bitstream ends without an end marker after %zu of %u bytes",
                result.produced, stated);
      break;
    case DecodeError::kZeroOffset:
      OB_LOG_AS(LOG_WARNING, kFunction, "Corrupt LZS block: offset 0 at output byte %zu",
                result.produced);
      break;
    case DecodeError::kOffsetBeforeStart:
      OB_LOG_AS(LOG_WARNING, kFunction,
                "Corrupt LZS block: offset %u at output byte %zu reaches before the start",
                result.offset, result.produced);
      break;
    case DecodeError::kTooLong:
      OB_LOG_AS(LOG_WARNING, kFunction, "Corrupt LZS block: output longer than the stated %u bytes",
                stated);
      break;
    case DecodeError::kTooShort:
      OB_LOG_AS(LOG_WARNING, kFunction,
                "Corrupt LZS block: end marker after %zu of the stated %u bytes", result.produced,
                stated);
      break;
    case DecodeError::kDataAfterEnd:
      OB_LOG_AS(LOG_WARNING, kFunction, "Corrupt LZS block: data after the end marker");
      break;
    case DecodeError::kNone:
      break;
  }
}

}  // namespace

namespace internal {

// Hash-chain match finder over 3-byte prefixes. Positions are stored as base + index so that a
// new call invalidates the previous call's entries by raising base instead of clearing the
// table; the table is cleared only when the counter would wrap.
class LzsMatchFinder {
 public:
  struct Match {
    std::size_t length;
    std::uint32_t offset;
  };

  // Prepares for an input of n bytes.
  void Begin(std::size_t n) {
    if (next_base_ > std::numeric_limits<std::uint32_t>::max() - n - 1) {
      head_.fill(0);
      next_base_ = 1;
    }
    base_ = next_base_;
    next_base_ += static_cast<std::uint32_t>(n);
  }

  // Records position pos (pos + 3 <= n) and returns the previous head of its chain.
  std::uint32_t Insert(const std::uint8_t* in, std::size_t pos) {
    const std::uint32_t key = base_ + static_cast<std::uint32_t>(pos);
    std::uint32_t& head = head_[Hash(in + pos)];
    const std::uint32_t previous = head;
    prev_[key & kMaxOffset] = previous;
    head = key;
    return previous;
  }

  // Longest match for pos among the last kMaxOffset bytes (nearest first on ties); records pos.
  Match Find(const std::uint8_t* in, std::size_t pos, std::size_t n) {
    const std::uint32_t key = base_ + static_cast<std::uint32_t>(pos);
    std::uint32_t candidate = Insert(in, pos);
    const std::size_t max_length = n - pos;
    Match best{0, 0};
    for (unsigned step = 0; step < kMaxChain; ++step) {
      if (candidate < base_ || key - candidate > kMaxOffset) break;
      const std::uint8_t* match = in + (candidate - base_);
      if (match[best.length] == in[pos + best.length]) {
        const std::size_t length = MatchLength(match, in + pos, max_length);
        if (length > best.length) {
          best = {length, key - candidate};
          if (length >= kGoodMatch || length == max_length) break;
        }
      }
      candidate = prev_[candidate & kMaxOffset];
    }
    return best;
  }

 private:
  static std::uint32_t Hash(const std::uint8_t* p) {
    const std::uint32_t v =
        p[0] | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16;
    return (v * 2654435761U) >> (32 - kHashBits);
  }

  static std::size_t MatchLength(const std::uint8_t* a, const std::uint8_t* b, std::size_t max) {
    std::size_t length = 0;
    while (length + 8 <= max) {
      const std::uint64_t diff = LoadNative64(a + length) ^ LoadNative64(b + length);
      if (diff != 0) {
        const int bits = std::endian::native == std::endian::little ? std::countr_zero(diff)
                                                                    : std::countl_zero(diff);
        return length + static_cast<std::size_t>(bits) / 8;
      }
      length += 8;
    }
    while (length < max && a[length] == b[length]) ++length;
    return length;
  }

  std::array<std::uint32_t, std::size_t{1} << kHashBits> head_{};
  std::array<std::uint32_t, kMaxOffset + 1> prev_{};  // chain links, indexed by key % 2048
  std::uint32_t base_ = 1;  // key of position 0 in the current call; keys below are stale
  std::uint32_t next_base_ = 1;
};

}  // namespace internal

namespace {

// Greedy LZS encoding of in into out (room for MaxBlockLength(n) less the header);
// returns the bytes written.
std::size_t EncodeStream(internal::LzsMatchFinder& finder, const std::uint8_t* in, std::size_t n,
                         std::uint8_t* out) {
  BitWriter writer(out);
  finder.Begin(n);
  const std::size_t hashed_end = n >= 3 ? n - 2 : 0;  // positions with 3 bytes to hash
  std::size_t pos = 0;
  while (pos < hashed_end) {
    const auto match = finder.Find(in, pos, n);
    if (match.length < 2) {
      writer.PutLiteral(in[pos++]);
      continue;
    }
    writer.PutMatch(match.offset, match.length);
    const std::size_t end = pos + match.length;
    for (++pos; pos < std::min(end, hashed_end); ++pos) finder.Insert(in, pos);
    pos = end;
  }
  for (; pos < n; ++pos) writer.PutLiteral(in[pos]);
  return static_cast<std::size_t>(writer.Finish() - out);
}

}  // namespace

CLZS::CLZS() : finder_(std::make_unique<internal::LzsMatchFinder>()) {}

CLZS::~CLZS() = default;

OB_STATUSCODE CLZS::Compress(const std::uint8_t* in, std::uint32_t in_length, std::uint8_t* out,
                             std::uint32_t* out_length) {
  if (out == nullptr || out_length == nullptr || *out_length == 0 ||
      (in == nullptr && in_length != 0)) {
    OB_LOG_WARN("Null buffer or zero capacity");
    return kObBadArgument;
  }
  if (in_length > kMaxUncompressedLength) {
    OB_LOG_WARN("Input of %u bytes is above the %u-byte limit", in_length, kMaxUncompressedLength);
    return kObBadArgument;
  }
  if (!ReserveScratch(MaxBlockLength(in_length))) return kObOutOfMemory;
  std::memcpy(scratch_.get(), kTag, sizeof(kTag));
  StoreLe<std::uint32_t>(scratch_.get() + 4, in_length);
  const std::size_t total =
      kHeaderLength + EncodeStream(*finder_, in, in_length, scratch_.get() + kHeaderLength);
  const auto needed = static_cast<std::uint32_t>(total);
  OB_STATUSCODE status = kObSuccess;
  if (needed > *out_length) {
    OB_LOG_DEBUG("Compressed form needs %u bytes, capacity %u", needed, *out_length);
    status = kObBufferTooSmall;
  } else {
    std::memcpy(out, scratch_.get(), total);
  }
  *out_length = needed;
  TrimScratch();
  return status;
}

OB_STATUSCODE CLZS::Decompress(const std::uint8_t* in, std::uint32_t in_length, std::uint8_t* out,
                               std::uint32_t* out_length) {
  if (in == nullptr || out == nullptr || out_length == nullptr || *out_length == 0) {
    OB_LOG_WARN("Null buffer or zero capacity");
    return kObBadArgument;
  }
  if (in_length < kHeaderLength || std::memcmp(in, kTag, sizeof(kTag)) != 0) {
    OB_LOG_DEBUG("Not an LZS block (%u bytes, first bytes %02x %02x %02x %02x)", in_length,
                 in_length > 0 ? in[0] : 0, in_length > 1 ? in[1] : 0, in_length > 2 ? in[2] : 0,
                 in_length > 3 ? in[3] : 0);
    return kObBadArgument;
  }
  const std::uint32_t stated = LoadLe<std::uint32_t>(in + 4);
  const std::uint64_t payload = in_length - kHeaderLength;
  if (stated > kMaxUncompressedLength || stated > kMaxExpansion * payload) {
    OB_LOG_WARN("Corrupt LZS block: %llu bytes of bitstream cannot hold the stated %u bytes",
                static_cast<unsigned long long>(payload), stated);
    return kObBadArgument;
  }
  if (stated > *out_length) {
    OB_LOG_DEBUG("Decompressed form needs %u bytes, capacity %u", stated, *out_length);
    *out_length = stated;
    return kObBufferTooSmall;
  }
  if (!ReserveScratch(std::size_t{stated} + kSlack)) return kObOutOfMemory;
  const DecodeResult result =
      DecodeStream(in + kHeaderLength, in_length - kHeaderLength, scratch_.get(), stated);
  if (result.error != DecodeError::kNone) {
    LogDecodeError(result, stated);
    TrimScratch();
    return kObBadArgument;
  }
  std::memcpy(out, scratch_.get(), stated);
  *out_length = stated;
  TrimScratch();
  return kObSuccess;
}

bool CLZS::ReserveScratch(std::size_t size) {
  if (size <= scratch_size_) return true;
  constexpr std::size_t kGranule = 4096;
  const std::size_t rounded = (size + kGranule - 1) / kGranule * kGranule;
  scratch_.reset();
  scratch_size_ = 0;
  try {
    scratch_ = std::make_unique_for_overwrite<std::uint8_t[]>(rounded);
  } catch (const std::bad_alloc&) {
    OB_LOG_ERROR("Unable to allocate %zu bytes of scratch space", rounded);
    return false;
  }
  scratch_size_ = rounded;
  return true;
}

void CLZS::TrimScratch() {
  if (scratch_size_ > kRetainedScratch) {
    scratch_.reset();
    scratch_size_ = 0;
  }
}

}  // namespace OBRuntime
