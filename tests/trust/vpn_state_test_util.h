// What the VPN state tests share: private object names, a writer in another process, foreign
// objects under our names.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "common/vpn_shared_state.h"
#include "platform/vpn_state_objects.h"
#include "runtime/unique_fd.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/wait.h"
#include "trust/inter_process_sync.h"
#include "trust/vpn_state_reader_writer.h"

namespace orv::test {

// Object names that no other test or running agent uses.
inline OBPlatform::VpnStateObjectNames UniqueVpnStateNames() {
  static std::atomic<int> counter{0};
  return OBPlatform::VpnStateObjectNames::WithSuffix("." + std::to_string(::getpid()) + "." +
                                                     std::to_string(counter++));
}

// Plays the VPN module in a child process: attaches as writer (which writes the initial record
// into a blank block), runs change, then pulses the event unless told not to. Exit status 0 when
// everything succeeded.
inline int WriteInChild(const OBPlatform::VpnStateObjectNames& names,
                        const std::function<bool(CInterModuleVPNStateReaderWriter&)>& change,
                        bool pulse = true) {
  return RunInChild([&] {
    bool ok = false;
    CInterModuleVPNStateReaderWriter writer(ok, kVpnStateRoleWriter, names);
    bool event_ok = false;
    CInterProcessSync event(kVpnStateRoleWriter, SYNC_OBJECT_EVENT, event_ok, names);
    auto state = std::make_unique<VPNSharedState>();
    if (!ok || !event_ok || !writer.GetCurrentState(*state) || !change(writer)) {
      return 1;
    }
    return !pulse || event.SignalAll() ? 0 : 2;
  });
}

// Sets the tunnel state through the writer's configuration operation.
inline bool SetTunnelState(CInterModuleVPNStateReaderWriter& writer, std::uint32_t tunnel_state) {
  auto state = std::make_unique<VPNSharedState>();
  if (!writer.GetCurrentState(*state)) {
    return false;
  }
  state->vpn_config.tunnel_state = tunnel_state;
  return writer.SetVpnConfig(state->vpn_config);
}

// A one-byte object under one of our names, as something foreign could leave it.
class ForeignObject {
 public:
  explicit ForeignObject(std::string name)
      : name_(std::move(name)), fd_(::shm_open(name_.c_str(), O_RDWR | O_CREAT, 0600)) {
    EXPECT_TRUE(fd_.valid() && ::ftruncate(fd_.get(), 1) == 0);
  }
  ~ForeignObject() { ::shm_unlink(name_.c_str()); }

 private:
  std::string name_;
  OBRuntime::UniqueFd fd_;
};

// Private names and a log capture for each test.
class VpnStateTest : public ::testing::Test {
 protected:
  LogCapture log_;
  const OBPlatform::VpnStateObjectNames names_ = UniqueVpnStateNames();
};

}  // namespace orv::test
