// Runs the current test again, alone, in a child process inside fresh Linux namespaces, for
// tests that change links, routes or /dev/shm and must not touch the machine's own.
//
//   TEST(NetworkMonitorTest, ReportsLinks) {
//     ORV_RERUN_IN_NAMESPACE("-rn");  // returns here in the parent, with its verdict
//     ... body, now inside the namespaces ...
//   }
//
// The parent skips the test when unshare cannot create the namespaces on this machine, and
// passes it through when the child skipped. Header-only so any test program can use it.
#pragma once

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace orv::test {

inline constexpr char kInNamespaceVariable[] = "ORV_TEST_IN_NAMESPACE";

struct NamespaceRun {
  bool available = false;  // unshare could create the namespaces
  int exit_status = -1;
  std::string output;  // the child's standard output and error
};

[[nodiscard]] inline bool InsideTestNamespace() {
  return std::getenv(kInNamespaceVariable) != nullptr;
}

// Runs argv (argv[0] looked up in PATH) with extra environment entries, through the shell;
// collects the standard output and error.
[[nodiscard]] inline NamespaceRun RunCollecting(const std::vector<std::string>& argv,
                                                const std::vector<std::string>& extra_env = {}) {
  std::string command;
  for (const std::string& entry : extra_env) {
    command += entry + ' ';
  }
  for (const std::string& argument : argv) {
    command += '\'';
    for (const char c : argument) {
      command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    command += "' ";
  }
  NamespaceRun run;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + "2>&1").c_str(), "r"), ::pclose);
  if (pipe == nullptr) {
    return run;
  }
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof(buffer), pipe.get())) > 0;) {
    run.output.append(buffer, got);
  }
  const int status = ::pclose(pipe.release());
  run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

// Runs script under sh -e with ip(8)'s sbin directories on PATH (often not in an ordinary
// user's): "" when all of it succeeded, else "failed: " and what it wrote.
[[nodiscard]] inline std::string RunScript(const std::string& script) {
  const NamespaceRun run = RunCollecting({"sh", "-ec", "PATH=/usr/sbin:/sbin:$PATH\n" + script});
  return run.exit_status == 0 ? "" : "failed: " + run.output;
}

// Whether link's carrier is up (ip(8) shows it in state UP).
[[nodiscard]] inline bool LinkUp(const std::string& link) {
  return RunScript("ip link show " + link + " | grep -q 'state UP'").empty();
}

// A private /dev/shm, inside a mount namespace: "" when done, else why not.
[[nodiscard]] inline std::string MountPrivateShm() {
  return ::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0
             ? ""
             : "cannot mount a private /dev/shm: errno " + std::to_string(errno);
}

// Inside the namespaces (mount + network), what an endpoint on a network has: a private /dev/shm,
// lo up and a veth pair <link>0/<link>1 up, with <network>.1/24 on <link>0 and a default route
// via <network>.2. "" when done, else what failed.
[[nodiscard]] inline std::string PrepareEndpoint(const std::string& link,
                                                 const std::string& network) {
  if (std::string failed = MountPrivateShm(); !failed.empty()) {
    return failed;
  }
  return RunScript("ip link set lo up; ip link add " + link + "0 type veth peer name " + link +
                   "1\nip addr add " + network + ".1/24 dev " + link + "0; ip link set " + link +
                   "0 up; ip link set " + link + "1 up\nip route add default via " + network +
                   ".2 dev " + link + "0");
}

// Re-runs the current test under `unshare <flags>` with kInNamespaceVariable set.
[[nodiscard]] inline NamespaceRun RerunCurrentTestInNamespace(const std::string& flags) {
  NamespaceRun probe = RunCollecting({"unshare", flags, "true"});
  if (probe.exit_status != 0) {
    return probe;
  }
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  NamespaceRun run =
      RunCollecting({"unshare", flags, ChildProcess::ImageOf("/proc/self/exe"),
                     std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()},
                    {std::string(kInNamespaceVariable) + "=1"});
  run.available = true;
  return run;
}

}  // namespace orv::test

// In the parent: re-runs the test in the namespaces and returns with its verdict. In the child:
// does nothing, so the rest of the test body runs inside them.
#define ORV_RERUN_IN_NAMESPACE(flags)                                                        \
  do {                                                                                       \
    if (!::orv::test::InsideTestNamespace()) {                                               \
      const ::orv::test::NamespaceRun run = ::orv::test::RerunCurrentTestInNamespace(flags); \
      if (!run.available) {                                                                  \
        GTEST_SKIP() << "unshare " << (flags) << " is not available here: " << run.output;   \
      }                                                                                      \
      if (run.exit_status == 0 && run.output.find("[  SKIPPED ]") != std::string::npos) {    \
        GTEST_SKIP() << "skipped inside the namespace:\n" << run.output;                     \
      }                                                                                      \
      EXPECT_EQ(run.exit_status, 0) << run.output;                                           \
      return;                                                                                \
    }                                                                                        \
  } while (false)
