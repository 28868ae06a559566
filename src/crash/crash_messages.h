// The log messages of the crash handler, word for word (the long runs of blanks included).
//
// They are formatted with SignalSafeText::AppendFormat ("%ls" takes UTF-8 text), at install time
// as inside the signal handler, so a path never depends on the process locale.
#pragma once

namespace orv::crash {

inline constexpr const char* kCallbackRegistered =
    "CExceptionHandlerEx : GlobalExceptionCallback registered";
inline constexpr const char* kMutexExists =
    "CExceptionHandlerEx::InstallGlobalExceptionHandler -                              Mutex lock "
    "already exists (%ls) for this process. Error = 0x%.8X";
inline constexpr const char* kMutexNotCreated =
    "CExceptionHandlerEx::InstallGlobalExceptionHandler -                              Mutex lock "
    "(%ls) could not be created. Error = 0x%.8X";
inline constexpr const char* kDumpsDisabled =
    "CExceptionHandlerEx::GenerateMiniDump -                              MiniDump functionality "
    "has been disabled on this system";
inline constexpr const char* kBreakpointDisabled =
    "CExceptionHandlerEx::GenerateMiniDump -                              Minidump generation for "
    "a Breakpoint exceptions has been disabled on this system.";
inline constexpr const char* kModuleNameFailed =
    "CExceptionHandlerEx::GenerateMiniDump - GetModuleFileName failed, Error = %X";
inline constexpr const char* kCreateFileFailed =
    "CExceptionHandlerEx::GenerateMiniDump - CreateFile failed to create file %ls,                 "
    "               Error = 0x%.8X";
inline constexpr const char* kWriteFailed =
    "CExceptionHandlerEx::GenerateMiniDump - MiniDumpWriteDump failed, Error = 0x%.8X";
inline constexpr const char* kUnhandledException =
    "UNHANDLED_EXCEPTION - (0x%.8X), %ls. A minidump file is located at: %ls";
inline constexpr const char* kNoDumpFiles =
    "CExceptionHandlerEx::PruneMiniDumpFiles -                              There are no minidump "
    "files matching the search pattern: %ls failed.";
inline constexpr const char* kDeleteFailed = "DeleteFile error 0x%.8X failed to delete %ls";
inline constexpr const char* kPruneModuleNameFailed =
    "CExceptionHandlerEx::PruneMiniDumpFiles -                            GetModuleFileName "
    "failed.  Error = 0x%.8X";
inline constexpr const char* kPruneFindNextFailed =
    "CExceptionHandlerEx::PruneMiniDumpFiles -                            FindNextFile failed.  "
    "Error = %d";

}  // namespace orv::crash
