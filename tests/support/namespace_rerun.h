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

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

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

// Runs argv (argv[0] looked up in PATH) with extra environment entries; collects the output.
[[nodiscard]] inline NamespaceRun RunCollecting(const std::vector<std::string>& argv,
                                                const std::vector<std::string>& extra_env) {
  NamespaceRun run;
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  std::vector<std::string> env_storage = extra_env;
  std::vector<char*> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    env.push_back(*entry);
  }
  for (std::string& entry : env_storage) {
    env.push_back(entry.data());
  }
  env.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  if (spawned == 0) {
    char buffer[4096];
    for (ssize_t got; (got = ::read(pipe_fds[0], buffer, sizeof(buffer))) != 0;) {
      if (got > 0) {
        run.output.append(buffer, static_cast<std::size_t>(got));
      } else if (errno != EINTR) {
        break;
      }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  ::close(pipe_fds[0]);
  return run;
}

// Re-runs the current test under `unshare <flags>` with kInNamespaceVariable set.
[[nodiscard]] inline NamespaceRun RerunCurrentTestInNamespace(const std::string& flags) {
  NamespaceRun probe = RunCollecting({"unshare", flags, "true"}, {});
  if (probe.exit_status != 0) {
    probe.available = false;
    return probe;
  }
  char self[PATH_MAX] = {};
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter =
      std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  NamespaceRun run =
      RunCollecting({"unshare", flags, std::string(self, length > 0 ? length : 0), filter},
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
