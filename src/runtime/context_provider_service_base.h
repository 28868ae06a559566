// The runtime's inter-process context provider: a listening Unix SOCK_SEQPACKET socket through
// which peer modules subscribe to a context the agent publishes.
//
// Wire format: one message per packet, a header of four little-endian 32-bit words (3, type,
// payload length, 1) followed by the payload. A packet that is shorter than the header, whose
// header length disagrees with the packet, whose first word is not 3, or that is larger than
// kIpcMaxPacketSize is logged and dropped; the connection stays.
//
// A peer's connection is a consumer's start, its end (hang-up, error, being dropped) a stop of
// that peer's identity, a connection number counted from 0. Only root and the agent's own uid may
// connect (SO_PEERCRED); anyone else is refused with a log line. Sends never block: a peer whose
// socket buffer is full gets the rest queued in a per-peer backlog, and a peer whose backlog
// passes its bound is dropped (it stopped reading) with a log line.
//
// Threads: one I/O thread (poll, with an eventfd to wake it) accepts, reads and flushes backlogs,
// and calls the three virtuals start, stop and OnNewMessageReceived; never two at once. The
// derived class calls Listen at the end of its constructor and Shutdown at the start of its
// destructor, so that no virtual is called on a half-built or half-destroyed object.
// ArePeersConnected, SendMessageToAllPeers and DisconnectPeer are safe from any thread, the I/O
// thread's callbacks included. Listen and Shutdown belong to the owner's thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/status.h"
#include "runtime/unique_fd.h"

namespace OBRuntime {

inline constexpr std::uint32_t kIpcMessageVersion = 3;
// The fourth header word: the message is complete in this one packet.
inline constexpr std::uint32_t kIpcMessagePartCount = 1;
inline constexpr std::size_t kIpcHeaderSize = 16;
// Larger packets are neither sent nor accepted.
inline constexpr std::size_t kIpcMaxPacketSize = std::size_t{64} * 1024;
inline constexpr std::size_t kIpcMaxPayloadSize = kIpcMaxPacketSize - kIpcHeaderSize;

// One message between the agent and a peer; payload_length must equal payload.size().
struct IPC_MESSAGE {
  std::uint32_t version = kIpcMessageVersion;
  std::uint32_t type = 0;
  std::uint32_t payload_length = 0;
  std::uint32_t part_count = kIpcMessagePartCount;
  std::vector<std::uint8_t> payload;
};

// The packet for a message; kObBadArgument when payload_length disagrees with the payload or the
// packet would exceed kIpcMaxPacketSize.
[[nodiscard]] OB_STATUSCODE EncodeIpcMessage(const IPC_MESSAGE& message,
                                             std::vector<std::uint8_t>& packet);
// The message in a received packet (packet_length as recv reported it with MSG_TRUNC, so it may
// exceed packet.size()); kObBadArgument, with a log line, for a malformed or oversized packet.
[[nodiscard]] OB_STATUSCODE DecodeIpcMessage(std::span<const std::uint8_t> packet,
                                             std::size_t packet_length, IPC_MESSAGE& message);

// The ORV data directory's "ContextProvider.sock", in UTF-8.
[[nodiscard]] std::string DefaultContextProviderSocketPath();

// Whether a peer running as peer_uid may connect to a service running as own_uid.
[[nodiscard]] bool IsContextPeerAllowed(uid_t peer_uid, uid_t own_uid) noexcept;

struct ContextProviderOptions {
  std::string socket_path;                  // empty: DefaultContextProviderSocketPath()
  std::size_t max_backlog_bytes = 1 << 20;  // per peer, packets waiting beyond the socket buffer
  std::size_t max_peers = 64;               // further connections are refused
};

class CContextProviderServiceBase {
 public:
  // The identities, provider type and the two values name this service among the product's
  // modules; they are kept for diagnostics and do not change the transport. status is set to
  // kObFailure when the wake-up descriptor cannot be made.
  CContextProviderServiceBase(std::int32_t self_identity, std::int32_t provider_type,
                              std::vector<std::int32_t> peer_identities, std::uint32_t value,
                              OB_STATUSCODE& status, std::uint32_t retry_count,
                              ContextProviderOptions options = {});
  virtual ~CContextProviderServiceBase();
  CContextProviderServiceBase(const CContextProviderServiceBase&) = delete;
  CContextProviderServiceBase& operator=(const CContextProviderServiceBase&) = delete;

