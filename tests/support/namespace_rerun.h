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
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

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

// Re-runs the current test under `unshare <flags>` with kInNamespaceVariable set.
[[nodiscard]] inline NamespaceRun RerunCurrentTestInNamespace(const std::string& flags) {
  NamespaceRun probe = RunCollecting({"unshare", flags, "true"});
  if (probe.exit_status != 0) {
    return probe;
  }
  char self[PATH_MAX] = {};
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  NamespaceRun run =
      RunCollecting({"unshare", flags, std::string(self, length > 0 ? length : 0),
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
