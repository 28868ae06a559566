#include "runtime/context_provider_service_base.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <exception>
#include <utility>

#include "runtime/agent_thread.h"
#include "runtime/byte_order.h"
#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/utils.h"

namespace OBRuntime {
namespace {

constexpr int kListenBacklog = 16;
// Packets read from one peer per pass, so that one chatty peer cannot starve the others.
constexpr int kMaxPacketsPerPass = 64;
// How long accepting rests after running out of descriptors or memory.
constexpr auto kAcceptPause = std::chrono::seconds(1);

[[nodiscard]] bool FillAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) {
    return false;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

// Whether some process accepts connections on the socket file at address.
[[nodiscard]] bool SomeoneListens(const sockaddr_un& address) {
  const UniqueFd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!probe.valid()) {
    return true;  // cannot tell: leave the file alone
  }
  if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
    return true;
  }
  return errno != ECONNREFUSED && errno != ENOENT;
}

// After recv returned 0: whether the peer hung up (rather than sent an empty packet).
[[nodiscard]] bool PeerHungUp(int fd) {
  pollfd entry{fd, POLLRDHUP, 0};
  return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace

OB_STATUSCODE EncodeIpcMessage(const IPC_MESSAGE& message, std::vector<std::uint8_t>& packet) {
  if (message.payload_length != message.payload.size() ||
      message.payload.size() > kIpcMaxPayloadSize) {
    OB_LOG_ERROR(
        "Cannot encode a message of type %u: payload length %u, %zu payload bytes, at "
        "most %zu allowed",
        message.type, message.payload_length, message.payload.size(), kIpcMaxPayloadSize);
    return kObBadArgument;
  }
  packet.resize(kIpcHeaderSize + message.payload.size());
  StoreLe<std::uint32_t>(packet.data(), message.version);
  StoreLe<std::uint32_t>(packet.data() + 4, message.type);
  StoreLe<std::uint32_t>(packet.data() + 8, message.payload_length);
  StoreLe<std::uint32_t>(packet.data() + 12, message.part_count);
  std::copy(message.payload.begin(), message.payload.end(), packet.begin() + kIpcHeaderSize);
  return kObSuccess;
}

OB_STATUSCODE DecodeIpcMessage(std::span<const std::uint8_t> packet, std::size_t packet_length,
                               IPC_MESSAGE& message) {
  if (packet_length > kIpcMaxPacketSize || packet_length > packet.size()) {
    OB_LOG_WARN("Dropped a context message of %zu bytes: larger than %zu bytes", packet_length,
                kIpcMaxPacketSize);
    return kObBadArgument;
  }
  if (packet_length < kIpcHeaderSize) {
    OB_LOG_WARN("Dropped a context message of %zu bytes: shorter than the %zu-byte header",
                packet_length, kIpcHeaderSize);
    return kObBadArgument;
  }
  const std::uint8_t* bytes = packet.data();
  const auto version = LoadLe<std::uint32_t>(bytes);
  const auto payload_length = LoadLe<std::uint32_t>(bytes + 8);
  if (version != kIpcMessageVersion) {
    OB_LOG_WARN("Dropped a context message of %zu bytes: version %u, expected %u", packet_length,
                version, kIpcMessageVersion);
    return kObBadArgument;
  }
  if (payload_length != packet_length - kIpcHeaderSize) {
    OB_LOG_WARN("Dropped a context message of %zu bytes: its header gives a payload of %u bytes",
                packet_length, payload_length);
    return kObBadArgument;
  }
  message.version = version;
  message.type = LoadLe<std::uint32_t>(bytes + 4);
  message.payload_length = payload_length;
  message.part_count = LoadLe<std::uint32_t>(bytes + 12);
  message.payload.assign(bytes + kIpcHeaderSize, bytes + packet_length);
  return kObSuccess;
}

std::string DefaultContextProviderSocketPath() {
  return WideToUtf8(Utils::GetORVDataDirectory()) + "/ContextProvider.sock";
}

bool IsContextPeerAllowed(uid_t peer_uid, uid_t own_uid) noexcept {
  return peer_uid == 0 || peer_uid == own_uid;
}

CContextProviderServiceBase::CContextProviderServiceBase(std::int32_t self_identity,
                                                         std::int32_t provider_type,
                                                         std::vector<std::int32_t> peer_identities,
                                                         std::uint32_t value, OB_STATUSCODE& status,
                                                         std::uint32_t retry_count,
                                                         ContextProviderOptions options)
    : self_identity_(self_identity),
      provider_type_(provider_type),
      peer_identities_(std::move(peer_identities)),
      value_(value),
      retry_count_(retry_count),
      options_(std::move(options)),
      own_uid_(::geteuid()),
      wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (options_.socket_path.empty()) {
    options_.socket_path = DefaultContextProviderSocketPath();
  }
  status = kObSuccess;
  if (!wake_fd_.valid()) {
    OB_LOG_ERROR("eventfd failed: %s", ErrnoText(errno).c_str());
    status = kObFailure;
  }
}

