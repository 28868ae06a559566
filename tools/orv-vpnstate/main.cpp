// orv-vpnstate: shows or changes the VPN state record that the agent reads.
//
//   orv-vpnstate show
//   orv-vpnstate set [--tnd-type N] [--tunnel-state N] [--network-state N]
//
// set acts as the VPN module (role 4): it writes the initial record into a block no one has
// written, changes only the fields given (read, change, write), pulses the named event after
// each write so a running agent notices, and prints the record as show does. The shared objects
// live only while some process has them open: without a running agent the change vanishes when
// this tool exits. Exit status: 0 done, 1 the shared state could not be used, 2 usage error.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/vpn_shared_state.h"
#include "runtime/logger.h"
#include "trust/inter_process_sync.h"
#include "trust/vpn_state_reader_writer.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Changes {
  std::optional<std::uint32_t> tnd_type;
  std::optional<std::uint32_t> tunnel_state;
  std::optional<std::uint32_t> network_state;
};

int Usage(const char* problem) {
  std::fprintf(stderr,
               "orv-vpnstate: %s\n"
               "usage: orv-vpnstate show\n"
               "       orv-vpnstate set [--tnd-type N] [--tunnel-state N] [--network-state N]\n",
               problem);
  return kExitUsage;
}

bool ParseWord(std::string_view text, std::uint32_t& value) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  return !text.empty() && error == std::errc() && stop == end;
}

// Fills changes from "--name N" or "--name=N" arguments; an error text, or nullptr.
const char* ParseChanges(int argc, char** argv, Changes& changes) {
  for (int i = 2; i < argc; ++i) {
    std::string_view argument = argv[i];
    std::string_view value;
    if (const auto equals = argument.find('='); equals != std::string_view::npos) {
      value = argument.substr(equals + 1);
      argument = argument.substr(0, equals);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return "option needs a value";
    }
    std::optional<std::uint32_t>* target = nullptr;
    if (argument == "--tnd-type") {
      target = &changes.tnd_type;
    } else if (argument == "--tunnel-state") {
      target = &changes.tunnel_state;
    } else if (argument == "--network-state") {
      target = &changes.network_state;
    } else {
      return "unknown option";
    }
    std::uint32_t number = 0;
    if (!ParseWord(value, number)) {
      return "value is not an unsigned 32-bit number";
    }
    if (target->has_value()) {
      return "option given twice";
    }
    *target = number;
  }
  return nullptr;
}

void Print(const VPNSharedState& state) {
  std::printf(
      "network_state=%u\nnetwork_interface_change=%u\nuser_session_change=%u\n"
      "tnd_network_type=%u\ntunnel_state=%u\n",
      state.network_state, state.network_interface_change, state.user_session_change,
      state.tnd_network_type, state.vpn_config.tunnel_state);
}

int Show() {
  bool ok = false;
  CInterModuleVPNStateReaderWriter reader(ok, kVpnStateRoleReader);
  auto state = std::make_unique<VPNSharedState>();
  if (!ok || !reader.GetCurrentState(*state)) {
    std::fprintf(stderr, "orv-vpnstate: cannot read the shared VPN state\n");
    return kExitFailure;
  }
  Print(*state);
  return 0;
}

int Set(const Changes& changes) {
  bool ok = false;
  CInterModuleVPNStateReaderWriter writer(ok, kVpnStateRoleWriter);
  bool event_ok = false;
  CInterProcessSync event(kVpnStateRoleWriter, SYNC_OBJECT_EVENT, event_ok);
  auto state = std::make_unique<VPNSharedState>();
  if (!ok || !event_ok || !writer.GetCurrentState(*state)) {
    std::fprintf(stderr, "orv-vpnstate: cannot open the shared VPN state\n");
    return kExitFailure;
  }
  bool written = true;
  if (changes.network_state) {
    written = writer.SetNetworkState(*changes.network_state) && event.SignalAll();
  }
  if (written && changes.tnd_type) {
    written = writer.SetTndNetworkType(*changes.tnd_type) && event.SignalAll();
  }
  if (written && changes.tunnel_state) {
    auto configuration = std::make_unique<VPNConfiguration>(state->vpn_config);
    configuration->tunnel_state = *changes.tunnel_state;
    written = writer.SetVpnConfig(*configuration) && event.SignalAll();
  }
  if (written && !changes.network_state && !changes.tnd_type && !changes.tunnel_state) {
    written = event.SignalAll();  // announce the initial record, if this call wrote it
  }
  if (!written || !writer.GetCurrentState(*state)) {
    std::fprintf(stderr, "orv-vpnstate: cannot write the shared VPN state\n");
    return kExitFailure;
  }
  Print(*state);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ILogger::Initialize("orv-vpnstate", 1, 0);
  if (argc < 2) {
    return Usage("missing command");
  }
  const std::string_view command = argv[1];
  if (command == "show") {
    return argc == 2 ? Show() : Usage("show takes no options");
  }
  if (command != "set") {
    return Usage("unknown command");
  }
  Changes changes;
  if (const char* problem = ParseChanges(argc, argv, changes); problem != nullptr) {
    return Usage(problem);
  }
  return Set(changes);
}
