// The exception codes a crash dump records for fatal signals, and their display names.
//
// Dumps keep Windows' exception codes so that minidump tools and the log line read the same on
// every platform: SIGSEGV is an access violation (or a stack overflow when the fault lies just
// below the stack pointer), SIGFPE is told apart by its si_code, SIGTRAP is a breakpoint.
// Everything here is async-signal-safe: constant tables, no allocation.
#pragma once

#include <cstdint>

namespace orv::crash {

inline constexpr std::uint32_t kCodeAccessViolation = 0xC0000005;
inline constexpr std::uint32_t kCodeInPageError = 0xC0000006;
inline constexpr std::uint32_t kCodeInvalidSystemService = 0xC000001C;
inline constexpr std::uint32_t kCodeIllegalInstruction = 0xC000001D;
inline constexpr std::uint32_t kCodeArrayBoundsExceeded = 0xC000008C;
inline constexpr std::uint32_t kCodeFltDivideByZero = 0xC000008E;
inline constexpr std::uint32_t kCodeFltInexactResult = 0xC000008F;
inline constexpr std::uint32_t kCodeFltInvalidOperation = 0xC0000090;
inline constexpr std::uint32_t kCodeFltOverflow = 0xC0000091;
inline constexpr std::uint32_t kCodeFltUnderflow = 0xC0000093;
inline constexpr std::uint32_t kCodeIntDivideByZero = 0xC0000094;
inline constexpr std::uint32_t kCodeIntOverflow = 0xC0000095;
inline constexpr std::uint32_t kCodeStackOverflow = 0xC00000FD;
inline constexpr std::uint32_t kCodeStackBufferOverrun = 0xC0000409;
inline constexpr std::uint32_t kCodeBreakpoint = 0x80000003;

// How far from the stack pointer a SIGSEGV still counts as running off the stack: a frame
// larger than this that overflows is reported as an access violation. Above the pointer too: a
// function that moves the pointer first faults on the first store into its own new frame.
inline constexpr std::uint64_t kStackOverflowReach = 64 * 1024;

// The exception code for a fatal signal; si_code tells SIGFPE kinds apart, and a SIGSEGV whose
// fault address lies within kStackOverflowReach of stack_pointer is a stack overflow. A signal
// this table does not know maps to 0xC0000000 | signal.
[[nodiscard]] std::uint32_t ExceptionCodeForSignal(int signal, int si_code,
                                                   std::uint64_t fault_address,
                                                   std::uint64_t stack_pointer) noexcept;

// The display name of an exception code: the standard names without "EXCEPTION_", the C++
// thrown-object code's note, else the signal's abbreviation ("ABRT", "SYS"), else "UNKNOWN".
// The result is static text.
[[nodiscard]] const char* ExceptionName(std::uint32_t code, int signal) noexcept;

}  // namespace orv::crash
