#include "crash/exception_handler.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <exception>

#include "crash/crash_messages.h"
#include "crash/dump_files.h"
#include "crash/exception_codes.h"
#include "crash/minidump_writer.h"
#include "crash/signal_safe_text.h"
#include "runtime/agent_thread.h"
#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/utils.h"

#ifndef ORV_VERSION_TEXT
#error "ORV_VERSION_TEXT (the product version in dump names) must be defined by the build"
#endif

namespace {

using orv::crash::FormatArgument;
using orv::crash::SignalSafeText;

constexpr std::array<int, 7> kFatalSignals = {SIGSEGV, SIGBUS, SIGILL, SIGFPE,
                                              SIGABRT, SIGSYS, SIGTRAP};
constexpr const char* kInstallFunction = "CExceptionHandlerEx::InstallGlobalExceptionHandler";
constexpr const char* kGenerateFunction = "CExceptionHandlerEx::GenerateMiniDump";
constexpr std::uint32_t kLevelMask = 0xF;
constexpr std::uint32_t kKeepShift = 4;
constexpr std::uint32_t kKeepMask = 0xFFFFFF;
constexpr std::uint32_t kNoBreakpointDumps = 0x80000000;
constexpr std::uint64_t kDumpTypeFilterMemory = 0x8;
constexpr std::uint64_t kDumpTypeFull = 0x147;
// How long a second faulting thread waits for the first one's dump before dying of its signal.
constexpr int kOtherDumpWaitMilliseconds = 60000;

// Written by the installing thread before the signal actions are set (the publication point),
// read by the handler; never changed while the actions are in place.
struct HandlerState {
  std::uint32_t configuration = 0;
  std::array<struct sigaction, kFatalSignals.size()> previous{};
  std::array<char, PATH_MAX> dump_directory{};
  std::array<char, PATH_MAX + 128> dump_prefix{};    // "<dump directory>/<exe>_<version>_"
  std::array<char, PATH_MAX + 128> beside_prefix{};  // "<exe directory>/<exe>_<version>_"
  int exe_error = 0;  // errno when the executable's path was not known at install
  std::int64_t utc_offset = 0;
  orv::crash::SystemSnapshot system;
  // Crash-time buffers, used only by the thread that owns the dump.
  std::array<char, PATH_MAX + 160> dump_path{};
  std::array<char, 2 * PATH_MAX> message{};
};

constinit HandlerState g_state;
// The writer's working storage, zero until a dump; kept apart so that it stays in .bss.
constinit orv::crash::MiniDumpScratch g_scratch{};
std::atomic<CExceptionHandlerEx::GlobalExceptionCallback> g_callback{nullptr};
std::atomic<pid_t> g_dumping_thread{0};

pid_t CurrentThreadId() noexcept { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// Logs from inside the handler, in the logger's line layout.
void CrashLog(int line, const char* format,
              std::initializer_list<FormatArgument> arguments) noexcept {
  SignalSafeText text(g_state.message);
  text.AppendFormat(format, arguments);
  orv::crash::WriteCrashLogLine(LOG_DEBUG, kGenerateFunction, __FILE__, line, text.data());
}

bool DirectoryExists(const char* path) noexcept {
  struct stat status {};
  return path[0] != '\0' && ::stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

std::uint64_t DumpTypeOf(std::uint32_t level) noexcept {
  return level == 2 ? kDumpTypeFull : kDumpTypeFilterMemory;
}

// Creates a new dump file, never opening one that exists: the dump directory may be writable by
// others ($TMPDIR=/tmp), who could otherwise plant the next name and read the dump. A taken name
// moves the stamp on by a second (names still sort by age); when kNameAttempts are all taken,
// the dump goes beside the executable instead. The descriptor, or -1 with errno set.
int CreateDumpFile(std::int64_t utc_seconds) noexcept {
  constexpr int kNameAttempts = 16;
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
  const char* prefixes[] = {DirectoryExists(g_state.dump_directory.data())
                                ? g_state.dump_prefix.data()
                                : g_state.beside_prefix.data(),
                            g_state.beside_prefix.data()};
  for (const char* prefix : prefixes) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      if (!orv::crash::FormatDumpPath(prefix, utc_seconds + attempt, g_state.utc_offset,
                                      g_state.dump_path)) {
        errno = ENAMETOOLONG;
        return -1;
      }
      const int fd = ::open(g_state.dump_path.data(), kFlags, 0600);
      if (fd >= 0 || errno != EEXIST) {
        return fd;
      }
    }
  }
  return -1;
}

void GenerateMiniDump(int signal, siginfo_t* info, void* raw_context) noexcept {
  const std::uint32_t configuration = g_state.configuration;
  const std::uint32_t level = configuration & kLevelMask;
  if (level != 1 && level != 2) {
    CrashLog(__LINE__, orv::crash::kDumpsDisabled, {});
    return;
  }
  const auto* context = static_cast<const ucontext_t*>(raw_context);
  const std::uint64_t fault_address =
      info != nullptr ? reinterpret_cast<std::uint64_t>(info->si_addr) : 0;
  const std::uint32_t code =
      orv::crash::ExceptionCodeForSignal(signal, info != nullptr ? info->si_code : 0, fault_address,
                                         orv::crash::StackPointerOf(context));
  if ((configuration & kNoBreakpointDumps) != 0 && code == orv::crash::kCodeBreakpoint) {
    CrashLog(__LINE__, orv::crash::kBreakpointDisabled, {});
    return;
  }
  if (g_state.exe_error != 0) {
    CrashLog(__LINE__, orv::crash::kModuleNameFailed, {g_state.exe_error});
    return;
  }
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const char* path = g_state.dump_path.data();
  const int fd = CreateDumpFile(now.tv_sec);
  if (fd < 0) {
    CrashLog(__LINE__, orv::crash::kCreateFileFailed, {path, errno});
    return;
  }
  const orv::crash::CrashContext crash{
      signal, info, context, code, ::getpid(), CurrentThreadId(), now.tv_sec, DumpTypeOf(level)};
  int error = 0;
  if (orv::crash::WriteMiniDump(fd, crash, g_state.system, g_scratch, error) != kObSuccess) {
    CrashLog(__LINE__, orv::crash::kWriteFailed, {error});
  } else {
    CrashLog(__LINE__, orv::crash::kUnhandledException,
             {code, orv::crash::ExceptionName(code, signal), path});
  }
  ::close(fd);
}

void CallPreviousHandler(int signal, siginfo_t* info, void* context) noexcept {
  const auto* slot = std::find(kFatalSignals.begin(), kFatalSignals.end(), signal);
  if (slot == kFatalSignals.end()) {
    return;
  }
  const struct sigaction& previous =
      g_state.previous[static_cast<std::size_t>(slot - kFatalSignals.begin())];
  if (previous.sa_handler == SIG_DFL || previous.sa_handler == SIG_IGN) {
    return;  // the default action follows anyway; ignoring a fault would loop on it
  }
  if ((previous.sa_flags & SA_SIGINFO) != 0) {
    previous.sa_sigaction(signal, info, context);
  } else {
    previous.sa_handler(signal);
  }
}

// Leaves the signal to its default action: pending now, delivered when the handler returns and
// unblocks it (a hardware fault would also recur on the faulting instruction).
void RestoreDefaultAndRaise(int signal) noexcept {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
  ::syscall(SYS_tgkill, ::getpid(), CurrentThreadId(), signal);
}

void WaitForOtherDump() noexcept {
  const timespec pause{0, 10 * 1000 * 1000};
  for (int waited = 0; waited < kOtherDumpWaitMilliseconds; waited += 10) {
    ::nanosleep(&pause, nullptr);
  }
}

void HandleFatalSignal(int signal, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  const pid_t self = CurrentThreadId();
  pid_t owner = 0;
  if (g_dumping_thread.compare_exchange_strong(owner, self)) {
    GenerateMiniDump(signal, info, context);
    CallPreviousHandler(signal, info, context);
    if (const auto callback = g_callback.load(); callback != nullptr) {
      callback(signal, info, context);
    }
  } else if (owner != self) {
    WaitForOtherDump();  // the first dump ends the process; this only bounds a hung writer
  }
  RestoreDefaultAndRaise(signal);
  errno = saved_errno;
}

// Copies text into a terminated fixed buffer; false (buffer emptied) when it does not fit.
template <std::size_t N>
bool CopyText(const std::string& text, std::array<char, N>& out) {
  if (text.size() >= out.size()) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out.data(), text.data(), text.size());
  out[text.size()] = '\0';
  return true;
}

