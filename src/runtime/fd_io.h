// Whole-buffer reads and writes on a file descriptor, retrying interruptions and short transfers.
#pragma once

#include <cstddef>

namespace OBRuntime {

// Reads exactly length bytes. False at end of file (errno 0) or on an error (errno set).
[[nodiscard]] bool ReadAll(int fd, void* bytes, std::size_t length);
// Writes all length bytes. False on an error (errno set) or when a write makes no progress
// (errno 0).
[[nodiscard]] bool WriteAll(int fd, const void* bytes, std::size_t length);

}  // namespace OBRuntime
