// UDP transport to the collector: one datagram per IPFIX message, on Boost.Asio.
//
// Connect resolves the collector (numeric port only) and keeps a UDP socket of the family of the
// first address found, bound to local port 25001 or, when that is taken, to a port reached by up
// to four random steps of 0 to 9 above it. A later resolution to the same family only replaces
// the collector's endpoint; another family replaces the socket. Asio's asynchronous operations
// are started and then driven to completion inside the call, so every operation is synchronous
// and no handler runs outside Connect and Send.
//
// Socket state:
//   none (family 2) --Connect, socket opened and bound--> IPv4 (0) or IPv6 (1)
//   IPv4/IPv6 --Connect to the other family--> none, then the new family once opened and bound
//   any --Disconnect--> none
// The family is recorded only once its socket is open and bound, so a failed family switch
// leaves "none": Connect answers -9999 and Send -9987, never success with an unusable socket.
//
// Not thread-safe: the exporter thread is the only caller.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "export/exporter_transport.h"

class ExporterUDPTransport : public IExporterTransport {
 public:
  static constexpr int kFamilyIPv4 = 0;
  static constexpr int kFamilyIPv6 = 1;
  static constexpr int kFamilyNone = 2;
  static constexpr std::uint16_t kFirstLocalPort = 25001;
  static constexpr int kMaxBindTries = 5;

  ExporterUDPTransport() = default;
  ~ExporterUDPTransport() override;
  ExporterUDPTransport(const ExporterUDPTransport&) = delete;
  ExporterUDPTransport& operator=(const ExporterUDPTransport&) = delete;

  // IExporterTransport
  [[nodiscard]] OB_STATUSCODE Connect(const std::string& host, const std::string& port) override;
  [[nodiscard]] OB_STATUSCODE Send(const std::uint8_t* bytes, std::size_t length,
                                   const ExporterSendCallback& completion) override;
  OB_STATUSCODE Disconnect() override;

  // Family of the open socket: kFamilyIPv4, kFamilyIPv6 or kFamilyNone.
  [[nodiscard]] int Family() const { return family_; }
  // Local port the socket is bound to; 0 without a socket.
  [[nodiscard]] std::uint16_t LocalPort() const;
  // The collector's endpoint from the last successful resolution (unspecified before).
  [[nodiscard]] const boost::asio::ip::udp::endpoint& CollectorEndpoint() const {
    return endpoint_;
  }

 private:
  void resolveHandler(const boost::system::error_code& error,
                      const boost::asio::ip::udp::resolver::results_type& results);
  void sendHandler(const boost::system::error_code& error, std::size_t bytes);
  // Replaces the socket by one of the family, bound near kFirstLocalPort; the family is recorded
  // only on success.
  [[nodiscard]] OB_STATUSCODE openSocket(int family);
  void closeSocket();

  ExporterSendCallback completion_;  // of the send under way
  std::string host_;
  std::string port_;
  boost::asio::ip::udp::endpoint endpoint_;  // valid once a resolution has succeeded
  boost::asio::io_context io_;
  std::unique_ptr<boost::asio::ip::udp::socket> socket_;  // null until a socket is open and bound
  int family_ = kFamilyNone;
  bool resolved_ = false;
  bool sent_ = false;
};
