// LZS (ANSI X3.241) compression of byte buffers, as the flow cache stores its records.
//
// Block layout: the tag "LZS1", the uncompressed length as a little-endian u32, then the LZS
// bitstream (2048-byte window, most significant bit first) closed by the end marker and zero
// padding to a byte boundary. The header lets Decompress name the size it needs before decoding
// and refuse data that is not a block of ours, such as an uncompressed "ORVN" record.
//
// Both operations accept in == out (and any other overlap): they work in a scratch buffer owned
// by the object and touch the output only on success. Uncompressed lengths above
// kMaxUncompressedLength are refused. A CLZS object serves one thread at a time; give each thread
// its own object.
#pragma once

#include <cstdint>
#include <memory>

#include "common/status.h"

namespace OBRuntime {
namespace internal {
class LzsMatchFinder;
}  // namespace internal

class CLZS {
 public:
  // Largest uncompressed length either direction accepts.
  static constexpr std::uint32_t kMaxUncompressedLength = 64U << 20;
  // Size of the block header ("LZS1" and the uncompressed length).
  static constexpr std::uint32_t kHeaderLength = 8;

  CLZS();
  ~CLZS();
  CLZS(const CLZS&) = delete;
  CLZS& operator=(const CLZS&) = delete;

  // Compresses in_length bytes of in into a block at out. *out_length is the capacity on entry
  // and the block length on success. kObBufferTooSmall when the block does not fit: out is left
  // untouched and *out_length tells the size needed. kObBadArgument for null pointers, zero
  // capacity or in_length above kMaxUncompressedLength; in may be null only when in_length is 0.
  [[nodiscard]] OB_STATUSCODE Compress(const std::uint8_t* in, std::uint32_t in_length,
                                       std::uint8_t* out, std::uint32_t* out_length);

  // Decodes a block made by Compress from in into out. *out_length is the capacity on entry and
  // the uncompressed length on success. kObBufferTooSmall when the stated length exceeds the
  // capacity: out is left untouched and *out_length tells the size needed. kObBadArgument, out
  // untouched, for null pointers, zero capacity or anything that is not a well-formed block.
  [[nodiscard]] OB_STATUSCODE Decompress(const std::uint8_t* in, std::uint32_t in_length,
                                         std::uint8_t* out, std::uint32_t* out_length);

 private:
  // Makes the scratch buffer at least size bytes; false (logged) when memory runs out.
  [[nodiscard]] bool ReserveScratch(std::size_t size);
  // Gives back a scratch buffer that an unusually large call left behind.
  void TrimScratch();

  std::unique_ptr<internal::LzsMatchFinder> finder_;
  std::unique_ptr<std::uint8_t[]> scratch_;  // null until the first call that needs it
  std::size_t scratch_size_ = 0;
};

}  // namespace OBRuntime
