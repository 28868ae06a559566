#include "export/ipfix_decoder_elements.h"

#include <array>

namespace {

using enum IpfixValueType;
constexpr std::uint32_t kIana = 0;
constexpr std::uint32_t kAgent = kIpfixAgentEnterprise;

// Element 12350 is the item of two lists: a 32-byte module hash in flow records and a
// variable-length "Key=value" text in interface records.
constexpr std::array kElements = {
    IpfixElementInfo{kIana, 1, "octetDeltaCount", kUnsigned},
    IpfixElementInfo{kIana, 2, "packetDeltaCount", kUnsigned},
    IpfixElementInfo{kIana, 4, "protocolIdentifier", kUnsigned},
    IpfixElementInfo{kIana, 5, "ipClassOfService", kUnsigned},
    IpfixElementInfo{kIana, 6, "tcpControlBits", kUnsigned},
    IpfixElementInfo{kIana, 7, "sourceTransportPort", kUnsigned},
    IpfixElementInfo{kIana, 8, "sourceIPv4Address", kIPv4Address},
    IpfixElementInfo{kIana, 10, "ingressInterface", kUnsigned},
    IpfixElementInfo{kIana, 11, "destinationTransportPort", kUnsigned},
    IpfixElementInfo{kIana, 12, "destinationIPv4Address", kIPv4Address},
    IpfixElementInfo{kIana, 14, "egressInterface", kUnsigned},
    IpfixElementInfo{kIana, 27, "sourceIPv6Address", kIPv6Address},
    IpfixElementInfo{kIana, 28, "destinationIPv6Address", kIPv6Address},
    IpfixElementInfo{kIana, 56, "sourceMacAddress", kOctets},
    IpfixElementInfo{kIana, 150, "flowStartSeconds", kDateTimeSeconds},
    IpfixElementInfo{kIana, 151, "flowEndSeconds", kDateTimeSeconds},
    IpfixElementInfo{kIana, 291, "basicList", kBasicList},
    IpfixElementInfo{kIana, 350, "virtualStationName", kString},
    IpfixElementInfo{kAgent, 12332, "orvEndpointUdid", kOctets},
    IpfixElementInfo{kAgent, 12333, "orvLoggedInUserName", kString},
    IpfixElementInfo{kAgent, 12334, "orvOsName", kString},
    IpfixElementInfo{kAgent, 12335, "orvOsVersion", kString},
    IpfixElementInfo{kAgent, 12336, "orvManufacturer", kString},
    IpfixElementInfo{kAgent, 12337, "orvSystemType", kString},
    IpfixElementInfo{kAgent, 12338, "orvProcessUserName", kString},
    IpfixElementInfo{kAgent, 12339, "orvParentProcessUserName", kString},
    IpfixElementInfo{kAgent, 12340, "orvProcessName", kString},
    IpfixElementInfo{kAgent, 12341, "orvProcessHash", kOctets},
    IpfixElementInfo{kAgent, 12342, "orvParentProcessName", kString},
    IpfixElementInfo{kAgent, 12343, "orvParentProcessHash", kOctets},
    IpfixElementInfo{kAgent, 12344, "orvDnsSuffix", kString},
    IpfixElementInfo{kAgent, 12345, "orvDestinationHostName", kString},
    IpfixElementInfo{kAgent, 12346, "orvL4OctetCountIn", kUnsigned},
    IpfixElementInfo{kAgent, 12347, "orvL4OctetCountOut", kUnsigned},
    IpfixElementInfo{kAgent, 12348, "orvHostedModuleName", kString},
    IpfixElementInfo{kAgent, 12350, "orvListEntry", kTextOrOctets},
    IpfixElementInfo{kAgent, 12351, "orvOsBuild", kString},
    IpfixElementInfo{kAgent, 12352, "orvHostedModules", kBasicList},
    IpfixElementInfo{kAgent, 12353, "orvHostedModuleHashes", kBasicList},
    IpfixElementInfo{kAgent, 12355, "orvInterfaceUid", kUnsigned},
    IpfixElementInfo{kAgent, 12356, "orvInterfaceIndex", kUnsigned},
    IpfixElementInfo{kAgent, 12357, "orvInterfaceType", kUnsigned},
    IpfixElementInfo{kAgent, 12358, "orvInterfaceName", kString},
    IpfixElementInfo{kAgent, 12359, "orvInterfaceDetails", kBasicList},
    IpfixElementInfo{kAgent, 12360, "orvInterfaceMacAddress", kString},
    IpfixElementInfo{kAgent, 12361, "orvLoggedInUserAccountType", kUnsigned},
    IpfixElementInfo{kAgent, 12362, "orvProcessUserAccountType", kUnsigned},
    IpfixElementInfo{kAgent, 12363, "orvParentProcessUserAccountType", kUnsigned},
};

}  // namespace

const IpfixElementInfo* FindIpfixElement(std::uint32_t enterprise, std::uint16_t id) {
  for (const IpfixElementInfo& element : kElements) {
    if (element.enterprise == enterprise && element.id == id) {
      return &element;
    }
  }
  return nullptr;
}

std::string IpfixElementName(std::uint32_t enterprise, std::uint16_t id) {
  if (const IpfixElementInfo* element = FindIpfixElement(enterprise, id)) {
    return std::string(element->name);
  }
  if (enterprise == 0) {
    return "ie" + std::to_string(id);
  }
  return "e" + std::to_string(enterprise) + "." + std::to_string(id);
}
