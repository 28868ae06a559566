// orv-flowgen: sends synthetic flow data and pid information datagrams, laid out exactly as the
// socket-filter driver sends them, to a flow data channel (or anything listening on UDP), at a
// given rate and count. Exit status: 0 all sent, 1 a run-time failure, 2 a usage error.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "driver/flow_datagram_builder.h"
#include "flow/synthetic_flow_source.h"
#include "runtime/sha256_hash_manager.h"
#include "runtime/text.h"
#include "runtime/unique_fd.h"

namespace {

constexpr const char* kUsage =
    "usage: orv-flowgen [options]\n"
    "Sends synthetic flow data datagrams (1439 bytes) and pid information datagrams (8 bytes)\n"
    "in the socket-filter driver's layout.\n"
    "\n"
    "  --host ADDR          destination address, IPv4 or IPv6 (default 127.0.0.1)\n"
    "  --port N             destination UDP port (default 2056)\n"
    "  --count N            flow data datagrams to send (default 1000)\n"
    "  --rate N             datagrams per second; 0 sends as fast as possible (default 1000)\n"
    "  --pid self|N         report every flow as coming from this running process, with its\n"
    "                       real image path, parent and SHA-256 hashes (default: invented ones)\n"
    "  --pid-info           send a pid information datagram before each process's first flow\n"
    "  --ipv6-percent N     share of IPv6 flows, 0 to 100 (default 20)\n"
    "  --seed N             seed of the field generator (default 1)\n"
    "  --help               show this text\n";

struct Options {
  std::string host = "127.0.0.1";
  std::uint16_t port = 2056;
  std::uint64_t count = 1000;
  std::uint64_t rate = 1000;
  std::optional<std::uint32_t> pid;
  bool pid_info = false;
  unsigned ipv6_percent = 20;
  std::uint32_t seed = 1;
  bool help = false;
};

template <typename T>
bool ParseNumber(std::string_view text, T max, T& out) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > max) return false;
  out = value;
  return true;
}

// Fills options from argv; on a usage error returns the message.
std::optional<std::string> ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (name == "--help" || name == "-h") {
      options.help = true;
      continue;
    }
    if (name == "--pid-info") {
      options.pid_info = true;
      continue;
    }
    constexpr std::string_view kValued[] = {"--host", "--port",         "--count", "--rate",
                                            "--pid",  "--ipv6-percent", "--seed"};
    if (std::find(std::begin(kValued), std::end(kValued), name) == std::end(kValued)) {
      return "unknown option " + std::string(name);
    }
    if (i + 1 >= argc) return "option " + std::string(name) + " needs a value";
    const std::string_view value = argv[++i];
    bool ok = true;
    if (name == "--host") {
      options.host = value;
    } else if (name == "--port") {
      ok = ParseNumber<std::uint16_t>(value, 65535, options.port) && options.port != 0;
    } else if (name == "--count") {
      ok = ParseNumber<std::uint64_t>(value, UINT64_MAX, options.count);
    } else if (name == "--rate") {
      ok = ParseNumber<std::uint64_t>(value, 100000000, options.rate);
    } else if (name == "--pid") {
      std::uint32_t pid = 0;
      ok = value == "self" || (ParseNumber<std::uint32_t>(value, UINT32_MAX, pid) && pid != 0);
      options.pid = value == "self" ? static_cast<std::uint32_t>(::getpid()) : pid;
    } else if (name == "--ipv6-percent") {
      ok = ParseNumber<unsigned>(value, 100, options.ipv6_percent);
    } else {
      ok = ParseNumber<std::uint32_t>(value, UINT32_MAX, options.seed);  // --seed
    }
    if (!ok) return "invalid value '" + std::string(value) + "' for " + std::string(name);
  }
  return std::nullopt;
}

std::optional<std::string> ReadLink(const std::string& path) {
  std::vector<char> buffer(4096);
  const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
  if (length < 0 || static_cast<std::size_t>(length) >= buffer.size()) return std::nullopt;
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

// The parent id from /proc/<pid>/stat: the fourth field, after the parenthesised command name.
std::optional<std::uint32_t> ReadParentPid(std::uint32_t pid) {
  std::FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (file == nullptr) return std::nullopt;
  char buffer[1024];
  const std::size_t length = std::fread(buffer, 1, sizeof buffer - 1, file);
  std::fclose(file);
  const std::string_view stat(buffer, length);
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos || close + 4 >= stat.size()) return std::nullopt;
  const std::string_view rest = stat.substr(close + 4);  // ") S " then the parent id
  std::uint32_t parent = 0;
  if (!ParseNumber<std::uint32_t>(rest.substr(0, rest.find(' ')), UINT32_MAX, parent)) {
    return std::nullopt;
  }
  return parent;
}

// Image path (UTF-16) and hash of a process; an unreadable image leaves both empty.
void DescribeImage(std::uint32_t pid, std::u16string& path,
                   std::array<std::uint8_t, kKdfHashBytes>& hash) {
  const auto image = ReadLink("/proc/" + std::to_string(pid) + "/exe");
  if (!image) return;
  const std::wstring wide = OBRuntime::Utf8ToWide(*image);
  path = OBRuntime::WideToUtf16(wide);
  auto& hasher = OBRuntime::CSha256HashManagerImpl::AcquireInstance();
  const std::wstring exe = L"/proc/" + std::to_wstring(pid) + L"/exe";
  if (hasher.GetHashSHA256(exe, hash.data(), static_cast<std::uint32_t>(hash.size()), pid) !=
      kObSuccess) {
    hash.fill(0);
  }
}

