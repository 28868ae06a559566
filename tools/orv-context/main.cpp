// orv-context: subscribes to the agent's network apps context and prints what arrives.
//
//   orv-context [--socket PATH] [--request]
//
// Connects to the agent's context socket (default: ContextProvider.sock in the ORV data
// directory), sends a full-context request (3000) with --request, then prints one line per
// message: "PID NAME" for each network app, "context restarted" when the agent restarts the
// context. Ends on SIGINT or SIGTERM, or when the agent closes the connection. Exit status: 0
// done, 1 the socket could not be used, 2 usage error.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "context/network_app_payload.h"
#include "runtime/context_provider_service_base.h"
#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/unique_fd.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Options {
  std::string socket_path;
  bool request = false;
};

int Usage(const char* problem) {
  std::fprintf(stderr, "orv-context: %s\nusage: orv-context [--socket PATH] [--request]\n",
               problem);
  return kExitUsage;
}

// Fills options from the arguments; an error text, or nullptr.
const char* ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--request") {
      options.request = true;
    } else if (argument.starts_with("--socket=")) {
      options.socket_path = argument.substr(9);
    } else if (argument == "--socket" && i + 1 < argc) {
      options.socket_path = argv[++i];
    } else {
      return "unknown or incomplete argument";
    }
  }
  if (options.socket_path.empty()) {
    options.socket_path = OBRuntime::DefaultContextProviderSocketPath();
  }
  return nullptr;
}

OBRuntime::UniqueFd Connect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    errno = ENAMETOOLONG;
    return OBRuntime::UniqueFd();
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  OBRuntime::UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (fd.valid() &&
      ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    fd.Reset();
  }
  return fd;
}

bool SendRequest(int fd) {
  OBRuntime::IPC_MESSAGE message;
  message.type = orv::context::kMessageContextRequest;
  std::vector<std::uint8_t> packet;
  return ObSucceeded(OBRuntime::EncodeIpcMessage(message, packet)) &&
         ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) ==
             static_cast<ssize_t>(packet.size());
}

void Print(const OBRuntime::IPC_MESSAGE& message) {
  if (message.type == orv::context::kMessageContextRestart) {
    std::printf("context restarted\n");
  } else if (message.type == orv::context::kMessageNetworkApp) {
    std::uint32_t process_id = 0;
    std::wstring name;
    if (ObSucceeded(orv::context::ReadNetworkAppPayload(message.payload, process_id, name))) {
      // Names come from other processes: a newline or a terminal escape in one is shown, not
      // obeyed.
      std::printf("%u %s\n", process_id,
                  OBRuntime::EscapeControlCharacters(OBRuntime::WideToUtf8(name)).c_str());
    }
  } else {
    std::printf("message %u (%u bytes)\n", message.type, message.payload_length);
  }
  std::fflush(stdout);
}

// Prints messages until a signal arrives or the connection ends; the exit status.
int Receive(int socket_fd, int signal_fd) {
  std::vector<std::uint8_t> packet(OBRuntime::kIpcMaxPacketSize);
  for (;;) {
    pollfd entries[] = {{signal_fd, POLLIN, 0}, {socket_fd, POLLIN | POLLRDHUP, 0}};
    if (::poll(entries, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      std::fprintf(stderr, "orv-context: poll: %s\n", std::strerror(errno));
      return kExitFailure;
    }
    if (entries[0].revents != 0) {
      return 0;
    }
    const ssize_t length = ::recv(socket_fd, packet.data(), packet.size(), MSG_TRUNC);
    if (length < 0) {
      std::fprintf(stderr, "orv-context: receive: %s\n", std::strerror(errno));
      return kExitFailure;
    }
    if (length == 0 && (entries[1].revents & (POLLHUP | POLLRDHUP)) != 0) {
      std::fprintf(stderr, "orv-context: the agent closed the connection\n");
      return 0;
    }
    OBRuntime::IPC_MESSAGE message;
    if (ObSucceeded(
            OBRuntime::DecodeIpcMessage(packet, static_cast<std::size_t>(length), message))) {
      Print(message);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const char* problem = ParseOptions(argc, argv, options)) {
    return Usage(problem);
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &signals, nullptr);
  const OBRuntime::UniqueFd signal_fd(::signalfd(-1, &signals, SFD_CLOEXEC));
  const OBRuntime::UniqueFd socket_fd = Connect(options.socket_path);
  if (!socket_fd.valid() || !signal_fd.valid()) {
    std::fprintf(stderr, "orv-context: cannot connect to %s: %s\n", options.socket_path.c_str(),
                 std::strerror(errno));
    return kExitFailure;
  }
  if (options.request && !SendRequest(socket_fd.get())) {
    std::fprintf(stderr, "orv-context: cannot send the request: %s\n", std::strerror(errno));
    return kExitFailure;
  }
  return Receive(socket_fd.get(), signal_fd.get());
}
