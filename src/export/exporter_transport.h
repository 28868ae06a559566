// The exporter's view of the path to the collector: one IPFIX message per call, no framing.
//
// Implementations complete every operation before returning; the exporter thread is their only
// caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "common/status.h"

// Told the outcome of one Send: 0 or -9999, and the bytes the system accepted.
using ExporterSendCallback = std::function<void(OB_STATUSCODE, std::size_t)>;

class IExporterTransport {
 public:
  virtual ~IExporterTransport() = default;
  // Resolves host (name or address literal) and port (decimal text) and prepares a socket of the
  // matching family; 0 on success, -9999 when either step fails.
  [[nodiscard]] virtual OB_STATUSCODE Connect(const std::string& host, const std::string& port) = 0;
  // Sends the bytes as one message to the collector found by the last successful Connect; -9987
  // without a socket, -9999 when the send fails.
  [[nodiscard]] virtual OB_STATUSCODE Send(const std::uint8_t* bytes, std::size_t length,
                                           const ExporterSendCallback& completion) = 0;
  // Releases the socket; always 0.
  virtual OB_STATUSCODE Disconnect() = 0;
};
