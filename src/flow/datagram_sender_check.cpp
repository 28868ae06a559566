#include "flow/datagram_sender_check.h"

#include <arpa/inet.h>

#include <utility>

#include "platform/socket_owner.h"
#include "runtime/log_limiter.h"

CDatagramSenderCheck::CDatagramSenderCheck(const sockaddr_in& channel, std::uint32_t agent_uid)
    : CDatagramSenderCheck(
          [channel](const sockaddr_in& sender, std::uint32_t& uid, int& os_error) {
            orv::platform::UdpSocketOwner owner;
            const OB_STATUSCODE status =
                orv::platform::FindUdpSocketOwner(sender, channel, owner, os_error);
            uid = owner.uid;
            return status;
          },
          agent_uid) {}

CDatagramSenderCheck::CDatagramSenderCheck(OwnerLookup lookup, std::uint32_t agent_uid)
    : lookup_(std::move(lookup)), agent_uid_(agent_uid) {}

bool CDatagramSenderCheck::Admit(const sockaddr_in& sender,
                                 std::chrono::steady_clock::time_point now) {
  const std::uint64_t key =
      (std::uint64_t{ntohl(sender.sin_addr.s_addr)} << 16) | ntohs(sender.sin_port);
  if (const auto known = verdicts_.find(key);
      known != verdicts_.end() && now < known->second.expires) {
    return known->second.admitted;
  }
  if (verdicts_.size() >= kMaxVerdicts) {
    verdicts_.clear();
  }
  const bool admitted = lookUp(sender);
  verdicts_[key] = Verdict{admitted, now + kVerdictLifetime};
  return admitted;
}

bool CDatagramSenderCheck::lookUp(const sockaddr_in& sender) {
  std::uint32_t uid = 0;
  int os_error = 0;
  const OB_STATUSCODE status = lookup_(sender, uid, os_error);
  if (status == kObSuccess) {
    return uid == 0 || uid == agent_uid_;
  }
  if (status != kObNotFound) {
    OB_LOG_LIMITED(LOG_ERROR, "Cannot find the owner of the socket sending from port %u: errno %d",
                   static_cast<unsigned>(ntohs(sender.sin_port)), os_error);
  }
  return false;
}
