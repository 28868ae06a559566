#include "runtime/device_info.h"

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <string_view>
#include <utility>

#include "runtime/logger.h"
#include "runtime/openssl_utility.h"
#include "runtime/text.h"
#include "runtime/unique_fd.h"
#include "runtime/utils.h"

namespace OBRuntime {
namespace {

// Identity files are small; anything longer is cut here rather than read without bound.
constexpr std::size_t kMaxIdentityFileSize = std::size_t{64} * 1024;
constexpr std::string_view kWhitespace = " \t\r\n";

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kWhitespace);
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(kWhitespace) - first + 1);
}

// The first kMaxIdentityFileSize bytes of a file; kObNotFound when it cannot be opened.
OB_STATUSCODE ReadSmallFile(const std::string& path, std::string& contents) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) {
    OB_LOG_DEBUG("cannot open %s: errno %d", path.c_str(), errno);
    return kObNotFound;
  }
  contents.clear();
  std::array<char, 4096> block;
  OB_STATUSCODE status = kObSuccess;
  while (contents.size() < kMaxIdentityFileSize) {
    const ssize_t got = ::read(fd.get(), block.data(), block.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      OB_LOG_WARN("read failed on %s: errno %d", path.c_str(), errno);
      status = kObFailure;
      break;
    }
    if (got == 0) {
      break;
    }
    contents.append(block.data(), static_cast<std::size_t>(got));
  }
  if (contents.size() > kMaxIdentityFileSize) {
    contents.resize(kMaxIdentityFileSize);
  }
  return status;
}

// Copies text into a caller's buffer under the length in/out contract of the header; operation
// names the public function in the log line.
OB_STATUSCODE CopyToBuffer(const std::wstring& text, wchar_t* buffer, std::uint32_t* length,
                           const char* operation) {
  if (length == nullptr) {
    OB_LOG_AS(LOG_ERROR, operation, "null length");
    return kObBadArgument;
  }
  const auto needed = static_cast<std::uint32_t>(text.size() + 1);
  if (buffer == nullptr || *length < needed) {
    *length = needed;
    return kObBufferTooSmall;
  }
  text.copy(buffer, text.size());
  buffer[text.size()] = L'\0';
  *length = needed - 1;
  return kObSuccess;
}

// The value of an os-release assignment: shell-style quotes removed, and in double quotes the
// escapes \" \\ \$ \` resolved.
std::string UnquoteValue(std::string_view value) {
  if (value.size() < 2 || (value.front() != '"' && value.front() != '\'') ||
      value.back() != value.front()) {
    return std::string(value);
  }
  const char quote = value.front();
  value = value.substr(1, value.size() - 2);
  if (quote == '\'') {
    return std::string(value);
  }
  std::string unquoted;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size() &&
        std::string_view("\"\\$`").find(value[i + 1]) != std::string_view::npos) {
      ++i;
    }
    unquoted += value[i];
  }
  return unquoted;
}

// The value assigned to key in os-release text (the last assignment, as when the file is sourced
// by a shell); empty when absent.
std::wstring OsReleaseValue(std::string_view text, std::string_view key) {
  std::wstring value;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::size_t equals = line.find('=');
    if (line.empty() || line.front() == '#' || equals == std::string_view::npos ||
        line.substr(0, equals) != key) {
      continue;
    }
    value = Utf8ToWide(UnquoteValue(line.substr(equals + 1)));
  }
  return value;
}

}  // namespace

CDeviceInfo::CDeviceInfo() : CDeviceInfo(DeviceInfoSources{}) {}

CDeviceInfo::CDeviceInfo(DeviceInfoSources sources) : sources_(std::move(sources)) {}

OB_STATUSCODE CDeviceInfo::GetHostName(wchar_t* buffer, std::uint32_t* length) const {
  std::wstring name;
  const OB_STATUSCODE status = GetHostName(name);
  return ObSucceeded(status) ? CopyToBuffer(name, buffer, length, "CDeviceInfo::GetHostName")
                             : status;
}