// The executable's path; errno as the error when /proc/self/exe cannot be read.
int ExecutablePath(std::string& path) {
  std::array<char, PATH_MAX> buffer{};
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) {
    return length < 0 ? errno : ENAMETOOLONG;
  }
  path.assign(buffer.data(), static_cast<std::size_t>(length));
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.ends_with(kDeleted)) {
    path.resize(path.size() - kDeleted.size());
  }
  return 0;
}

std::int64_t LocalUtcOffset() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  return ::localtime_r(&now, &local) != nullptr ? local.tm_gmtoff : 0;
}

// Where pruning looks: the dump directory (or the executable's) and the dumps' name prefix.
struct PruneTarget {
  std::string directory;  // empty when the executable's path is unknown
  std::string prefix;
};

// Fills g_state for the handler.
PruneTarget PrepareState(std::uint32_t configuration) {
  g_state.configuration = configuration;
  g_state.utc_offset = LocalUtcOffset();
  g_state.system = orv::crash::GatherSystemSnapshot();
  const std::string temp_directory = OBRuntime::WideToUtf8(OBRuntime::Utils::GetTempPath());
  std::string exe_path;
  g_state.exe_error = ExecutablePath(exe_path);
  if (g_state.exe_error != 0) {
    std::array<char, 512> message{};
    SignalSafeText(message).AppendFormat(orv::crash::kPruneModuleNameFailed,
                                         {static_cast<std::uint32_t>(g_state.exe_error)});
    OB_LOG_AS(LOG_DEBUG, "CExceptionHandlerEx::PruneMiniDumpFiles", "%s", message.data());
    return {};
  }
  const std::size_t slash = exe_path.rfind('/');  // the kernel gives an absolute path
  const std::string exe_directory =
      slash == 0 || slash == std::string::npos ? "" : exe_path.substr(0, slash);
  const std::string prefix =
      orv::crash::DumpNamePrefix(exe_path.substr(slash + 1), CExceptionHandlerEx::VersionText());
  if (!CopyText(temp_directory, g_state.dump_directory) ||
      !CopyText(temp_directory + "/" + prefix, g_state.dump_prefix) ||
      !CopyText(exe_directory + "/" + prefix, g_state.beside_prefix)) {
    g_state.exe_error = ENAMETOOLONG;
    OB_LOG_WARN("dump paths longer than %d bytes; no dumps will be written", PATH_MAX);
    return {};
  }
  return {DirectoryExists(g_state.dump_directory.data()) ? temp_directory : exe_directory, prefix};
}