CContextProviderServiceBase::~CContextProviderServiceBase() { Shutdown(); }

OB_STATUSCODE CContextProviderServiceBase::Listen() {
  if (listen_fd_.valid()) {
    return kObAlreadyRunning;
  }
  if (!wake_fd_.valid()) {
    return kObFailure;
  }
  if (const OB_STATUSCODE status = bindSocket(); !ObSucceeded(status)) {
    return status;
  }
  stopping_ = false;
  try {
    io_thread_ = OBRuntime::StartAgentThread([this] { ioThreadProc(); });
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Caught exception: %s.", e.what());
    Shutdown();
    return kObFailure;
  }
  std::string peers;
  for (const std::int32_t peer : peer_identities_) {
    peers += (peers.empty() ? "" : ",") + std::to_string(peer);
  }
  OB_LOG_DEBUG("Context provider %d (type %d, peers %s, %u, %u) listens on %s", self_identity_,
               provider_type_, peers.c_str(), value_, retry_count_, options_.socket_path.c_str());
  return kObSuccess;
}

OB_STATUSCODE CContextProviderServiceBase::bindSocket() {
  const std::string& path = options_.socket_path;
  sockaddr_un address;
  if (!FillAddress(path, address)) {
    OB_LOG_ERROR("Socket path \"%s\" has %zu bytes; 1 to %zu allowed", path.c_str(), path.size(),
                 sizeof(address.sun_path) - 1);
    return kObBadArgument;
  }
  struct stat existing;
  if (::lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      OB_LOG_ERROR("%s exists and is not a socket; left alone", path.c_str());
      return kObFailure;
    }
    if (SomeoneListens(address)) {
      OB_LOG_ERROR("Another process listens on %s", path.c_str());
      return kObAlreadyRunning;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      OB_LOG_ERROR("Cannot remove the stale socket %s: %s", path.c_str(), ErrnoText(errno).c_str());
      return kObFailure;
    }
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    OB_LOG_ERROR("socket failed: %s", ErrnoText(errno).c_str());
    return kObNoSocket;
  }
  // The mode of an unbound socket's inode is the mode bind gives the file: no window in which
  // others could connect before the chmod.
  (void)::fchmod(fd.get(), S_IRUSR | S_IWUSR);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    OB_LOG_ERROR("bind to %s failed: %s", path.c_str(), ErrnoText(errno).c_str());
    return kObFailure;
  }
  struct stat bound;
  if (::chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0 || ::lstat(path.c_str(), &bound) != 0 ||
      ::listen(fd.get(), kListenBacklog) != 0) {
    OB_LOG_ERROR("Cannot set up %s: %s", path.c_str(), ErrnoText(errno).c_str());
    ::unlink(path.c_str());
    return kObFailure;
  }
  socket_device_ = bound.st_dev;
  socket_inode_ = bound.st_ino;
  listen_fd_ = std::move(fd);
  return kObSuccess;
}

void CContextProviderServiceBase::Shutdown() {
  if (io_thread_.joinable()) {
    stopping_ = true;
    wake();
    io_thread_.join();
  }
  {
    const std::lock_guard lock(mutex_);
    peers_.clear();
    graveyard_.clear();
  }
  if (listen_fd_.valid()) {
    listen_fd_.Reset();
    struct stat current;
    const std::string& path = options_.socket_path;
    if (::lstat(path.c_str(), &current) == 0 && current.st_dev == socket_device_ &&
        current.st_ino == socket_inode_) {
      ::unlink(path.c_str());
    }
  }
}

bool CContextProviderServiceBase::ArePeersConnected() const {
  const std::lock_guard lock(mutex_);
  return std::any_of(peers_.begin(), peers_.end(),
                     [](const auto& entry) { return !entry.second.closing; });
}

