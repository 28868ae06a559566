// Writes a minidump (the "MDMP" container minidump tools read) for a thread that took a fatal
// signal, from inside the signal handler.
//
// Streams: system information, the exception (Windows exception code, the faulting instruction,
// parameters [access type, fault address, signal, si_code]), the faulting thread with its CPU
// context (the x86-64 CONTEXT layout) and up to kMaxStackBytes of its stack from just below the
// stack pointer, a memory list naming that stack, the process id, and the module list: every
// file mapped with an executable segment in /proc/self/maps, base at its first mapping, with
// its GNU build id as a CodeView record ("BpEL" followed by the id) when it has one. Other
// threads are not captured: an in-process writer cannot read their registers. On other
// architectures the thread has no context and no stack.
//
// WriteMiniDump is async-signal-safe: it reads /proc/self/maps and writes the file with system
// calls only, into storage prepared beforehand (MiniDumpScratch, SystemSnapshot). Memory is
// copied by the kernel (pwrite from the process's own pages), so a bad stack pointer leaves
// zeros in the dump instead of a second fault.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <ucontext.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/status.h"

namespace orv::crash {

inline constexpr std::uint32_t kMiniDumpSignature = 0x504D444D;  // "MDMP"
inline constexpr std::uint32_t kMiniDumpVersion = 0xA793;
inline constexpr std::uint32_t kThreadListStream = 3;
inline constexpr std::uint32_t kModuleListStream = 4;
inline constexpr std::uint32_t kMemoryListStream = 5;
inline constexpr std::uint32_t kExceptionStream = 6;
inline constexpr std::uint32_t kSystemInfoStream = 7;
inline constexpr std::uint32_t kMiscInfoStream = 15;
inline constexpr std::uint32_t kPlatformLinux = 0x8201;
inline constexpr std::uint32_t kCvSignatureElf = 0x4270454C;  // "BpEL"
inline constexpr std::size_t kMaxBuildIdBytes = 64;
inline constexpr std::uint16_t kArchitectureAmd64 = 9;
inline constexpr std::uint16_t kArchitectureUnknown = 0xFFFF;
inline constexpr std::size_t kAmd64ContextSize = 1232;
inline constexpr std::size_t kMaxStackBytes = 256 * 1024;
// Bytes below the stack pointer a leaf function may use (the x86-64 red zone).
inline constexpr std::uint64_t kRedZoneBytes = 128;

// What a dump says about the machine; gathered once, before any fault (GatherSystemSnapshot).
struct SystemSnapshot {
  std::uint16_t processor_architecture = kArchitectureUnknown;
  std::uint16_t processor_level = 0;     // CPU family
  std::uint16_t processor_revision = 0;  // model << 8 | stepping
  std::uint8_t processor_count = 0;
  std::uint32_t major_version = 0;  // kernel release "6.1.0" → 6, 1, 0
  std::uint32_t minor_version = 0;
  std::uint32_t build_number = 0;
  std::array<std::uint32_t, 3> vendor_id{};  // CPUID leaf 0 (EBX, EDX, ECX)
  std::uint32_t version_information = 0;     // CPUID leaf 1 EAX
  std::uint32_t feature_information = 0;     // CPUID leaf 1 EDX
  std::uint32_t amd_extended_features = 0;   // CPUID 0x80000001 ECX on AMD processors
  std::array<char, 256> description{};       // kernel release, version and machine, terminated
};

// Reads the CPU, kernel and processor count; not for use inside a signal handler.
[[nodiscard]] SystemSnapshot GatherSystemSnapshot();

// The interrupted stack pointer; 0 without a context or on architectures not described here.
[[nodiscard]] std::uint64_t StackPointerOf(const ucontext_t* context) noexcept;

// What the handler knows about the fault.
struct CrashContext {
  int signal = 0;
  const siginfo_t* info = nullptr;      // may be null
  const ucontext_t* context = nullptr;  // may be null
  std::uint32_t exception_code = 0;
  pid_t process_id = 0;
  pid_t thread_id = 0;
  std::int64_t time = 0;        // seconds since 1970, UTC
  std::uint64_t dump_type = 0;  // the header's flags
};

// Storage the writer needs, allocated before any fault. Not shared: one dump at a time.
struct MiniDumpScratch {
  static constexpr std::size_t kMaxModules = 1024;
  static constexpr std::size_t kNamePoolBytes = 256 * 1024;
  static constexpr std::size_t kLineBytes = 8192;

  struct Module {
    std::uint64_t base;
    std::uint64_t end;
    std::uint32_t name_offset;  // into names
    std::uint32_t name_length;  // bytes of UTF-8, no terminator
    bool starts_at_file_start;  // the first mapping has file offset 0 (the ELF header)
  };

  std::array<Module, kMaxModules> modules;
  std::array<char, kNamePoolBytes> names;
  std::array<char, kLineBytes> line;
  std::array<std::uint16_t, kLineBytes> utf16;
  std::array<char, 4096> read_buffer;
  std::array<std::uint8_t, 4096> elf_buffer;
};

// Writes the dump to fd (a new, empty, writable file); on failure error holds the errno of the
// first write that failed. Async-signal-safe.
[[nodiscard]] OB_STATUSCODE WriteMiniDump(int fd, const CrashContext& crash,
                                          const SystemSnapshot& system, MiniDumpScratch& scratch,
                                          int& error) noexcept;

namespace internal {

// One line of /proc/<pid>/maps.
struct MapsEntry {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool executable = false;
  std::uint64_t offset = 0;
  const char* path = nullptr;  // into the line; empty for anonymous mappings
  std::size_t path_length = 0;
};

// Parses "start-end perms offset dev inode [path]"; false for anything else (start >= end too).
[[nodiscard]] bool ParseMapsLine(const char* line, std::size_t length, MapsEntry& entry) noexcept;

// The GNU build id of the ELF image mapped at base, read through process_vm_readv so that an
// unreadable or malformed image yields nothing instead of a fault; returns its length (0: none,
// or longer than kMaxBuildIdBytes). buffer is working space. Async-signal-safe.
[[nodiscard]] std::size_t ReadBuildId(std::uint64_t base, std::span<std::uint8_t> buffer,
                                      std::array<std::uint8_t, kMaxBuildIdBytes>& id) noexcept;

// UTF-16 form of UTF-8 bytes into out (ill-formed sequences become U+FFFD); returns the units
// written, at most out_capacity.
[[nodiscard]] std::size_t Utf8ToUtf16(const char* text, std::size_t length, std::uint16_t* out,
                                      std::size_t out_capacity) noexcept;

}  // namespace internal
}  // namespace orv::crash
