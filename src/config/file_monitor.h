// Watching the service profile file for changes.
//
// A monitor sets an event whenever the watched file is created, written, resized, touched,
// deleted, or renamed to or from its name; the agent core then reloads the profile. It does not
// debounce: the event is set once per batch of directory changes that names the file.
#pragma once

#include <memory>
#include <string>

#include "common/condition_event.h"
#include "common/status.h"

class IFileMonitor {
 public:
  virtual ~IFileMonitor() = default;
  // Starts watching the file at path (a path with a directory part, not a directory) and setting
  // event (which must outlive the monitor's run) on each change. 0 on success; -9993 when already
  // running; -9999 for a directory or a path without '/'.
  [[nodiscard]] virtual OB_STATUSCODE StartMonitor(condition_event& event,
                                                   const std::wstring& path) = 0;
  // Stops watching and waits for the monitor's thread to end; nothing when not running.
  virtual void StopMonitor() = 0;
};

// The monitor for this platform.
[[nodiscard]] std::unique_ptr<IFileMonitor> CreateFileMonitor();
