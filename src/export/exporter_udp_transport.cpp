#include "export/exporter_udp_transport.h"

#include <boost/asio/ip/v6_only.hpp>
#include <charconv>
#include <ctime>
#include <exception>
#include <random>

#include "runtime/logger.h"

namespace asio = boost::asio;
using asio::ip::udp;

namespace {

bool IsCollectorPort(const std::string& port) {
  unsigned value = 0;
  const char* end = port.data() + port.size();
  const auto [stop, error] = std::from_chars(port.data(), end, value);
  return error == std::errc() && stop == end && value >= 1 && value <= 65535;
}

}  // namespace

ExporterUDPTransport::~ExporterUDPTransport() { Disconnect(); }

OB_STATUSCODE ExporterUDPTransport::Connect(const std::string& host, const std::string& port) {
  io_.restart();
  host_ = host;
  port_ = port;
  resolved_ = false;
  if (!IsCollectorPort(port_)) {
    // getaddrinfo takes an empty service as port 0, which no datagram can be sent to.
    OB_LOG_AS(LOG_ERROR, "ExporterUDPTransport::resolveHandler",
              "Failed to resolve endpoint with error: %s",
              ("port \"" + port_ + "\" is not a number from 1 to 65535").c_str());
    return kObFailure;
  }
  try {
    udp::resolver resolver(io_);
    resolver.async_resolve(
        host_, port_, udp::resolver::numeric_service,
        [this](const boost::system::error_code& error, const udp::resolver::results_type& results) {
          resolveHandler(error, results);
        });
    io_.run();
  } catch (const std::exception& e) {
    OB_LOG_AS(LOG_ERROR, "ExporterUDPTransport::resolveHandler",
              "Exception occurred while opening a socket: %s", e.what());
    resolved_ = false;
  }
  io_.restart();
  return resolved_ ? kObSuccess : kObFailure;
}

void ExporterUDPTransport::resolveHandler(const boost::system::error_code& error,
                                          const udp::resolver::results_type& results) {
  resolved_ = false;
  if (error || results.empty()) {
    OB_LOG_ERROR("Failed to resolve endpoint with error: %s",
                 error ? error.message().c_str() : "no address");
    return;
  }
  const udp::endpoint endpoint = results.begin()->endpoint();
  const int family = endpoint.address().is_v6() ? kFamilyIPv6 : kFamilyIPv4;
  if (family != family_ || !socket_) {
    if (openSocket(family) != kObSuccess) {
      return;
    }
  }
  resolved_ = true;
  endpoint_ = endpoint;
  OB_LOG_DEBUG("Server resolved to %s", endpoint_.address().to_string().c_str());
}

OB_STATUSCODE ExporterUDPTransport::openSocket(int family) {
  closeSocket();
  auto socket = std::make_unique<udp::socket>(io_);
  const udp protocol = family == kFamilyIPv6 ? udp::v6() : udp::v4();
  boost::system::error_code error;
  socket->open(protocol, error);
  if (!error && family == kFamilyIPv6) {
    socket->set_option(asio::ip::v6_only(true), error);
  }
  if (error) {
    OB_LOG_AS(LOG_ERROR, "ExporterUDPTransport::resolveHandler",
              "Exception occurred while opening a socket: %s", error.message().c_str());
    OB_LOG_AS(LOG_ERROR, "ExporterUDPTransport::resolveHandler", "Failed to create socket.");
    return kObOutOfMemory;
  }
  // A private generator: reseeding the C library's one would disturb its other users.
  std::minstd_rand random(static_cast<std::minstd_rand::result_type>(std::time(nullptr)));
  unsigned port = kFirstLocalPort;
  for (int attempt = 1;; ++attempt) {
    socket->bind(udp::endpoint(protocol, static_cast<std::uint16_t>(port)), error);
    if (!error) {
      break;
    }
    if (attempt == kMaxBindTries) {
      OB_LOG_AS(LOG_ERROR, "ExporterUDPTransport::resolveHandler", "Failed to bind to port %d.",
                static_cast<int>(port));
      return kObFailure;
    }
    port += random() % 10;
  }
  socket_ = std::move(socket);
  family_ = family;
  return kObSuccess;
}

OB_STATUSCODE ExporterUDPTransport::Send(const std::uint8_t* bytes, std::size_t length,
                                         const ExporterSendCallback& completion) {
  if (!socket_) {
    return kObNoSocket;
  }
  sent_ = false;
  completion_ = completion;
  try {
    socket_->async_send_to(asio::buffer(bytes, length), endpoint_,
                           [this](const boost::system::error_code& error, std::size_t sent) {
                             sendHandler(error, sent);
                           });
    io_.run();
  } catch (const std::exception& e) {
    OB_LOG_ERROR("CExporter::sendToCollector failed with exception: %s", e.what());
    sent_ = false;
  }
  io_.restart();
  return sent_ ? kObSuccess : kObFailure;
}

void ExporterUDPTransport::sendHandler(const boost::system::error_code& error, std::size_t bytes) {
  sent_ = !error;
  if (completion_) {
    completion_(error ? kObFailure : kObSuccess, bytes);
  }
}

OB_STATUSCODE ExporterUDPTransport::Disconnect() {
  try {
    io_.stop();
    io_.restart();
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Stop failed with exception: %s", e.what());
  }
  closeSocket();
  return kObSuccess;
}

void ExporterUDPTransport::closeSocket() {
  if (socket_) {
    boost::system::error_code ignored;
    socket_->close(ignored);
    socket_.reset();
  }
  family_ = kFamilyNone;
}

std::uint16_t ExporterUDPTransport::LocalPort() const {
  if (!socket_) {
    return 0;
  }
  boost::system::error_code error;
  const udp::endpoint local = socket_->local_endpoint(error);
  return error ? 0 : local.port();
}