std::optional<SyntheticProcess> DescribeProcess(std::uint32_t pid) {
  SyntheticProcess process;
  process.pid = pid;
  if (!ReadLink("/proc/" + std::to_string(pid) + "/exe")) return std::nullopt;
  DescribeImage(pid, process.path, process.hash);
  process.parent_pid = ReadParentPid(pid).value_or(0);
  if (process.parent_pid != 0) {
    DescribeImage(process.parent_pid, process.parent_path, process.parent_hash);
  }
  return process;
}

class Destination {
 public:
  // Opens a socket for host:port; false with a message when the address is not valid.
  bool Open(const std::string& host, std::uint16_t port, std::string& error) {
    boost::system::error_code parse_error;
    const auto address = boost::asio::ip::make_address(host, parse_error);
    if (parse_error) {
      error = "invalid address '" + host + "'";
      return false;
    }
    if (address.is_v4()) {
      auto& v4 = *reinterpret_cast<sockaddr_in*>(&address_);
      v4.sin_family = AF_INET;
      v4.sin_port = htons(port);
      const auto bytes = address.to_v4().to_bytes();
      std::memcpy(&v4.sin_addr, bytes.data(), bytes.size());
      length_ = sizeof v4;
    } else {
      auto& v6 = *reinterpret_cast<sockaddr_in6*>(&address_);
      v6.sin6_family = AF_INET6;
      v6.sin6_port = htons(port);
      const auto bytes = address.to_v6().to_bytes();
      std::memcpy(&v6.sin6_addr, bytes.data(), bytes.size());
      v6.sin6_scope_id = address.to_v6().scope_id();
      length_ = sizeof v6;
    }
    fd_.Reset(::socket(address_.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd_.valid()) {
      error = std::string("socket: ") + std::strerror(errno);
      return false;
    }
    return true;
  }

  // Sends one datagram; false (errno set) when the kernel refused it.
  bool Send(const std::uint8_t* data, std::size_t size) {
    return ::sendto(fd_.get(), data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address_),
                    length_) == static_cast<ssize_t>(size);
  }

 private:
  OBRuntime::UniqueFd fd_;
  sockaddr_storage address_{};
  socklen_t length_ = 0;
};

int Run(const Options& options) {
  Destination destination;
  std::string error;
  if (!destination.Open(options.host, options.port, error)) {
    std::fprintf(stderr, "orv-flowgen: %s\n", error.c_str());
    return error.rfind("invalid address", 0) == 0 ? 2 : 1;
  }
  SyntheticFlowSource source(options.seed, options.ipv6_percent);
  if (options.pid) {
    const auto process = DescribeProcess(*options.pid);
    if (!process) {
      std::fprintf(stderr, "orv-flowgen: no readable process %u (/proc/%u/exe)\n", *options.pid,
                   *options.pid);
      return 1;
    }
    source.UseProcess(*process);
  }
  std::set<std::uint32_t> announced;
  std::uint64_t flows = 0, pid_infos = 0, failures = 0;
  const auto start = std::chrono::steady_clock::now();
  std::uint64_t sent = 0;
  const auto pace = [&] {
    if (options.rate == 0) return;
    std::this_thread::sleep_until(start +
                                  std::chrono::nanoseconds(sent * 1000000000ULL / options.rate));
  };
  for (std::uint64_t i = 0; i < options.count; ++i) {
    const KdfFlowData flow = source.NextFlow(static_cast<std::uint32_t>(std::time(nullptr)));
    if (options.pid_info && announced.insert(flow.pid).second) {
      KdfPidInfo info;
      info.pid = flow.pid;
      const KdfPidInfoDatagram datagram = BuildKdfPidInfoDatagram(info);
      pace();
      (destination.Send(datagram.data(), datagram.size()) ? pid_infos : failures) += 1;
      ++sent;
    }
    const KdfFlowDatagram datagram = BuildKdfFlowDatagram(flow);
    pace();
    (destination.Send(datagram.data(), datagram.size()) ? flows : failures) += 1;
    ++sent;
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  // The agent's channel identifies a sender by its socket when it reads a datagram; one already
  // closed by then cannot be identified and is refused. Give the last datagrams time to be read.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::printf("sent %llu flow data and %llu pid information datagrams to %s port %u in %.3f s\n",
              static_cast<unsigned long long>(flows), static_cast<unsigned long long>(pid_infos),
              options.host.c_str(), options.port, elapsed.count());
  if (failures > 0) {
    std::fprintf(stderr, "orv-flowgen: %llu datagrams could not be sent (last error: %s)\n",
                 static_cast<unsigned long long>(failures), std::strerror(errno));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const auto usage_error = ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "orv-flowgen: %s\nTry 'orv-flowgen --help'.\n", usage_error->c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  return Run(options);
}