void InstallSignalActions() {
  struct sigaction action {};
  action.sa_sigaction = HandleFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (const int signal : kFatalSignals) {
    sigaddset(&action.sa_mask, signal);
  }
  for (std::size_t i = 0; i < kFatalSignals.size(); ++i) {
    if (::sigaction(kFatalSignals[i], &action, &g_state.previous[i]) != 0) {
      OB_LOG_ERROR("sigaction(%d) failed: %s", kFatalSignals[i], ErrnoText(errno).c_str());
    }
  }
}

void RestoreSignalActions() {
  for (std::size_t i = 0; i < kFatalSignals.size(); ++i) {
    ::sigaction(kFatalSignals[i], &g_state.previous[i], nullptr);
  }
}

}  // namespace

CExceptionHandlerEx::CExceptionHandlerEx(std::uint32_t configuration) {
  InstallGlobalExceptionHandler(configuration);
}

CExceptionHandlerEx::~CExceptionHandlerEx() {
  if (installed_) {
    RestoreSignalActions();
  }
}

void CExceptionHandlerEx::SetGlobalExceptionCallback(GlobalExceptionCallback callback) {
  g_callback.store(callback);
  OB_LOG_DEBUG("%s", orv::crash::kCallbackRegistered);
}

OB_STATUSCODE CExceptionHandlerEx::InstallThreadAlternateStack() {
  return OBRuntime::InstallAlternateSignalStack();
}

std::string CExceptionHandlerEx::VersionText() { return ORV_VERSION_TEXT; }

bool CExceptionHandlerEx::ClaimProcessLock() {
  std::array<char, 64> name{};
  SignalSafeText(name).AppendFormat("CExceptionHandlerEx_0x%.8X",
                                    {static_cast<std::uint32_t>(::getpid())});
  std::array<char, 512> message{};
  OBRuntime::UniqueFd lock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // Abstract namespace: a leading zero byte, no file, gone with the last descriptor.
  std::memcpy(address.sun_path + 1, name.data(), std::strlen(name.data()));
  const auto length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + std::strlen(name.data()));
  if (lock.valid() &&
      ::bind(lock.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) {
    mutex_ = std::move(lock);
    return true;
  }
  const int error = errno;
  SignalSafeText(message).AppendFormat(
      error == EADDRINUSE ? orv::crash::kMutexExists : orv::crash::kMutexNotCreated,
      {name.data(), static_cast<std::uint32_t>(error)});
  OB_LOG_AS(LOG_DEBUG, kInstallFunction, "%s", message.data());
  return false;
}

void CExceptionHandlerEx::InstallGlobalExceptionHandler(std::uint32_t configuration) {
  if (!ClaimProcessLock()) {
    return;
  }
  installed_ = true;
  try {
    const PruneTarget prune = PrepareState(configuration);
    if (InstallThreadAlternateStack() != kObSuccess) {
      OB_LOG_WARN("no alternate signal stack: a stack overflow will not leave a dump");
    }
    InstallSignalActions();
    const std::uint32_t keep = (configuration >> kKeepShift) & kKeepMask;
    if (!prune.prefix.empty()) {
      orv::crash::PruneMiniDumpFiles(prune.directory.empty() ? "/" : prune.directory, prune.prefix,
                                     keep != 0 ? keep : orv::crash::kDefaultDumpsToKeep);
    }
  } catch (const std::exception& error) {
    OB_LOG_AS(LOG_ERROR, kInstallFunction, "installation stopped: %s", error.what());
  }
}
