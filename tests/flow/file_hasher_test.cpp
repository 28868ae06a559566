#include "flow/file_hasher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "flow/process_queries.h"
#include "runtime/sha256_hash_manager.h"
#include "runtime/utils.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

std::string Hex(const OBRuntime::Sha256Digest& digest) {
  return OBRuntime::Utils::EncodeToHex(digest);
}

std::string Contents(OBRuntime::UniqueFd file) {
  std::string text(64, '\0');
  const ssize_t got = file.valid() ? ::read(file.get(), text.data(), text.size()) : -1;
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return text;
}

// Asks until the answer is no longer "not ready", for up to 10 s.
OB_STATUSCODE AskUntilSettled(CFileHashWorker& worker, const std::string& path,
                              OBRuntime::Sha256Digest& digest) {
  OB_STATUSCODE status = kObMessageParked;
  for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       status == kObMessageParked && std::chrono::steady_clock::now() < deadline;
       std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    status = worker.HashOpenFile(OpenForHashing(path), 7, digest);
  }
  return status;
}

TEST(FileHashWorkerTest, AnswersAtOnceAndHashesOffTheCallersThread) {
  orv::test::TempDir dir;
  const std::string small = (dir.path() / "small.sh").string();
  std::ofstream(small) << "abc";
  const std::string huge = (dir.path() / "huge.sh").string();
  std::ofstream(huge).close();
  ASSERT_EQ(::truncate(huge.c_str(), off_t{1} << 40), 0);  // a sparse 1 TiB script
  const std::string fifo = (dir.path() / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  CFileHashWorker worker;
  orv::test::LogCapture log;
  OBRuntime::Sha256Digest digest{};
  EXPECT_EQ(worker.HashOpenFile(OpenForHashing(small), 7, digest), kObMessageParked);
  for (const std::string& unhashable : {huge, huge, fifo, dir.path().string()}) {
    EXPECT_EQ(worker.HashOpenFile(OpenForHashing(unhashable), 7, digest), kObNotFound)
        << unhashable;
  }
  int said = 0;
  for (const orv::test::CapturedLine& line : log.Lines()) {
    said += line.message.find("limit: not hashed") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(said, 1);  // the large file is said once, however often it is asked for
  ASSERT_EQ(AskUntilSettled(worker, small, digest), kObSuccess);
  EXPECT_EQ(Hex(digest), OBRuntime::CSha256HashManagerImpl::GetHashSHA256("abc", 3));
  EXPECT_EQ(worker.FilesHashed(), 1u);

  // A full queue answers "not ready" and forgets the request.
  CFileHashWorker idle(CFileHashWorker::Limits{.workers = 1, .queue_capacity = 0});
  EXPECT_EQ(idle.HashOpenFile(OpenForHashing(small), 7, digest), kObMessageParked);
  EXPECT_EQ(idle.FilesHashed(), 0u);
}

// A script in a process's private /tmp (or container) is not the agent's file of that name.
TEST(ProcessQueriesTest, OpensFilesAsTheProcessSeesThem) {
  orv::test::TempDir dir;
  const std::string script = (dir.path() / "x.sh").string();
  std::ofstream(script) << "outside";
  const std::string mount_and_wait = "mount -t tmpfs none " + dir.path().string() +
                                     " && echo inside > " + script + " && exec sleep 60";
  orv::test::ChildProcess child("/usr/bin/unshare", {"unshare", "-rm", "sh", "-c", mount_and_wait});
  auto& queries = LinuxProcessQueries::Instance();
  const auto pid = static_cast<std::uint32_t>(child.pid());
  std::string seen;
  for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       seen != "inside\n" && std::chrono::steady_clock::now() < deadline;
       std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    std::vector<std::string> argv;
    int os_error = 0;
    if (queries.CommandLine(pid, argv, os_error) == kObSuccess && !argv.empty() &&
        argv[0] == "sleep") {
      seen = Contents(queries.OpenInProcess(pid, script));
    }
  }
  if (seen.empty()) {
    GTEST_SKIP() << "unshare -rm cannot make a mount namespace here";
  }
  EXPECT_EQ(seen, "inside\n");
  EXPECT_EQ(Contents(OpenForHashing(script)), "outside");
}

}  // namespace
