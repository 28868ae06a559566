#include "crash/exception_codes.h"

#include <signal.h>
#include <string.h>

#include <array>

namespace orv::crash {
namespace {

constexpr std::uint32_t kCodeCompilerThrow = 0xE06D7363;

struct NamedCode {
  std::uint32_t code;
  const char* name;
};

constexpr std::array<NamedCode, 23> kNames = {{
    {kCodeAccessViolation, "ACCESS_VIOLATION"},
    {0x80000001, "GUARD_PAGE"},
    {0x80000002, "DATATYPE_MISALIGNMENT"},
    {kCodeBreakpoint, "BREAKPOINT"},
    {0x80000004, "SINGLE_STEP"},
    {kCodeInPageError, "IN_PAGE_ERROR"},
    {0xC0000008, "INVALID_HANDLE"},
    {kCodeIllegalInstruction, "ILLEGAL_INSTRUCTION"},
    {0xC0000025, "NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, "INVALID_DISPOSITION"},
    {kCodeArrayBoundsExceeded, "ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, "FLT_DENORMAL_OPERAND"},
    {kCodeFltDivideByZero, "FLT_DIVIDE_BY_ZERO"},
    {kCodeFltInexactResult, "FLT_INEXACT_RESULT"},
    {kCodeFltInvalidOperation, "FLT_INVALID_OPERATION"},
    {kCodeFltOverflow, "FLT_OVERFLOW"},
    {0xC0000092, "FLT_STACK_CHECK"},
    {kCodeFltUnderflow, "FLT_UNDERFLOW"},
    {kCodeIntDivideByZero, "INT_DIVIDE_BY_ZERO"},
    {kCodeIntOverflow, "INT_OVERFLOW"},
    {0xC0000096, "PRIV_INSTRUCTION"},
    {kCodeStackOverflow, "STACK_OVERFLOW"},
    {kCodeCompilerThrow, "Microsoft Compiler Generated (Q185294)"},
}};

std::uint32_t FloatingPointCode(int si_code) noexcept {
  switch (si_code) {
    case FPE_INTDIV:
      return kCodeIntDivideByZero;
    case FPE_INTOVF:
      return kCodeIntOverflow;
    case FPE_FLTDIV:
      return kCodeFltDivideByZero;
    case FPE_FLTOVF:
      return kCodeFltOverflow;
    case FPE_FLTUND:
      return kCodeFltUnderflow;
    case FPE_FLTRES:
      return kCodeFltInexactResult;
    case FPE_FLTSUB:
      return kCodeArrayBoundsExceeded;
    default:  // FPE_FLTINV, and SIGFPE sent by kill(2)
      return kCodeFltInvalidOperation;
  }
}

bool IsStackOverflow(std::uint64_t fault_address, std::uint64_t stack_pointer) noexcept {
  const std::uint64_t distance = fault_address <= stack_pointer ? stack_pointer - fault_address
                                                                : fault_address - stack_pointer;
  return distance <= kStackOverflowReach;
}

}  // namespace

std::uint32_t ExceptionCodeForSignal(int signal, int si_code, std::uint64_t fault_address,
                                     std::uint64_t stack_pointer) noexcept {
  switch (signal) {
    case SIGSEGV:
      return IsStackOverflow(fault_address, stack_pointer) ? kCodeStackOverflow
                                                           : kCodeAccessViolation;
    case SIGBUS:
      return kCodeInPageError;
    case SIGILL:
      return kCodeIllegalInstruction;
    case SIGFPE:
      return FloatingPointCode(si_code);
    case SIGABRT:
      return kCodeStackBufferOverrun;
    case SIGSYS:
      return kCodeInvalidSystemService;
    case SIGTRAP:
      return kCodeBreakpoint;
    default:
      return 0xC0000000u | static_cast<std::uint32_t>(signal & 0xFFFF);
  }
}

const char* ExceptionName(std::uint32_t code, int signal) noexcept {
  for (const NamedCode& entry : kNames) {
    if (entry.code == code) {
      return entry.name;
    }
  }
  const char* abbreviation = ::sigabbrev_np(signal);
  return abbreviation != nullptr ? abbreviation : "UNKNOWN";
}

}  // namespace orv::crash
