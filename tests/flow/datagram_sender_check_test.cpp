#include "flow/datagram_sender_check.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kAgentUid = 1000;

sockaddr_in FromPort(std::uint16_t port) {
  return {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
}

TEST(DatagramSenderCheckTest, BelievesRootAndTheAgentAndRemembersEachPortForASecond) {
  // Port → what the kernel says: an owner uid, or a status without one.
  std::map<std::uint16_t, std::pair<OB_STATUSCODE, std::uint32_t>> kernel = {
      {1, {kObSuccess, 0}},  {2, {kObSuccess, kAgentUid}}, {3, {kObSuccess, 65534}},
      {4, {kObNotFound, 0}}, {5, {kObFailure, 0}},
  };
  int lookups = 0;
  CDatagramSenderCheck check(
      [&](const sockaddr_in& sender, std::uint32_t& uid, int& os_error) {
        ++lookups;
        os_error = 0;
        const auto& [status, owner] = kernel.at(ntohs(sender.sin_port));
        uid = owner;
        return status;
      },
      kAgentUid);
  const Clock::time_point start = Clock::now();
  const std::map<std::uint16_t, bool> expected = {
      {1, true}, {2, true}, {3, false}, {4, false}, {5, false}};
  for (const auto& [port, admitted] : expected) {
    SCOPED_TRACE(port);
    EXPECT_EQ(check.Admit(FromPort(port), start), admitted);
    EXPECT_EQ(check.Admit(FromPort(port), start + std::chrono::milliseconds(999)), admitted);
  }
  EXPECT_EQ(lookups, 5);  // one per port while the verdicts last

  // A trusted sender's port taken over by someone else is refused once its verdict expired.
  kernel[1] = {kObSuccess, 65534};
  EXPECT_FALSE(check.Admit(FromPort(1), start + CDatagramSenderCheck::kVerdictLifetime));
  EXPECT_EQ(lookups, 6);
}

}  // namespace
