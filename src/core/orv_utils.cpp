#include "core/orv_utils.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <string>

#include "netif/network_interface_manager.h"
#include "platform/private_directory.h"
#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/utils.h"

namespace ORVUtils {
namespace {

constexpr std::uint32_t kFamilyIPv4 = 2;
constexpr std::uint32_t kFamilyIPv6 = 23;
constexpr std::size_t kMaxAddressText = 64;

// The IPv4 text's part before the first '.', read as a whole decimal number.
[[nodiscard]] bool firstOctet(std::string_view address, int& value) {
  const std::string_view part = address.substr(0, address.find('.'));
  const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
  return error == std::errc() && end == part.data() + part.size();
}

[[nodiscard]] bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char lower, char given) {
           return std::tolower(static_cast<unsigned char>(given)) == lower;
         });
}

}  // namespace

bool CheckBroadcast(std::string_view address, const InterfaceBroadcastLookup& lookup) {
  if (address == "255.255.255.255") {
    return true;
  }
  if (address.find(':') != std::string_view::npos) {
    return false;  // an IPv6 text is never an IPv4 broadcast address
  }
  if (lookup) {
    return lookup(address);
  }
  return CNetworkInterfaceManager::GetInstance().IsInterfaceBroadcastAddress(std::string(address));
}

bool CheckMulticast(std::string_view address, std::uint32_t family) {
  if (family == kFamilyIPv4) {
    int first = 0;
    if (!firstOctet(address, first)) {
      OB_LOG_AS(LOG_ERROR, "CORVAgent::checkMulticast",
                "CORVAgent::checkMulticast - could not cast IP to int.");
      return false;
    }
    return first >= 224 && first <= 239;
  }
  return family == kFamilyIPv6 && startsWithIgnoringCase(address, "ff");
}

// 169.254.0.0/16 and fe80::/10 only: the rest of 169.x.x.x is routable public space.
bool CheckLinkLocal(std::string_view address, std::uint32_t family) {
  std::array<char, kMaxAddressText + 1> text{};
  std::copy_n(address.data(), std::min(address.size(), kMaxAddressText), text.data());
  if (family == kFamilyIPv4) {
    in_addr v4{};
    return inet_pton(AF_INET, text.data(), &v4) == 1 && (ntohl(v4.s_addr) >> 16) == 0xA9FE;
  }
  in6_addr v6{};
  return family == kFamilyIPv6 && inet_pton(AF_INET6, text.data(), &v6) == 1 &&
         IN6_IS_ADDR_LINKLOCAL(&v6);
}

bool CheckLoopback(std::string_view address) {
  std::array<char, kMaxAddressText + 1> text{};
  const std::size_t length = std::min(address.size(), kMaxAddressText);
  std::copy_n(address.data(), length, text.data());
  in_addr v4{};
  if (inet_pton(AF_INET, text.data(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, text.data(), &v6) == 1) {
    return IN6_IS_ADDR_LOOPBACK(&v6);
  }
  OB_LOG_ERROR("Exception while converting string to ip address %s",
               "the text is neither an IPv4 nor an IPv6 address");
  return false;
}

OB_STATUSCODE CreateORVDirectory() {
  const std::wstring directory = OBRuntime::Utils::GetORVDataDirectory();
  const std::string path = OBRuntime::WideToUtf8(directory);
  if (const int error = OBPlatform::CreatePrivateDirectory(path); error != 0) {
    OB_LOG_ERROR("Failed to create ORV Directory %s. Error code %d.", path.c_str(), error);
    return kObFailure;
  }
  return kObSuccess;
}

}  // namespace ORVUtils
