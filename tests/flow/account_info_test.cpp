#include "flow/account_info.h"

#include <gtest/gtest.h>

#include <array>

#include "flow/user_info.h"
#include "flow_fakes.h"

namespace {

class AccountInfoTest : public ::testing::Test {
 protected:
  AccountInfoTest() {
    accounts_.groups = {{27, "sudo"},
                        {100, "users"},
                        {65534, "nogroup"},
                        {5, "guests"},
                        {900, "CORP Domain Users"},
                        {901, "domain users@corp"},
                        {30, "dip"}};
    accounts_.users = {{0, "root"}, {1000, "alice"}, {1001, "bob@corp.example"}, {1002, ""}};
    accounts_.user_groups = {{1000, {100, 900}}, {0, {0}}, {1002, {100}}};
  }

  // The console user's name through the size-then-copy protocol of the flow record.
  std::wstring ConsoleName(OB_STATUSCODE& status) {
    std::uint32_t size = 0;
    status = user_info_.GetLoggedOnUserName(nullptr, size);
    if (status != kObBufferTooSmall) {
      return {};
    }
    std::wstring buffer(size, L'\0');
    status = user_info_.GetLoggedOnUserName(buffer.data(), size);
    return status == kObSuccess ? std::wstring(buffer.data()) : std::wstring();
  }

  orv::test::FakeAccountDirectory accounts_;
  orv::test::FakeConsoleUserSource console_;
  CUserInfo user_info_{console_, accounts_};
};

TEST_F(AccountInfoTest, AccountTypeFollowsTheWalkOrder) {
  // uid, groups, account type
  const std::vector<std::tuple<std::uint32_t, std::vector<std::uint32_t>, int>> cases = {
      {0, {900}, 2},  // root counts as Administrators before any group is seen
      {65534, {27}, 3},
      {1000, {}, 1},
      {500, {30, 4242}, 0},  // groups without a role or without a name
      {500, {65534}, 3},
      {500, {100, 27}, 2},  // Users goes on, Administrators ends
      {500, {5, 27}, 3},    // Guests ends the walk
      {500, {900, 27}, 0x8002},
      {500, {27, 900}, 2},  // the domain group after the end is unseen
      {500, {901, 100}, 0x8001},
      {500, {900, 901}, 0x8000},
  };
  for (const auto& [uid, groups, type] : cases) {
    EXPECT_EQ(ComputeAccountType(uid, groups, accounts_), type) << uid << " " << groups.size();
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
  std::array<wchar_t, 13> buffer{};
  std::uint32_t size = 12;
  EXPECT_EQ(CopyAccountName(text, buffer.data(), size), kObBufferTooSmall);
  EXPECT_EQ(size, 13u);
  ASSERT_EQ(CopyAccountName(text, buffer.data(), size), kObSuccess);
  EXPECT_EQ(size, text.size());
  EXPECT_EQ(std::wstring(buffer.data()), text);
}

TEST_F(AccountInfoTest, ConsoleUserIsKeptWithItsStatusUntilMarkedStale) {
  // What the console source answers (status, uid), whether the answer was marked stale, and
  // the name's status, the name and the account type then.
  const std::vector<std::tuple<OB_STATUSCODE, int, bool, OB_STATUSCODE, std::wstring, int>> steps =
      {
          {kObNotFound, 0, false, kObNotFound, L"", 0},    // starts stale: read once
          {kObSuccess, 1000, false, kObNotFound, L"", 0},  // still the kept answer
          {kObSuccess, 1000, true, kObSuccess, L"host\\alice", 0x8001},
          {kObSuccess, 0, true, kObSuccess, L"host\\root", kAccountTypeAdministrators},
          {kObFailure, 0, true, kObFailure, L"", 0},
          {kObSuccess, 4242, true, kObFailure, L"", 0},  // no groups, no account entry
          {kObSuccess, 1002, true, kObExportNotPossible, L"", kAccountTypeUsers},  // empty name
      };
  for (const auto& [source, uid, stale, status, name, type] : steps) {
    console_.status = source;
    console_.uid = uid;
    if (stale) user_info_.MarkStale();
    OB_STATUSCODE answer = kObSuccess;
    EXPECT_EQ(ConsoleName(answer), name) << uid;
    EXPECT_EQ(std::tuple(answer, user_info_.GetLoggedOnUserAccountType()),
              std::tuple(status, type));
  }
  EXPECT_EQ(console_.calls, 6);
}

}  // namespace
