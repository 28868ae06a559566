#include "flow/account_info.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>

#include "flow/user_info.h"
#include "process_fakes.h"
#include "support/log_capture.h"

namespace {

using orv::test::FakeAccountDirectory;
using orv::test::FakeConsoleUserSource;

class AccountInfoTest : public ::testing::Test {
 protected:
  AccountInfoTest() {
    accounts_.groups = {{27, "sudo"},
                        {10, "wheel"},
                        {4, "admin"},
                        {100, "users"},
                        {65534, "nogroup"},
                        {5, "guests"},
                        {900, "CORP Domain Users"},
                        {901, "domain users@corp"},
                        {30, "dip"}};
    accounts_.users = {{0, "root"}, {1000, "alice"}, {1001, "bob@corp.example"}, {1002, ""}};
  }

  FakeAccountDirectory accounts_;
};

TEST_F(AccountInfoTest, AccountTypeFollowsTheWalkOrder) {
  struct Case {
    std::uint32_t uid;
    std::vector<std::uint32_t> groups;
    std::uint16_t type;
  };
  const std::vector<Case> cases = {
      {0, {}, 2},
      {0, {900}, 2},  // root counts as Administrators before any group is seen
      {65534, {27}, 3},
      {1000, {}, 1},
      {500, {}, 0},
      {500, {30, 4242}, 0},  // groups without a role or without a name
      {500, {27}, 2},
      {500, {10}, 2},
      {500, {4}, 2},
      {500, {100}, 1},
      {500, {65534}, 3},
      {500, {5}, 3},
      {500, {100, 27}, 2},  // Users goes on, Administrators ends
      {500, {5, 27}, 3},    // Guests ends the walk
      {500, {900, 27}, 0x8002},
      {500, {27, 900}, 2},  // the domain group after the ending group is never seen
      {500, {901, 100}, 0x8001},
      {1000, {900}, 0x8001},
      {500, {900, 901}, 0x8000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "uid " << c.uid << " groups " << c.groups.size());
    EXPECT_EQ(ComputeAccountType(c.uid, c.groups, accounts_), c.type);
  }
}

TEST_F(AccountInfoTest, NamesAndBufferSizes) {
  std::wstring name;
  ASSERT_EQ(FormatAccountName(1000, accounts_, name), kObSuccess);
  EXPECT_EQ(name, L"host\\alice");
  ASSERT_EQ(FormatAccountName(1001, accounts_, name), kObSuccess);
  EXPECT_EQ(name, L"corp.example\\bob");
  EXPECT_EQ(FormatAccountName(4242, accounts_, name), kObFailure);
  EXPECT_EQ(FormatAccountName(1002, accounts_, name), kObExportNotPossible);

  const std::wstring text = L"host\\alice";  // user 5 + domain 4 + 4 = 13
  std::uint32_t size = 0;
  EXPECT_EQ(CopyAccountName(text, nullptr, size), kObBufferTooSmall);
  EXPECT_EQ(size, 13u);
  std::array<wchar_t, 13> buffer{};
  size = 12;
  EXPECT_EQ(CopyAccountName(text, buffer.data(), size), kObBufferTooSmall);
  EXPECT_EQ(size, 13u);
  ASSERT_EQ(CopyAccountName(text, buffer.data(), size), kObSuccess);
  EXPECT_EQ(size, text.size());
  EXPECT_EQ(std::wstring(buffer.data()), text);
}

class UserInfoTest : public AccountInfoTest {
 protected:
  UserInfoTest() { accounts_.user_groups = {{1000, {100, 900}}, {0, {0}}, {1002, {100}}}; }

  std::wstring Name(OB_STATUSCODE& status) {
    std::uint32_t size = 0;
    status = user_info_.GetLoggedOnUserName(nullptr, size);
    if (status != kObBufferTooSmall) {
      return {};
    }
    std::wstring buffer(size, L'\0');
    status = user_info_.GetLoggedOnUserName(buffer.data(), size);
    return status == kObSuccess ? std::wstring(buffer.data()) : std::wstring();
  }

  FakeConsoleUserSource console_;
  CUserInfo user_info_{console_, accounts_};
};

TEST_F(UserInfoTest, KeepsTheAnswerUntilMarkedStale) {
  EXPECT_TRUE(user_info_.IsStale());
  OB_STATUSCODE status = kObSuccess;
  EXPECT_EQ(Name(status), L"");
  EXPECT_EQ(status, kObNotFound);
  EXPECT_EQ(user_info_.GetLoggedOnUserAccountType(), 0);
  EXPECT_FALSE(user_info_.IsStale());

  console_.status = kObSuccess;
  console_.uid = 1000;
  EXPECT_EQ(Name(status), L"");  // still the kept answer
  EXPECT_EQ(status, kObNotFound);
  EXPECT_EQ(console_.calls, 1);

  user_info_.MarkStale();
  EXPECT_EQ(Name(status), L"host\\alice");
  EXPECT_EQ(status, kObSuccess);
  EXPECT_EQ(user_info_.GetLoggedOnUserAccountType(), 0x8001);

  console_.uid = 0;
  user_info_.MarkStale();
  EXPECT_EQ(user_info_.GetLoggedOnUserAccountType(), kAccountTypeAdministrators);
  EXPECT_EQ(Name(status), L"host\\root");
  EXPECT_EQ(console_.calls, 3);
}

TEST_F(UserInfoTest, FailuresAreKeptWithTheirStatus) {
  orv::test::LogCapture log;
  console_.status = kObFailure;
  console_.os_error = EIO;
  OB_STATUSCODE status = kObSuccess;
  Name(status);
  EXPECT_EQ(status, kObFailure);
  EXPECT_TRUE(log.Contains("errno 5"));

  console_.status = kObSuccess;
  console_.uid = 4242;  // no account entry
  user_info_.MarkStale();
  Name(status);
  EXPECT_EQ(status, kObFailure);

  console_.uid = 1002;  // empty name
  user_info_.MarkStale();
  Name(status);
  EXPECT_EQ(status, kObExportNotPossible);
  EXPECT_EQ(user_info_.GetLoggedOnUserAccountType(), kAccountTypeUsers);
}

TEST_F(UserInfoTest, SessionChangesFromAnotherThread) {
  console_.status = kObSuccess;
  console_.uid = 1000;
  std::atomic<bool> done{false};
  std::thread service([&] {
    while (!done.load()) {
      user_info_.MarkStale();
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 2000; ++i) {
    OB_STATUSCODE status = kObFailure;
    EXPECT_EQ(Name(status), L"host\\alice");
  }
  done = true;
  service.join();
}

}  // namespace