OB_STATUSCODE CContextProviderServiceBase::SendMessageToAllPeers(const IPC_MESSAGE& message) {
  std::vector<std::uint8_t> packet;
  if (const OB_STATUSCODE status = EncodeIpcMessage(message, packet); !ObSucceeded(status)) {
    return status;
  }
  bool failed = false;
  bool queued = false;
  {
    const std::lock_guard lock(mutex_);
    for (auto& [identity, peer] : peers_) {
      if (peer.closing) {
        continue;
      }
      if (!deliverLocked(identity, peer, packet)) {
        peer.closing = true;
        failed = true;
      }
      queued = queued || !peer.backlog.empty();
    }
  }
  if (failed || queued) {
    wake();  // the I/O thread stops failed peers and polls for room to flush backlogs
  }
  return failed ? kObPartialFailure : kObSuccess;
}

OB_STATUSCODE CContextProviderServiceBase::DisconnectPeer(std::int32_t identity) {
  {
    const std::lock_guard lock(mutex_);
    const auto found = peers_.find(identity);
    if (found == peers_.end()) {
      return kObNotFound;
    }
    ::shutdown(found->second.fd.get(), SHUT_RDWR);  // the peer sees the end at once
    graveyard_.push_back(std::move(found->second.fd));
    peers_.erase(found);
  }
  wake();
  OB_LOG_DEBUG("Context consumer %d disconnected", identity);
  return kObSuccess;
}

bool CContextProviderServiceBase::deliverLocked(std::int32_t identity, Peer& peer,
                                                const std::vector<std::uint8_t>& packet) {
  if (peer.backlog.empty()) {
    const ssize_t sent =
        ::send(peer.fd.get(), packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0 && static_cast<std::size_t>(sent) == packet.size()) {
      return true;
    }
    if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      OB_LOG_WARN("Sending %zu bytes to context consumer %d failed: %s", packet.size(), identity,
                  sent >= 0 ? "partial packet" : ErrnoText(errno).c_str());
      return false;
    }
  }
  if (peer.backlog_bytes + packet.size() > options_.max_backlog_bytes) {
    OB_LOG_WARN(
        "Dropping context consumer %d: it stopped reading (%zu bytes waiting, %zu more "
        "would pass the bound of %zu)",
        identity, peer.backlog_bytes, packet.size(), options_.max_backlog_bytes);
    return false;
  }
  peer.backlog.push_back(packet);
  peer.backlog_bytes += packet.size();
  return true;
}

void CContextProviderServiceBase::wake() {
  const std::uint64_t one = 1;
  // A full counter (never in practice) already means "wake up".
  (void)!::write(wake_fd_.get(), &one, sizeof(one));
}

void CContextProviderServiceBase::ioThreadProc() {
  try {
    while (serviceOnce()) {
    }
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Caught exception: %s.", e.what());
  }
}

