// orv-collect [--port N] [--json]: listens for IPFIX messages on UDP (IPv6 and IPv4 when the
// system allows both, else IPv4), learns templates per exporter and observation domain, and
// prints every data record with readable names for the agent's private elements, as an aligned
// table or as one JSON object per line. Records it cannot decode are reported, never dropped
// silently. The bound port is announced on standard error ("listening on UDP port N"), so port 0
// picks a free one.
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "export/ipfix_decoder.h"
#include "export/ipfix_decoder_format.h"

namespace {

namespace asio = boost::asio;
using asio::ip::udp;

constexpr unsigned kDefaultPort = 4739;

struct Options {
  unsigned port = kDefaultPort;
  bool json = false;
};

void Usage(std::FILE* to) {
  std::fprintf(to,
               "usage: orv-collect [--port N] [--json]\n"
               "  --port N  UDP port to listen on (default 4739; 0 picks a free one)\n"
               "  --json    one JSON object per record instead of a table\n");
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--json") {
      options->json = true;
    } else if (argument == "--port" && i + 1 < argc) {
      const std::string value = argv[++i];
      const char* end = value.data() + value.size();
      const auto [stop, error] = std::from_chars(value.data(), end, options->port);
      if (error != std::errc() || stop != end || options->port > 65535) {
        std::fprintf(stderr, "orv-collect: port \"%s\" is not a number from 0 to 65535\n",
                     value.c_str());
        return false;
      }
    } else {
      std::fprintf(stderr, "orv-collect: unknown argument \"%s\"\n", argument.c_str());
      return false;
    }
  }
  return true;
}

// A dual-stack socket when IPv6 is available, else an IPv4 one; false when neither binds.
bool OpenSocket(udp::socket& socket, unsigned port) {
  boost::system::error_code error;
  socket.open(udp::v6(), error);
  if (!error) {
    socket.set_option(asio::ip::v6_only(false), error);
    socket.bind(udp::endpoint(udp::v6(), static_cast<std::uint16_t>(port)), error);
    if (!error) {
      return true;
    }
    socket.close();
  }
  socket.open(udp::v4(), error);
  if (!error) {
    socket.bind(udp::endpoint(udp::v4(), static_cast<std::uint16_t>(port)), error);
  }
  if (error) {
    std::fprintf(stderr, "orv-collect: cannot listen on UDP port %u: %s\n", port,
                 error.message().c_str());
    return false;
  }
  return true;
}

std::string ExporterName(const udp::endpoint& sender) {
  asio::ip::address address = sender.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  const std::string text = address.to_string();
  const std::string port = std::to_string(sender.port());
  return address.is_v6() ? "[" + text + "]:" + port : text + ":" + port;
}

void Print(const Options& options, const std::string& exporter, const IpfixMessage& message) {
  for (const IpfixRecord& record : message.records) {
    const std::string text = options.json ? FormatIpfixRecordJson(exporter, message, record) + "\n"
                                          : FormatIpfixRecordTable(exporter, message, record);
    std::fputs(text.c_str(), stdout);
  }
  for (const IpfixProblem& problem : message.problems) {
    const std::string text = options.json
                                 ? FormatIpfixProblemJson(exporter, message, problem) + "\n"
                                 : FormatIpfixProblemTable(exporter, message, problem);
    std::fputs(text.c_str(), stdout);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    Usage(stdout);
    return 0;
  }
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    Usage(stderr);
    return 2;
  }
  asio::io_context io;
  udp::socket socket(io);
  if (!OpenSocket(socket, options.port)) {
    return 1;
  }
  std::fprintf(stderr, "orv-collect: listening on UDP port %u\n",
               static_cast<unsigned>(socket.local_endpoint().port()));
  IpfixDecoder decoder;
  std::vector<std::uint8_t> buffer(65536);
  for (;;) {
    udp::endpoint sender;
    boost::system::error_code error;
    const std::size_t got = socket.receive_from(asio::buffer(buffer), sender, 0, error);
    if (error) {
      std::fprintf(stderr, "orv-collect: receive failed: %s\n", error.message().c_str());
      continue;
    }
    const std::string exporter = ExporterName(sender);
    IpfixMessage message;
    (void)decoder.Decode(std::span(buffer.data(), got), exporter, &message);
    Print(options, exporter, message);
  }
}
