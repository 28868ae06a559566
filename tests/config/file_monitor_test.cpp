#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>

#include "config/file_monitor_linux.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class FileMonitorTest : public ::testing::Test {
 protected:
  FileMonitorTest() : profile_(dir_.path() / "ORV_ServiceProfile.xml") {}
  ~FileMonitorTest() override { monitor_.StopMonitor(); }

  void Start() { ASSERT_EQ(monitor_.StartMonitor(event_, profile_.wstring()), kObSuccess); }
  // Generous: the machine running the tests may be loaded.
  bool Signalled() { return event_.timed_wait(20000); }

  orv::test::TempDir dir_;
  fs::path profile_;
  condition_event event_{true};
  CFileMonitorLinux monitor_;
  orv::test::LogCapture log_;
};

TEST_F(FileMonitorTest, SetsTheEventForEachKindOfChangeToTheFileOnly) {
  const fs::path temporary = dir_.path() / "profile.tmp";
  const auto write_profile = [this] { std::ofstream(profile_) << "<ORVProfile/>"; };
  // Name, whether the profile exists before, the change.
  const std::tuple<const char*, bool, std::function<void()>> cases[] = {
      {"create", false, write_profile},
      {"append", true, [this] { std::ofstream(profile_, std::ios::app) << "\n"; }},
      {"touch", true,
       [this] { fs::last_write_time(profile_, fs::file_time_type::clock::now() - 1h); }},
      {"rename into place", false, [&] { fs::rename(temporary, profile_); }},
      {"rename away", true, [&] { fs::rename(profile_, temporary); }},
      {"delete", true, [this] { fs::remove(profile_); }},
  };
  for (const auto& [name, exists, change] : cases) {
    SCOPED_TRACE(name);
    fs::remove(profile_);
    std::ofstream(temporary) << "<ORVProfile/>";
    if (exists) write_profile();
    event_.reset();
    Start();  // a fresh watch for each case, so no earlier change can set the event
    change();
    EXPECT_TRUE(Signalled());
    monitor_.StopMonitor();
  }
  // Another letter case or a longer name is not the profile.
  Start();
  for (const char* other : {"orv_serviceprofile.xml", "ORV_ServiceProfile.xml.bak"}) {
    const std::uint64_t batches = monitor_.ChangeBatches();
    std::ofstream(dir_.path() / other) << "x";
    EXPECT_TRUE(orv::test::WaitUntil([&] { return monitor_.ChangeBatches() > batches; }));
    EXPECT_FALSE(event_.is_signalled());
  }
}

TEST_F(FileMonitorTest, RefusesBadPathsAndASecondStartRestartsOnceTheDirectoryExistsAndFollowsIt) {
  const char* kStart = "CFileMonitorLinux::StartMonitor";
  EXPECT_EQ(monitor_.StartMonitor(event_, dir_.path().wstring()), kObFailure);
  EXPECT_TRUE(
      log_.Has(LOG_ERROR, kStart, "Failed as path to a directory passed. Expecting File Path."));
  EXPECT_EQ(monitor_.StartMonitor(event_, L"ORV_ServiceProfile.xml"), kObFailure);
  EXPECT_TRUE(log_.Has(LOG_ERROR, kStart, "Not a Valid Path"));
  const fs::path directory = dir_.path() / "ORV";
  profile_ = directory / "ORV_ServiceProfile.xml";
  Start();  // the thread starts, cannot watch the missing directory, and ends
  EXPECT_TRUE(log_.Contains("Profile monitor started."));
  EXPECT_TRUE(orv::test::WaitUntil([&] { return monitor_.ThreadStatus() == kObFailure; }));
  EXPECT_TRUE(log_.Contains("CreateFile returned invalid handle for the Directory"));
  EXPECT_EQ(monitor_.StartMonitor(event_, profile_.wstring()), kObAlreadyRunning);
  EXPECT_TRUE(log_.Has(LOG_ERROR, kStart, "Profile monitor already running."));
  monitor_.StopMonitor();
  EXPECT_TRUE(log_.Contains("Main profile monitor thread exited."));
  // Started again once the directory exists, the one watch follows it: deleted and created
  // again, or moved away.
  fs::create_directory(directory);
  std::ofstream(profile_) << "<ORVProfile/>";
  Start();
  fs::remove_all(directory);
  EXPECT_TRUE(Signalled());
  fs::create_directory(directory);
  EXPECT_TRUE(orv::test::WaitUntil([this] { return log_.Contains("again"); }));
  event_.reset();
  std::ofstream(profile_) << "<ORVProfile>new</ORVProfile>";  // the new directory is watched
  EXPECT_TRUE(Signalled());
  fs::rename(directory, dir_.path() / "moved");  // the path no longer leads to the file
  EXPECT_TRUE(Signalled());
  EXPECT_EQ(monitor_.ThreadStatus(), kObSuccess);
  EXPECT_NE(CreateFileMonitor(), nullptr);
}

}  // namespace
