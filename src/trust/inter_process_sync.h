// The named lock and the named event of the VPN module's shared state.
//
// A CInterProcessSync is either the lock (kind mutex: "VarnoObMemoryLock") or the event (kind
// event: "VarnoObNamedEvent"), fixed at construction. The lock is waited for at most 1000 ms; a
// lock whose owner died is recovered and the recovery logged. The event is manual-reset and
// announced by SignalAll, a pulse that wakes every waiting process.
//
// Lock, Unlock, Wait, Signal and SignalAll are safe from any thread once constructed; initEvent
// and CloseHandles belong to the owner's thread.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/named_sync.h"
#include "platform/vpn_state_objects.h"

// Roles passed through the shared state classes: the agent reads, the VPN module writes.
inline constexpr std::int32_t kVpnStateRoleReader = 0;
inline constexpr std::int32_t kVpnStateRoleWriter = 4;

enum SYNC_OBJECT_KIND : std::int32_t {
  SYNC_OBJECT_EVENT = 0,
  SYNC_OBJECT_MUTEX = 1,
};

class IProcessSync {
 public:
  virtual ~IProcessSync() = default;
  // Waits at most 1000 ms for the lock; true when this thread owns it.
  [[nodiscard]] virtual bool Lock() = 0;
  // Releases the lock this thread owns; false (logged) otherwise.
  virtual bool Unlock() = 0;
  // Waits at most timeout_ms for the event; true when it was signalled or pulsed meanwhile.
  [[nodiscard]] virtual bool Wait(std::uint32_t timeout_ms) = 0;
  // Sets the event (it stays set until reset).
  virtual bool Signal() = 0;
  // Pulses the event: set, 1 ms, reset; every process waiting at that moment wakes.
  virtual bool SignalAll() = 0;
  // Opens the event unless it is held already; true when held.
  [[nodiscard]] virtual bool initEvent() = 0;
  // Closes the lock and the event; later operations fail as "not initialized".
  virtual void CloseHandles() = 0;
};

class CInterProcessSync final : public IProcessSync {
 public:
  // Opens the named object of the kind; ok reports whether that succeeded (the failure is logged).
  CInterProcessSync(std::int32_t role, SYNC_OBJECT_KIND kind, bool& ok,
                    OBPlatform::VpnStateObjectNames names = {});
  ~CInterProcessSync() override;
  CInterProcessSync(const CInterProcessSync&) = delete;
  CInterProcessSync& operator=(const CInterProcessSync&) = delete;

  // IProcessSync
  [[nodiscard]] bool Lock() override;
  bool Unlock() override;
  [[nodiscard]] bool Wait(std::uint32_t timeout_ms) override;
  bool Signal() override;
  bool SignalAll() override;
  [[nodiscard]] bool initEvent() override;
  void CloseHandles() override;

  [[nodiscard]] std::int32_t role() const noexcept { return role_; }
  [[nodiscard]] SYNC_OBJECT_KIND kind() const noexcept { return kind_; }

 private:
  [[nodiscard]] bool initLock();

  const std::int32_t role_;
  const SYNC_OBJECT_KIND kind_;
  const OBPlatform::VpnStateObjectNames names_;
  std::unique_ptr<OBPlatform::NamedMutex> mutex_;  // null unless kind mutex and opened
  std::unique_ptr<OBPlatform::NamedEvent> event_;  // null unless opened by initEvent
};