bool CContextProviderServiceBase::serviceOnce() {
  stopClosingPeers();
  // Out of descriptors, a waiting connection keeps the listening socket readable: leave it
  // alone for a while instead of spinning on accept.
  const auto now = std::chrono::steady_clock::now();
  const bool accepting = now >= accept_resume_;
  const int timeout_ms =
      accepting ? -1
                : static_cast<int>(
                      std::chrono::ceil<std::chrono::milliseconds>(accept_resume_ - now).count());
  std::vector<pollfd> entries{{wake_fd_.get(), POLLIN, 0},
                              {listen_fd_.get(), static_cast<short>(accepting ? POLLIN : 0), 0}};
  std::vector<std::int32_t> identities;
  {
    const std::lock_guard lock(mutex_);
    graveyard_.clear();  // not in any poll set now
    for (const auto& [identity, peer] : peers_) {
      const short events = static_cast<short>(POLLIN | (peer.backlog.empty() ? 0 : POLLOUT));
      entries.push_back({peer.fd.get(), events, 0});
      identities.push_back(identity);
    }
  }
  if (::poll(entries.data(), entries.size(), timeout_ms) < 0) {
    if (errno != EINTR) {
      OB_LOG_ERROR("poll failed: %s", ErrnoText(errno).c_str());
      return false;
    }
    return true;
  }
  if (entries[0].revents != 0) {
    std::uint64_t count = 0;
    (void)!::read(wake_fd_.get(), &count, sizeof(count));
    if (stopping_) {
      return false;
    }
  }
  if ((entries[1].revents & POLLIN) != 0) {
    acceptPeer();
  }
  for (std::size_t i = 0; i < identities.size(); ++i) {
    const pollfd& entry = entries[i + 2];
    if ((entry.revents & POLLOUT) != 0) {
      flushBacklog(identities[i]);
    }
    if ((entry.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0 &&
        !readPeer(identities[i], entry.fd)) {
      const std::lock_guard lock(mutex_);
      if (const auto found = peers_.find(identities[i]); found != peers_.end()) {
        found->second.closing = true;
      }
    }
  }
  return true;
}

void CContextProviderServiceBase::acceptPeer() {
  UniqueFd fd(::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!fd.valid()) {
    const int error = errno;
    if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
      accept_resume_ = std::chrono::steady_clock::now() + kAcceptPause;
    }
    if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR && error != ECONNABORTED) {
      OB_LOG_ERROR("accept on %s failed: %s", options_.socket_path.c_str(),
                   ErrnoText(error).c_str());
    }
    return;
  }
  ucred credentials{};
  socklen_t length = sizeof(credentials);
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    OB_LOG_ERROR("Refused a context consumer: its credentials are unknown (%s)",
                 ErrnoText(errno).c_str());
    return;
  }
  if (!IsContextPeerAllowed(credentials.uid, own_uid_)) {
    OB_LOG_WARN("Refused context consumer pid %d uid %u: only root and uid %u may connect",
                static_cast<int>(credentials.pid), static_cast<unsigned>(credentials.uid),
                static_cast<unsigned>(own_uid_));
    return;
  }
  std::int32_t identity = 0;
  {
    const std::lock_guard lock(mutex_);
    if (peers_.size() >= options_.max_peers) {
      OB_LOG_WARN("Refused context consumer pid %d: %zu consumers connected already",
                  static_cast<int>(credentials.pid), peers_.size());
      return;
    }
    do {
      identity = next_identity_;
      next_identity_ = next_identity_ == INT32_MAX ? 0 : next_identity_ + 1;
    } while (peers_.contains(identity));
    peers_[identity].fd = std::move(fd);
  }
  OB_LOG_DEBUG("Context consumer %d connected (pid %d, uid %u)", identity,
               static_cast<int>(credentials.pid), static_cast<unsigned>(credentials.uid));
  start();
}

bool CContextProviderServiceBase::readPeer(std::int32_t identity, int fd) {
  std::vector<std::uint8_t>& buffer = receive_buffer_;
  buffer.resize(kIpcMaxPacketSize);
  for (int i = 0; i < kMaxPacketsPerPass; ++i) {
    const ssize_t length = ::recv(fd, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
    if (length < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return true;
      }
      OB_LOG_WARN("Receiving from context consumer %d failed: %s", identity,
                  ErrnoText(errno).c_str());
      return false;
    }
    if (length == 0 && PeerHungUp(fd)) {
      OB_LOG_DEBUG("Context consumer %d hung up", identity);
      return false;
    }
    IPC_MESSAGE message;
    if (ObSucceeded(DecodeIpcMessage(buffer, static_cast<std::size_t>(length), message))) {
      OnNewMessageReceived(message);
    }
  }
  return true;
}

void CContextProviderServiceBase::flushBacklog(std::int32_t identity) {
  const std::lock_guard lock(mutex_);
  const auto found = peers_.find(identity);
  if (found == peers_.end()) {
    return;
  }
  Peer& peer = found->second;
  while (!peer.backlog.empty() && !peer.closing) {
    const std::vector<std::uint8_t>& packet = peer.backlog.front();
    const ssize_t sent =
        ::send(peer.fd.get(), packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      return;
    }
    if (sent < 0 || static_cast<std::size_t>(sent) != packet.size()) {
      OB_LOG_WARN("Sending %zu bytes to context consumer %d failed: %s", packet.size(), identity,
                  sent >= 0 ? "partial packet" : ErrnoText(errno).c_str());
      peer.closing = true;
      return;
    }
    peer.backlog_bytes -= packet.size();
    peer.backlog.pop_front();
  }
}

void CContextProviderServiceBase::stopClosingPeers() {
  for (;;) {
    std::int32_t identity = 0;
    {
      const std::lock_guard lock(mutex_);
      const auto closing = std::find_if(peers_.begin(), peers_.end(),
                                        [](const auto& entry) { return entry.second.closing; });
      if (closing == peers_.end()) {
        return;
      }
      identity = closing->first;
    }
    stop(identity);
    const std::lock_guard lock(mutex_);
    if (const auto found = peers_.find(identity); found != peers_.end()) {
      ::shutdown(found->second.fd.get(), SHUT_RDWR);
      graveyard_.push_back(std::move(found->second.fd));
      peers_.erase(found);
    }
  }
}

}  // namespace OBRuntime
