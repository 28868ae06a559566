// Identity of this endpoint: host name, manufacturer, machine type, a stable device id (UDID)
// and operating-system texts.
//
// Sources: gethostname(2); /sys/class/dmi/id/sys_vendor; uname(2); /etc/machine-id, of which the
// UDID is the first 20 bytes of the SHA-256 as 40 lowercase hex characters; os-release(5) NAME and
// VERSION_ID with the kernel release. The file locations can be replaced (tests use fixtures).
//
// Buffer forms take a capacity in wide characters including the terminator. On success the
// text is copied with its terminator and *length becomes the text's length; when the buffer is
// too small (or null) they answer kObBufferTooSmall with *length set to the capacity needed.
// A null length is kObBadArgument.
//
// Every operation is safe from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/status.h"

namespace OBRuntime {

// Operating-system texts of the endpoint; a text that cannot be read is empty.
struct MYOSVERSION {
  std::wstring name;            // os-release NAME, e.g. "Debian GNU/Linux"
  std::wstring version;         // os-release VERSION_ID, e.g. "12"
  std::wstring kernel_release;  // uname release, e.g. "6.1.0-18-amd64"
};

// Where CDeviceInfo reads its files.
struct DeviceInfoSources {
  std::string machine_id_path = "/etc/machine-id";
  // The first of these that can be read is used (the os-release(5) search order).
  std::vector<std::string> os_release_paths = {"/etc/os-release", "/usr/lib/os-release"};
  std::string sys_vendor_path = "/sys/class/dmi/id/sys_vendor";
};

class CDeviceInfo {
 public:
  static constexpr std::uint32_t kUdidLength = 40;

  // Reads the system locations.
  CDeviceInfo();
  explicit CDeviceInfo(DeviceInfoSources sources);
  CDeviceInfo(const CDeviceInfo&) = delete;
  CDeviceInfo& operator=(const CDeviceInfo&) = delete;

  // The kernel's host name as gethostname(2) reports it; kObFailure when that fails.
  [[nodiscard]] OB_STATUSCODE GetHostName(wchar_t* buffer, std::uint32_t* length) const;
  [[nodiscard]] OB_STATUSCODE GetHostName(std::wstring& out) const;

  // The system vendor from the firmware tables, trimmed; kObNotFound when absent or blank.
  [[nodiscard]] OB_STATUSCODE GetManufacturerName(wchar_t* buffer, std::uint32_t* length) const;
  [[nodiscard]] OB_STATUSCODE GetManufacturerName(std::wstring& out) const;

  // The machine hardware name, e.g. "x86_64" or "aarch64".
  [[nodiscard]] OB_STATUSCODE GetSystemType(wchar_t* buffer, std::uint32_t* length) const;
  [[nodiscard]] OB_STATUSCODE GetSystemType(std::wstring& out) const;

  // The 40-character UDID; kObNotFound (logged) when the machine id is missing, empty or not yet
  // initialised. A successful answer is kept for the life of the object.
  [[nodiscard]] OB_STATUSCODE GetUDID(wchar_t* buffer, std::uint32_t* length) const;
  [[nodiscard]] OB_STATUSCODE GetUDID(std::wstring& out) const;

  // NAME and VERSION_ID from os-release and the kernel release; missing pieces are empty.
  [[nodiscard]] MYOSVERSION GetOsVersion() const;

 private:
  const DeviceInfoSources sources_;  // set at construction
  mutable std::mutex udid_mutex_;
  mutable std::wstring udid_;  // guarded by udid_mutex_; empty until the first success
};

}  // namespace OBRuntime