OB_STATUSCODE CDeviceInfo::GetHostName(std::wstring& out) const {
  std::array<char, HOST_NAME_MAX + 1> name{};
  if (::gethostname(name.data(), name.size() - 1) != 0) {
    OB_LOG_ERROR("gethostname failed: errno %d", errno);
    return kObFailure;
  }
  out = Utf8ToWide(name.data());
  return kObSuccess;
}

OB_STATUSCODE CDeviceInfo::GetManufacturerName(wchar_t* buffer, std::uint32_t* length) const {
  std::wstring name;
  const OB_STATUSCODE status = GetManufacturerName(name);
  return ObSucceeded(status)
             ? CopyToBuffer(name, buffer, length, "CDeviceInfo::GetManufacturerName")
             : status;
}

OB_STATUSCODE CDeviceInfo::GetManufacturerName(std::wstring& out) const {
  std::string contents;
  const OB_STATUSCODE status = ReadSmallFile(sources_.sys_vendor_path, contents);
  if (!ObSucceeded(status)) {
    return status;
  }
  const std::string_view vendor = Trim(contents);
  if (vendor.empty()) {
    OB_LOG_DEBUG("%s is blank", sources_.sys_vendor_path.c_str());
    return kObNotFound;
  }
  out = Utf8ToWide(vendor);
  return kObSuccess;
}

OB_STATUSCODE CDeviceInfo::GetSystemType(wchar_t* buffer, std::uint32_t* length) const {
  std::wstring type;
  const OB_STATUSCODE status = GetSystemType(type);
  return ObSucceeded(status) ? CopyToBuffer(type, buffer, length, "CDeviceInfo::GetSystemType")
                             : status;
}

OB_STATUSCODE CDeviceInfo::GetSystemType(std::wstring& out) const {
  struct utsname names {};
  if (::uname(&names) != 0) {
    OB_LOG_ERROR("uname failed: errno %d", errno);
    return kObFailure;
  }
  out = Utf8ToWide(names.machine);
  return kObSuccess;
}

OB_STATUSCODE CDeviceInfo::GetUDID(wchar_t* buffer, std::uint32_t* length) const {
  std::wstring udid;
  const OB_STATUSCODE status = GetUDID(udid);
  return ObSucceeded(status) ? CopyToBuffer(udid, buffer, length, "CDeviceInfo::GetUDID") : status;
}

OB_STATUSCODE CDeviceInfo::GetUDID(std::wstring& out) const {
  const std::lock_guard lock(udid_mutex_);
  if (!udid_.empty()) {
    out = udid_;
    return kObSuccess;
  }
  std::string contents;
  const OB_STATUSCODE status = ReadSmallFile(sources_.machine_id_path, contents);
  const std::string_view machine_id = Trim(contents);
  // systemd writes "uninitialized" until the first boot has completed.
  if (!ObSucceeded(status) || machine_id.empty() || machine_id == "uninitialized") {
    OB_LOG_WARN("no machine id in %s (status %d); the endpoint has no UDID",
                sources_.machine_id_path.c_str(), status);
    return kObNotFound;
  }
  Sha256Digest digest;
  const std::span<const std::uint8_t> bytes(
      reinterpret_cast<const std::uint8_t*>(machine_id.data()), machine_id.size());
  const OB_STATUSCODE hashed = CSha256Hasher::Digest(bytes, digest);
  if (!ObSucceeded(hashed)) {
    return hashed;
  }
  udid_ = Utf8ToWide(Utils::EncodeToHex(std::span(digest).first(kUdidLength / 2)));
  out = udid_;
  return kObSuccess;
}

MYOSVERSION CDeviceInfo::GetOsVersion() const {
  MYOSVERSION version;
  for (const std::string& path : sources_.os_release_paths) {
    std::string contents;
    if (ObSucceeded(ReadSmallFile(path, contents))) {
      version.name = OsReleaseValue(contents, "NAME");
      version.version = OsReleaseValue(contents, "VERSION_ID");
      break;
    }
  }
  struct utsname names {};
  if (::uname(&names) == 0) {
    version.kernel_release = Utf8ToWide(names.release);
  } else {
    OB_LOG_ERROR("uname failed: errno %d", errno);
  }
  return version;
}

}  // namespace OBRuntime
