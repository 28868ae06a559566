// Which datagrams the flow data channel believes: only those sent from a socket owned by root or
// by the agent's own account.
//
// Any local user can send to a loopback port, so the channel asks the kernel who owns each
// sender's socket (sock_diag, looked up by the sender's address and port). The verdict is kept
// per sender address and port for kVerdictLifetime, so a busy sender costs one lookup a second;
// a port whose verdict expired is looked up again, so a port freed by a trusted sender and
// taken by someone else is refused from then on. A sender whose socket is gone by the time its
// datagram is read cannot be identified and is refused: senders keep their socket open.
//
// Threads: one owner (the channel's I/O thread).
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <unordered_map>

#include "common/status.h"

class CDatagramSenderCheck {
 public:
  // The owner's uid of the socket that sent from sender to the channel; kObNotFound when there
  // is no such socket, kObFailure when the kernel cannot tell (os_error holds the errno).
  using OwnerLookup =
      std::function<OB_STATUSCODE(const sockaddr_in& sender, std::uint32_t& uid, int& os_error)>;

  static constexpr std::chrono::seconds kVerdictLifetime{1};
  // Verdicts kept at most; the table starts afresh when full.
  static constexpr std::size_t kMaxVerdicts = 4096;

  // Checks senders to the channel at channel through sock_diag; trusted are root and agent_uid.
  CDatagramSenderCheck(const sockaddr_in& channel, std::uint32_t agent_uid);
  // As above with another lookup; for tests.
  CDatagramSenderCheck(OwnerLookup lookup, std::uint32_t agent_uid);

  // True when the datagram from sender is to be believed.
  [[nodiscard]] bool Admit(const sockaddr_in& sender, std::chrono::steady_clock::time_point now);

 private:
  struct Verdict {
    bool admitted;
    std::chrono::steady_clock::time_point expires;
  };

  [[nodiscard]] bool lookUp(const sockaddr_in& sender);

  const OwnerLookup lookup_;
  const std::uint32_t agent_uid_;
  std::unordered_map<std::uint64_t, Verdict> verdicts_;  // by sender address and port
};