  // Binds the socket (replacing a stale socket file nobody listens on, never another kind of
  // file), mode 0600, and starts the I/O thread. kObAlreadyRunning when listening already.
  [[nodiscard]] OB_STATUSCODE Listen();
  // Stops the I/O thread, closes every connection without calling stop, and removes the socket
  // file if it is still the one Listen made. Idempotent.
  void Shutdown();

  // True while some peer is connected and not on its way out.
  [[nodiscard]] bool ArePeersConnected() const;
  // Sends to every connected peer, or queues for those whose socket is full. kObBadArgument for
  // a message that cannot be encoded; kObPartialFailure when some peer failed or passed its
  // backlog bound (it is dropped and stopped); success with no peer at all.
  [[nodiscard]] OB_STATUSCODE SendMessageToAllPeers(const IPC_MESSAGE& message);
  // Closes the peer's connection; kObNotFound for an identity not connected.
  [[nodiscard]] OB_STATUSCODE DisconnectPeer(std::int32_t identity);

  [[nodiscard]] const std::string& socket_path() const { return options_.socket_path; }

 protected:
  // A consumer connected.
  virtual void start() = 0;
  // The peer with this identity went away, failed or was dropped; it is still listed, so the
  // override may DisconnectPeer it. It is removed after the call in any case.
  virtual void stop(std::int32_t identity) = 0;
  // A well-formed message arrived from a peer.
  virtual void OnNewMessageReceived(const IPC_MESSAGE& message) = 0;

 private:
  struct Peer {
    UniqueFd fd;
    std::deque<std::vector<std::uint8_t>> backlog;
    std::size_t backlog_bytes = 0;
    bool closing = false;  // hung up, failed or dropped; stop not yet called
  };

  [[nodiscard]] OB_STATUSCODE bindSocket();
  void ioThreadProc();
  // Polls once and handles what became ready; false when asked to stop.
  bool serviceOnce();
  void acceptPeer();
  // Reads the peer's waiting packets; false when it hung up or failed.
  bool readPeer(std::int32_t identity, int fd);
  void flushBacklog(std::int32_t identity);
  void stopClosingPeers();
  // Sends or queues one packet; false when the peer must go. Caller holds mutex_.
  bool deliverLocked(std::int32_t identity, Peer& peer, const std::vector<std::uint8_t>& packet);
  void wake();

  // Set at construction, read-only afterwards.
  const std::int32_t self_identity_;
  const std::int32_t provider_type_;
  const std::vector<std::int32_t> peer_identities_;
  const std::uint32_t value_;
  const std::uint32_t retry_count_;
  ContextProviderOptions options_;
  const uid_t own_uid_;
  UniqueFd wake_fd_;

  // Owner's thread only (and the I/O thread, which it starts after setting them).
  UniqueFd listen_fd_;
  dev_t socket_device_ = 0;
  ino_t socket_inode_ = 0;
  std::thread io_thread_;
  std::atomic<bool> stopping_{false};

  mutable std::mutex mutex_;
  std::map<std::int32_t, Peer> peers_;  // guarded by mutex_
  // Descriptors disconnected by any thread, closed by the I/O thread once it is not polling
  // them, so that a reused descriptor number is never polled on a dead peer's behalf.
  std::vector<UniqueFd> graveyard_;           // guarded by mutex_
  std::int32_t next_identity_ = 0;            // I/O thread only
  std::vector<std::uint8_t> receive_buffer_;  // I/O thread only
  // I/O thread only: accepting rests until then after a shortage of descriptors.
  std::chrono::steady_clock::time_point accept_resume_{};
};

}  // namespace OBRuntime
