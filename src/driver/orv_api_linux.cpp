#include "driver/orv_api_linux.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "driver/flow_reporter.h"
#include "driver/kdf_message.h"
#include "runtime/logger.h"

namespace {

// The plugin's process-wide state: the reporter exists exactly while the plugin is open.
struct Plugin {
  std::mutex mutex;
  std::unique_ptr<orv::driver::CFlowReporter> reporter;  // guarded by mutex
};

Plugin& ThePlugin() {
  static Plugin plugin;
  return plugin;
}

// The socket address of the endpoint pair's second address and port; false when unusable.
bool Destination(const OrvEndpointPair& endpoints, sockaddr_storage& address, socklen_t& length) {
  address = {};
  if (endpoints.second_port == 0) {
    return false;
  }
  if (endpoints.second_address.family == kKdfFamilyIPv4) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = endpoints.second_port;
    std::memcpy(&v4.sin_addr, endpoints.second_address.bytes.data(), sizeof(v4.sin_addr));
    std::memcpy(&address, &v4, sizeof(v4));
    length = sizeof(v4);
    return true;
  }
  if (endpoints.second_address.family == kKdfFamilyIPv6) {
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = endpoints.second_port;
    std::memcpy(&v6.sin6_addr, endpoints.second_address.bytes.data(), sizeof(v6.sin6_addr));
    std::memcpy(&address, &v6, sizeof(v6));
    length = sizeof(v6);
    return true;
  }
  return false;
}

}  // namespace

ngc_error_t COrvApi::OpenPlugin() {
  Plugin& plugin = ThePlugin();
  const std::lock_guard lock(plugin.mutex);
  if (plugin.reporter) {
    return kNgcAlreadyOpen;
  }
  plugin.reporter = std::make_unique<orv::driver::CFlowReporter>();
  return kNgcSuccess;
}

ngc_error_t COrvApi::ClosePlugin() { return kNgcSuccess; }

ngc_error_t COrvApi::EnableAppFlow(const OrvEndpointPair* endpoints) {
  sockaddr_storage address{};
  socklen_t length = 0;
  if (endpoints == nullptr || !Destination(*endpoints, address, length)) {
    OB_LOG_ERROR("unusable flow data endpoint (family %u, port %u)",
                 endpoints != nullptr ? endpoints->second_address.family : 0U,
                 endpoints != nullptr ? ntohs(endpoints->second_port) : 0U);
    return kNgcInvalidArgument;
  }
  Plugin& plugin = ThePlugin();
  const std::lock_guard lock(plugin.mutex);
  if (!plugin.reporter) {
    return kNgcNotOpen;
  }
  return plugin.reporter->Enable(address, length) == kObSuccess ? kNgcSuccess : kNgcFailure;
}

ngc_error_t COrvApi::DisableAppFlow() {
  Plugin& plugin = ThePlugin();
  const std::lock_guard lock(plugin.mutex);
  if (!plugin.reporter) {
    return kNgcNotOpen;
  }
  plugin.reporter->Disable();
  return kNgcSuccess;
}

ngc_error_t COrvApi::NotifyNetworkChange() {
  Plugin& plugin = ThePlugin();
  const std::lock_guard lock(plugin.mutex);
  if (!plugin.reporter) {
    return kNgcNotOpen;
  }
  plugin.reporter->PollNow();
  return kNgcSuccess;
}

ngc_error_t COrvApi::SetFlowReportInterval(std::uint32_t seconds) {
  Plugin& plugin = ThePlugin();
  const std::lock_guard lock(plugin.mutex);
  if (!plugin.reporter) {
    return kNgcNotOpen;
  }
  plugin.reporter->SetInterval(seconds);
  return kNgcSuccess;
}

ngc_error_t COrvApi::Uninitialize() {
  Plugin& plugin = ThePlugin();
  const std::lock_guard lock(plugin.mutex);
  plugin.reporter.reset();  // joins the reporter's thread
  return kNgcSuccess;
}
