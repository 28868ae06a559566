// A context consumer for tests: a SOCK_SEQPACKET connection to a context provider's socket that
// sends raw packets or messages and receives packets with a deadline.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "runtime/context_provider_service_base.h"
#include "runtime/unique_fd.h"
#include "support/wait.h"

namespace orv::test {

class ContextTestClient {
 public:
  static constexpr auto kDeadline = std::chrono::seconds(10);

  explicit ContextTestClient(const std::string& path)
      : fd_(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    connected_ = fd_.valid() && ::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&address),
                                          sizeof(address)) == 0;
  }

  [[nodiscard]] bool connected() const { return connected_; }
  void Close() { fd_.Reset(); }

  [[nodiscard]] bool SendRaw(const std::vector<std::uint8_t>& packet) const {
    return ::send(fd_.get(), packet.data(), packet.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(packet.size());
  }
  [[nodiscard]] bool SendMessage(std::uint32_t type, std::vector<std::uint8_t> payload = {}) const {
    OBRuntime::IPC_MESSAGE message;
    message.type = type;
    message.payload_length = static_cast<std::uint32_t>(payload.size());
    message.payload = std::move(payload);
    std::vector<std::uint8_t> packet;
    return ObSucceeded(OBRuntime::EncodeIpcMessage(message, packet)) && SendRaw(packet);
  }

  // The next packet; nullopt when none arrives in time or the connection ended.
  [[nodiscard]] std::optional<std::vector<std::uint8_t>> Receive(
      std::chrono::milliseconds timeout = kDeadline) {
    pollfd entry{fd_.get(), POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) {
      return std::nullopt;
    }
    std::vector<std::uint8_t> packet(OBRuntime::kIpcMaxPacketSize);
    const ssize_t length = ::recv(fd_.get(), packet.data(), packet.size(), 0);
    if (length <= 0) {
      eof_ = true;
      return std::nullopt;
    }
    packet.resize(static_cast<std::size_t>(length));
    return packet;
  }
  // The next message, decoded; nullopt as for Receive or when malformed.
  [[nodiscard]] std::optional<OBRuntime::IPC_MESSAGE> ReceiveMessage(
      std::chrono::milliseconds timeout = kDeadline) {
    const auto packet = Receive(timeout);
    OBRuntime::IPC_MESSAGE message;
    if (!packet || !ObSucceeded(OBRuntime::DecodeIpcMessage(*packet, packet->size(), message))) {
      return std::nullopt;
    }
    return message;
  }
  // True once the provider closed the connection (packets still waiting are read and dropped).
  [[nodiscard]] bool WaitForEof() {
    return WaitUntil([this] { return eof_ || (!Receive(std::chrono::milliseconds(100)) && eof_); },
                     kDeadline);
  }

 private:
  OBRuntime::UniqueFd fd_;
  bool connected_ = false;
  bool eof_ = false;
};

}  // namespace orv::test
