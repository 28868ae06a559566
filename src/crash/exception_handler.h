// The process's crash handler: on a fatal signal it writes a minidump, logs where it is, and lets
// the process die of the signal.
//
// One instance per process takes effect: the first claims the per-process lock (an abstract Unix
// socket "CExceptionHandlerEx_0x<pid>"); later ones log and install nothing. Installing catches
// SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS and SIGTRAP (the breakpoint case) on an
// alternate signal stack, and prunes old dumps to the newest few.
//
// Configuration word (kDefaultConfiguration = 0x40000001):
//   bits 0-3   dump level: 1 or 2 write dumps (both hold the same streams here; an in-process
//              writer cannot capture more than the faulting thread), anything else none;
//   bits 4-27  dumps to keep, 0 meaning 5;
//   bit 30     leave the system error mode alone: no fault dialog exists here, kept for fidelity;
//   bit 31     no dump for breakpoints (SIGTRAP).
//
// On a fault the handler, running on the faulting thread: writes "<exe>_<version>_<local
// YYYYMMDDHHMMSS>.mdmp" (mode 0600) into $TMPDIR (else /tmp; beside the executable when that
// directory is missing), logs "UNHANDLED_EXCEPTION ..." in the logger's line layout, calls the
// previously installed handler if it was a function, then the global callback, then restores the
// default action and re-raises, so the exit status (and a core dump, if enabled) shows the
// signal. It uses only async-signal-safe calls: everything else was prepared at install, the
// local time's UTC offset included (a daylight-saving change after install shifts the name by
// the difference). Fatal signals stay blocked while it runs, so a fault inside it kills the
// process at once; another thread faulting meanwhile waits for the first dump to finish.
//
// Alternate stacks are per thread. The constructor gives the installing thread one; every thread
// the agent starts gets its own through OBRuntime::StartAgentThread (runtime/agent_thread.h), and
// any other thread may call InstallThreadAlternateStack once. Other faults are handled on the
// thread's own stack.
#pragma once

#include <signal.h>

#include <cstdint>
#include <string>

#include "common/status.h"
#include "runtime/unique_fd.h"

class CExceptionHandlerEx {
 public:
  // Called on the faulting thread inside the signal handler, after the dump: must itself be
  // async-signal-safe.
  using GlobalExceptionCallback = void (*)(int signal, siginfo_t* info, void* context);

  static constexpr std::uint32_t kDefaultConfiguration = 0x40000001;

  // Installs the handler unless this process already has one; the configuration word is the
  // build constant except in tests.
  explicit CExceptionHandlerEx(std::uint32_t configuration = kDefaultConfiguration);
  // Restores the previous signal actions if this instance installed the handler.
  virtual ~CExceptionHandlerEx();
  CExceptionHandlerEx(const CExceptionHandlerEx&) = delete;
  CExceptionHandlerEx& operator=(const CExceptionHandlerEx&) = delete;

  // True when this instance installed the handler.
  [[nodiscard]] bool installed() const { return installed_; }

  // Stores the callback run after a dump (null removes it); safe from any thread.
  static void SetGlobalExceptionCallback(GlobalExceptionCallback callback);

  // Gives the calling thread an alternate signal stack for the rest of its life (the one it had
  // is restored at thread exit); a second call on the same thread does nothing.
  [[nodiscard]] static OB_STATUSCODE InstallThreadAlternateStack();

  // The version text in dump names (the build's project version).
  [[nodiscard]] static std::string VersionText();

 private:
  void InstallGlobalExceptionHandler(std::uint32_t configuration);
  [[nodiscard]] bool ClaimProcessLock();

  OBRuntime::UniqueFd mutex_;  // the per-process lock; valid while this instance holds it
  bool installed_ = false;
};
