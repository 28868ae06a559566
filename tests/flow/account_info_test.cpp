#include "flow/account_info.h"

#include <gtest/gtest.h>

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
                        {30, "dip"},
                        {901, "domain users@corp"},
                        {900, "CORP Domain Users"}};
    accounts_.users = {{0, "root"}, {1000, "alice"}, {1001, "bob@corp.example"}, {1002, ""}};
    accounts_.user_groups = {{1000, {100, 900}}, {0, {0}}, {1001, {}}, {1002, {100}}};
  }

  orv::test::FakeAccountDirectory accounts_;
};

TEST_F(AccountInfoTest, AccountTypeFollowsTheWalkOrder) {
  // uid, groups, account type. Root counts as Administrators before any group is seen; groups
  // without a role or a name change nothing; Users goes on, Administrators and Guests end the
  // walk, so a domain group after the end is unseen.
  const std::vector<std::tuple<std::uint32_t, std::vector<std::uint32_t>, int>> cases = {
      {0, {900}, 2},
      {65534, {27}, 3},
      {1000, {}, 1},
      {500, {30, 4242}, 0},
      {500, {100, 27}, 2},
      {500, {5, 27}, 3},
      {500, {900, 27}, 0x8002},
      {500, {27, 900}, 2},
      {500, {901, 100}, 0x8001},
      {500, {900, 901}, 0x8000}};
  for (const auto& [uid, groups, type] : cases) {
    EXPECT_EQ(ComputeAccountType(uid, groups, accounts_), type) << uid << " " << groups.size();
  }
}

TEST_F(AccountInfoTest, ConsoleUserIsKeptWithItsStatusUntilMarkedStale) {
  orv::test::FakeConsoleUserSource console;
  CUserInfo user_info{console, accounts_};
  // What the console source answers (status, uid), whether the answer was marked stale, and
  // the name's status, the name and the account type then. It starts stale: read once.
  const std::vector<std::tuple<OB_STATUSCODE, int, bool, OB_STATUSCODE, std::wstring, int>> steps =
      {{kObNotFound, 0, false, kObNotFound, L"", 0},
       {kObSuccess, 1000, false, kObNotFound, L"", 0},  // still the kept answer
       {kObSuccess, 1000, true, kObSuccess, L"host\\alice", 0x8001},
       {kObSuccess, 1001, true, kObSuccess, L"corp.example\\bob", kAccountTypeUsers},
       {kObSuccess, 0, true, kObSuccess, L"host\\root", kAccountTypeAdministrators},
       {kObFailure, 0, true, kObFailure, L"", 0},
       {kObSuccess, 4242, true, kObFailure, L"", 0},  // no groups, no account entry
       {kObSuccess, 1002, true, kObExportNotPossible, L"", kAccountTypeUsers}};  // empty name
  for (const auto& [source, uid, stale, status, name, type] : steps) {
    console.status = source;
    console.uid = uid;
    if (stale) user_info.MarkStale();
    // The size-then-copy protocol of the flow record: user, domain and 4.
    std::uint32_t size = 0;
    OB_STATUSCODE answer = user_info.GetLoggedOnUserName(nullptr, size);
    std::wstring buffer(size, L'\0');
    if (answer == kObBufferTooSmall) {
      EXPECT_EQ(size, name.size() + 3);
      --size;
      EXPECT_EQ(user_info.GetLoggedOnUserName(buffer.data(), size), kObBufferTooSmall);
      answer = user_info.GetLoggedOnUserName(buffer.data(), size);
    }
    EXPECT_EQ(
        std::tuple(answer, std::wstring(buffer.c_str()), user_info.GetLoggedOnUserAccountType()),
        std::tuple(status, name, type))
        << uid;
  }
  EXPECT_EQ(console.calls, 7);
}

}  // namespace
