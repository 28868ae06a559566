// Owning handles for the sd-bus and sd-login objects the agent uses, so every reference taken is
// released on every path.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>

#include <memory>

namespace OBPlatform {

struct BusDeleter {
  void operator()(sd_bus* bus) const noexcept { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusDeleter>;

struct SlotDeleter {
  void operator()(sd_bus_slot* slot) const noexcept { sd_bus_slot_unref(slot); }
};
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotDeleter>;

struct MessageDeleter {
  void operator()(sd_bus_message* message) const noexcept { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageDeleter>;

struct LoginMonitorDeleter {
  void operator()(sd_login_monitor* monitor) const noexcept { sd_login_monitor_unref(monitor); }
};
using LoginMonitorPtr = std::unique_ptr<sd_login_monitor, LoginMonitorDeleter>;

// An sd-bus error filled by a failed call, freed with the object.
class BusError {
 public:
  BusError() = default;
  ~BusError() { sd_bus_error_free(&error_); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;

  sd_bus_error* get() { return &error_; }
  // The error's text, or "no details".
  [[nodiscard]] const char* message() const {
    return error_.message != nullptr ? error_.message : "no details";
  }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

}  // namespace OBPlatform
