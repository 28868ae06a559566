#include "flow/flow_record_builder.h"

#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "common/record_text.h"
#include "config/orv_profile.h"
#include "flow/idn_utils.h"
#include "netif/network_interface_info.h"
#include "netif/network_interface_manager.h"
#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/utils.h"

namespace {

constexpr std::uint32_t kPidRecordParentId = CProcessInfo::kUnknownParentId;
// A Linux path never needs more (PATH_MAX); the usual 260-character buffer is tried first.
constexpr std::size_t kLongPathCapacity = 4096;
// Suffixes are at most 253 characters.
constexpr std::uint32_t kDnsSuffixCapacity = 256;

using Hash = std::array<std::uint8_t, ORVFlowObject::kHashBytes>;

std::string ZeroHash() { return std::string(ORVFlowObject::kHashBytes, '\0'); }

// Records come from a pool with the buffers of their texts: fields are assigned in place, never
// replaced by a new string, so a record built in steady state allocates nothing.
void AssignHash(std::string& hash, const Hash& digest) {
  hash.assign(reinterpret_cast<const char*>(digest.data()), digest.size());
}

// Per-thread scratch text for lookups whose answer fills a field only in part.
std::wstring& ScratchText() {
  thread_local std::wstring text;
  text.clear();
  return text;
}

bool IsZeroHash(const std::string& hash) {
  return std::all_of(hash.begin(), hash.end(), [](char byte) { return byte == '\0'; });
}

// Blanking by policy, one entry per excludable field.
struct FieldBlanker {
  std::int32_t field_id;
  void (*blank)(ORVFlowObject& flow);
};

constexpr std::array kFieldBlankers{
    FieldBlanker{kFieldProcessName, [](ORVFlowObject& f) { f.process_name = kFlowBlankedText; }},
    FieldBlanker{kFieldParentProcessName,
                 [](ORVFlowObject& f) { f.parent_process_name = kFlowBlankedText; }},
    FieldBlanker{kFieldProcessHash, [](ORVFlowObject& f) { f.process_hash = ZeroHash(); }},
    FieldBlanker{kFieldParentProcessHash,
                 [](ORVFlowObject& f) { f.parent_process_hash = ZeroHash(); }},
    FieldBlanker{kFieldHostedModules, [](ORVFlowObject& f) { f.hosted_modules.clear(); }},
    FieldBlanker{kFieldHostedModuleHashes,
                 [](ORVFlowObject& f) { f.hosted_module_hashes.clear(); }},
    FieldBlanker{kFieldLoggedInUserName,
                 [](ORVFlowObject& f) { f.logged_in_user_name = kFlowBlankedText; }},
    FieldBlanker{kFieldLoggedInUserAccountType,
                 [](ORVFlowObject& f) { f.logged_in_user_account_type = 0; }},
    FieldBlanker{kFieldProcessUserName,
                 [](ORVFlowObject& f) { f.process_user_name = kFlowBlankedText; }},
    FieldBlanker{kFieldProcessUserAccountType,
                 [](ORVFlowObject& f) { f.process_user_account_type = 0; }},
    FieldBlanker{kFieldParentProcessUserName,
                 [](ORVFlowObject& f) { f.parent_process_user_name = kFlowBlankedText; }},
    FieldBlanker{kFieldParentProcessUserAccountType,
                 [](ORVFlowObject& f) { f.parent_process_user_account_type = 0; }},
    FieldBlanker{kFieldDnsSuffix, [](ORVFlowObject& f) { f.dns_suffix = kFlowBlankedText; }},
    FieldBlanker{kFieldDestinationHostName,
                 [](ORVFlowObject& f) { f.destination_host_name = kFlowBlankedText; }},
    FieldBlanker{kFieldBytesIn, [](ORVFlowObject& f) { f.bytes_in = 0; }},
    FieldBlanker{kFieldBytesOut, [](ORVFlowObject& f) { f.bytes_out = 0; }},
};

struct AnonymisedField {
  std::int32_t field_id;
  std::wstring ORVFlowObject::*text;
};

constexpr std::array kAnonymisedFields{
    AnonymisedField{kFieldLoggedInUserName, &ORVFlowObject::logged_in_user_name},
    AnonymisedField{kFieldProcessName, &ORVFlowObject::process_name},
    AnonymisedField{kFieldProcessUserName, &ORVFlowObject::process_user_name},
    AnonymisedField{kFieldParentProcessName, &ORVFlowObject::parent_process_name},
    AnonymisedField{kFieldParentProcessUserName, &ORVFlowObject::parent_process_user_name},
    AnonymisedField{kFieldDestinationHostName, &ORVFlowObject::destination_host_name},
    AnonymisedField{kFieldDnsSuffix, &ORVFlowObject::dns_suffix},
};

// What a lookup that failed leaves behind: never worth taking over a value.
bool IsPlaceholder(const std::wstring& text) { return text == kFlowUnknownText; }
bool IsPlaceholder(const std::string& hash) { return IsZeroHash(hash); }

template <typename Text>
void TakeIfEmpty(Text& here, const Text& there) {
  if (here.empty() && !there.empty() && !IsPlaceholder(there)) {
    here = there;
  }
}

void TakeIfZero(std::uint16_t& here, std::uint16_t there) {
  if (here == 0) {
    here = there;
  }
}

// What an earlier pid information record knows of the same process fills the fields still empty
// after the message's own; its placeholders ("Unknown", zero hashes) fill nothing.
void TakeOver(ORVFlowObject& flow, const ORVFlowObject& record) {
  TakeIfEmpty(flow.process_name, record.process_name);
  TakeIfEmpty(flow.process_path, record.process_path);
  TakeIfEmpty(flow.parent_process_name, record.parent_process_name);
  TakeIfEmpty(flow.parent_process_path, record.parent_process_path);
  TakeIfEmpty(flow.process_hash, record.process_hash);
  TakeIfEmpty(flow.parent_process_hash, record.parent_process_hash);
  TakeIfEmpty(flow.process_user_name, record.process_user_name);
  TakeIfEmpty(flow.parent_process_user_name, record.parent_process_user_name);
  TakeIfZero(flow.process_user_account_type, record.process_user_account_type);
  TakeIfZero(flow.parent_process_user_account_type, record.parent_process_user_account_type);
}

void AssignAddress(std::string& out, const KdfEndpoint& endpoint, bool ipv4) {
  std::array<char, kKdfAddressTextSize> text{};
  (void)FormatKdfAddress(endpoint, ipv4, text);  // an unformattable address stays empty
  out.assign(text.data());
}

void SetEndpoints(ORVFlowObject& flow, const KdfFlowData& message) {
  const bool ipv4 = message.IsIPv4();
  flow.address_family = ipv4 ? 0 : 1;
  const bool remote_is_source = message.direction == kKdfDirectionRemoteIsSource;
  const KdfEndpoint& source = remote_is_source ? message.remote : message.local;
  const KdfEndpoint& destination = remote_is_source ? message.local : message.remote;
  AssignAddress(flow.source_address, source, ipv4);
  flow.source_port = source.port;
  AssignAddress(flow.destination_address, destination, ipv4);
  flow.destination_port = destination.port;
}

void SetCounters(ORVFlowObject& flow, const KdfFlowData& message,
                 const DataCollectionPolicy& policy) {
  flow.protocol = static_cast<std::uint8_t>(message.protocol);
  flow.flow_start = message.flow_start;
  flow.flow_end = message.flow_end;
  if (!policy.IsFieldExcluded(kFieldBytesIn)) {
    flow.bytes_in = message.bytes_in;
  }
  if (!policy.IsFieldExcluded(kFieldBytesOut)) {
    flow.bytes_out = message.bytes_out;
  }
}

void SetImage(std::string& hash, std::wstring& path, const Hash& message_hash,
              const std::u16string& message_path) {
  const bool known = std::any_of(message_hash.begin(), message_hash.end(),
                                 [](std::uint8_t byte) { return byte != 0; });
  if (known && hash.empty()) {
    AssignHash(hash, message_hash);
  }
  if (!message_path.empty() && path.empty()) {
    OBRuntime::Utf16ToWide(message_path, path);
  }
}

// The decoded host name; a name blanked by policy stays blanked.
void SetHostName(ORVFlowObject& flow, const std::string& name) {
  if (!flow.destination_host_name.empty()) {
    return;
  }
  if (name.empty()) {
    flow.destination_host_name = kFlowUnknownText;
    return;
  }
  const OB_STATUSCODE status =
      IDNUtils::DecodeIDN(name.data(), name.size(), flow.destination_host_name);
  if (status != kObSuccess) {
    std::string shown;
    orv::AppendLogText(shown, name);
    OB_LOG_AS(LOG_WARNING, "CFlowRecordBuilder::FromFlowData",
              "IDNUtils::DecodeIDN failed for domain name %s [%u]", shown.c_str(),
              static_cast<unsigned>(status));
    flow.destination_host_name = OBRuntime::Utf8ToWide(name);
  }
}

// The local endpoint's address: the destination when the remote endpoint is the source.
const std::string& LocalAddress(const ORVFlowObject& flow) {
  return flow.direction == kKdfDirectionRemoteIsSource ? flow.destination_address
                                                       : flow.source_address;
}

// An image path through query(buffer, capacity), retried with a buffer for the longest path.
template <typename PathQuery>
bool ReadPath(PathQuery&& query, std::wstring& path) {
  std::array<wchar_t, CProcessInfo::kPathCapacity> buffer{};
  OB_STATUSCODE status = query(buffer.data(), static_cast<std::uint32_t>(buffer.size()));
  if (status == kObSuccess) {
    path = buffer.data();
    return true;
  }
  if (status != kObBufferTooSmall) {
    return false;
  }
  std::vector<wchar_t> larger(kLongPathCapacity);
  status = query(larger.data(), static_cast<std::uint32_t>(larger.size()));
  if (status == kObSuccess) {
    path = larger.data();
  }
  return status == kObSuccess;
}

// The name from the path, the path looked up when it too is empty; "Unknown" when that fails.
template <typename PathQuery>
bool FillImage(std::wstring& name, std::wstring& path, PathQuery&& query) {
  if (!name.empty()) {
    return true;
  }
  if (path.empty() && !ReadPath(query, path)) {
    name = kFlowUnknownText;
    return false;
  }
  name.assign(OBRuntime::Utils::FileNameOf(path));
  return true;
}

// Computes a hash that is missing or all zero; a failure leaves 32 zero bytes, a digest that is
// not ready yet leaves the hash empty (the record is not held back for it).
template <typename HashQuery>
bool FillHash(std::string& hash, bool excluded, HashQuery&& query) {
  if (excluded || (hash.size() == ORVFlowObject::kHashBytes && !IsZeroHash(hash))) {
    return true;
  }
  Hash digest{};
  auto size = static_cast<std::uint32_t>(digest.size());
  const OB_STATUSCODE status = query(digest.data(), size);
  if (status == kObSuccess && size == digest.size()) {
    AssignHash(hash, digest);
    return true;
  }
  if (status == kObMessageParked) {
    hash.clear();
  } else {
    hash.assign(ORVFlowObject::kHashBytes, '\0');
  }
  return false;
}

// An account name through query(buffer, size, type), retried with the size it asks for.
template <typename UserQuery>
OB_STATUSCODE ReadUser(UserQuery&& query, std::wstring& name, std::uint16_t& type) {
  std::array<wchar_t, CProcessInfo::kUserCapacity> buffer{};
  auto size = static_cast<std::uint32_t>(buffer.size());
  OB_STATUSCODE status = query(buffer.data(), size, type);
  if (status == kObSuccess) {
    name = buffer.data();
    return status;
  }
  if (status != kObBufferTooSmall || size <= buffer.size()) {
    return status;
  }
  std::vector<wchar_t> larger(size);
  status = query(larger.data(), size, type);
  if (status == kObSuccess) {
    name = larger.data();
  }
  return status;
}

// Whether an account is to be looked up: its name or its type is missing and not excluded.
bool WantsUser(const std::wstring& name, std::uint16_t type, bool name_excluded,
               bool type_excluded) {
  return (name.empty() && !name_excluded) || (type == 0 && !type_excluded);
}

// Fills what is still missing from a lookup's result; a failure leaves "Unknown" in an empty
// name.
bool StoreUser(OB_STATUSCODE status, const std::wstring& found, std::uint16_t found_type,
               std::wstring& name, std::uint16_t& type) {
  if (status != kObSuccess) {
    if (name.empty()) {
      name = kFlowUnknownText;
    }
    return false;
  }
  if (name.empty()) {
    name.assign(found);
  }
  if (type == 0) {
    type = found_type;
  }
  return true;
}

// Looks up the account of a process unless WantsUser says otherwise.
template <typename UserQuery>
bool FillUser(std::wstring& name, std::uint16_t& type, bool name_excluded, bool type_excluded,
              UserQuery&& query) {
  if (!WantsUser(name, type, name_excluded, type_excluded)) {
    return true;
  }
  std::wstring& found = ScratchText();
  std::uint16_t found_type = 0;
  const OB_STATUSCODE status = ReadUser(query, found, found_type);
  return StoreUser(status, found, found_type, name, type);
}

// Case folding for the pattern match: ASCII, Latin-1, Greek and Cyrillic capitals, so that the
// match never depends on the process locale.
wchar_t FoldCase(wchar_t c) {
  if (c >= L'A' && c <= L'Z') {
    return static_cast<wchar_t>(c + (L'a' - L'A'));
  }
  const bool latin1 = c >= 0xC0 && c <= 0xDE && c != 0xD7;
  const bool greek = c >= 0x391 && c <= 0x3AB && c != 0x3A2;
  const bool cyrillic = c >= 0x410 && c <= 0x42F;
  if (latin1 || greek || cyrillic) {
    return static_cast<wchar_t>(c + 0x20);
  }
  if (c >= 0x400 && c <= 0x40F) {
    return static_cast<wchar_t>(c + 0x50);
  }
  return c;
}

bool ContainsIgnoringCase(std::wstring_view text, std::wstring_view pattern) {
  const auto found = std::search(text.begin(), text.end(), pattern.begin(), pattern.end(),
                                 [](wchar_t a, wchar_t b) { return FoldCase(a) == FoldCase(b); });
  return found != text.end() || pattern.empty();
}

// The text the troubleshooting pattern is searched in.
std::wstring DebugText(const ORVFlowObject& flow) {
  std::wstring text = OBRuntime::Utf8ToWide(flow.source_address);
  text += L';';
  text += OBRuntime::Utf8ToWide(flow.destination_address);
  for (const std::wstring* part :
       {&flow.process_name, &flow.process_user_name, &flow.parent_process_name,
        &flow.parent_process_user_name, &flow.logged_in_user_name, &flow.dns_suffix,
        &flow.destination_host_name}) {
    text += L';';
    text += *part;
  }
  for (const std::wstring& module : flow.hosted_modules) {
    text += L';';
    text += module;
  }
  return text;
}

// Sets tracked from whether pattern occurs in the record's text, logging a match.
bool MarkTracked(ORVFlowObject& flow, const std::wstring& pattern) {
  flow.tracked = ContainsIgnoringCase(DebugText(flow), pattern);
  if (flow.tracked) {
    OB_LOG_AS(LOG_DEBUG, "CFlowRecordBuilder::matchesDebugPattern",
              "Tracking flow with id: %d and data\t %s", static_cast<int>(flow.flow_id),
              flow.ToString().c_str());
  }
  return flow.tracked;
}

OB_STATUSCODE ReadDnsSuffix(CNetworkInterfaceInfo& info, const std::string& address,
                            std::wstring& suffix) {
  std::array<wchar_t, kDnsSuffixCapacity> buffer{};
  auto size = static_cast<std::uint32_t>(buffer.size());
  const OB_STATUSCODE status = info.GetDNSSuffix(address.c_str(), buffer.data(), &size);
  if (status == kObSuccess) {
    suffix = buffer.data();
  }
  return status;
}

}  // namespace

CFlowRecordBuilder::CFlowRecordBuilder(FlowRecordSources sources) : sources_(std::move(sources)) {}

FlowRecordSources CFlowRecordBuilder::ProductionSources() {
  FlowRecordSources sources;
  sources.process = &ProcessInfoServices::Default();
  sources.console_user = &CUserInfo::GetInstance();
  sources.hosted_modules = ContainerManagerResolver();
  sources.merged_policy = [] { return GetMergedPolicy(); };
  sources.debug_pattern = [](std::wstring& pattern) {
    const CORVProfile& profile = CORVProfile::GetInstance();
    if (!profile.IsPatternSet()) {
      return false;
    }
    pattern = profile.GetPattern();
    return !pattern.empty();
  };
  sources.interface_uid = [](const std::string& address, bool ipv4, std::uint32_t& uid) {
    return CNetworkInterfaceManager::GetInstance().GetInterfaceInfoUID(address, ipv4, uid);
  };
  sources.dns_suffix = [](const std::string& address, std::wstring& suffix) {
    return ReadDnsSuffix(CNetworkInterfaceInfo::GetInstance(), address, suffix);
  };
  return sources;
}

std::shared_ptr<ORVFlowObject> CFlowRecordBuilder::FromFlowData(
    const KdfFlowData& message, const std::shared_ptr<const ORVFlowObject>& pid_record) {
  try {
    std::shared_ptr<ORVFlowObject> flow = records_.Acquire();
    if (!flow) {
      throw std::bad_alloc();
    }
    const DataCollectionPolicySnapshot policy = MergedPolicy();
    std::wstring pattern;
    const bool tracking = DebugPattern(pattern);
    flow->flow_id = ORVFlowObject::NextFlowId();
    flow->process_id = message.pid;
    flow->parent_process_id = message.parent_pid;
    flow->direction = message.direction;
    if (!tracking) {
      // Blanked fields are never looked up: "-" and zero hashes count as known.
      BlankExcludedFields(*flow, *policy);
    }
    SetImage(flow->process_hash, flow->process_path, message.process_hash, message.process_path);
    SetImage(flow->parent_process_hash, flow->parent_process_path, message.parent_hash,
             message.parent_path);
    if (pid_record && pid_record->process_id == message.pid) {
      TakeOver(*flow, *pid_record);
    }
    SetEndpoints(*flow, message);
    SetCounters(*flow, message, *policy);
    SetHostName(*flow, message.host_name);
    // A partial fill still gives a usable record.
    (void)Fill(*flow, *policy, message.process_start_time);
    if (tracking) {
      MarkTracked(*flow, pattern);
    }
    BlankExcludedFields(*flow, *policy);
    return flow;
  } catch (const std::bad_alloc&) {
    OB_LOG_ERROR("out of memory building the record of a flow of process %u", message.pid);
    return nullptr;
  }
}

std::shared_ptr<ORVFlowObject> CFlowRecordBuilder::FromPidInfo(const KdfPidInfo& message) {
  try {
    auto flow = std::make_shared<ORVFlowObject>();
    flow->process_id = message.pid;
    flow->parent_process_id = kPidRecordParentId;
    (void)Fill(*flow, *MergedPolicy());  // a partial fill still gives a usable record
    return flow;
  } catch (const std::bad_alloc&) {
    OB_LOG_ERROR("out of memory building the record of process %u", message.pid);
    return nullptr;
  }
}

OB_STATUSCODE CFlowRecordBuilder::fill(ORVFlowObject& flow) {
  try {
    return Fill(flow, *MergedPolicy());
  } catch (const std::bad_alloc&) {
    OB_LOG_ERROR("out of memory filling the record of flow %u", flow.flow_id);
    return kObOutOfMemory;
  }
}

bool CFlowRecordBuilder::matchesDebugPattern(ORVFlowObject& flow) {
  std::wstring pattern;
  if (!DebugPattern(pattern)) {
    flow.tracked = false;
    return false;
  }
  return MarkTracked(flow, pattern);
}

OB_STATUSCODE CFlowRecordBuilder::CurrentProcessHash(std::uint32_t pid, std::string& hash) {
  hash.clear();
  if (sources_.process == nullptr) {
    return kObFailure;
  }
  CProcessInfo info(pid, *sources_.process);
  Hash digest{};
  auto size = static_cast<std::uint32_t>(digest.size());
  const OB_STATUSCODE status = info.GetProcessHash(digest.data(), size);
  if (status != kObSuccess || size != digest.size()) {
    return status == kObMessageParked ? status : kObFailure;
  }
  AssignHash(hash, digest);
  return kObSuccess;
}

OB_STATUSCODE CFlowRecordBuilder::CurrentProcessUser(std::uint32_t pid, std::wstring& user) {
  user.clear();
  if (sources_.process == nullptr) {
    return kObFailure;
  }
  CProcessInfo info(pid, *sources_.process);
  std::uint16_t type = 0;
  return ReadUser(
      [&info](wchar_t* buffer, std::uint32_t& size, std::uint16_t& found) {
        return info.GetProcessUser(buffer, size, found);
      },
      user, type);
}

DataCollectionPolicySnapshot CFlowRecordBuilder::MergedPolicy() const {
  DataCollectionPolicySnapshot policy;
  if (sources_.merged_policy) {
    policy = sources_.merged_policy();
  }
  return policy ? policy : std::make_shared<const DataCollectionPolicy>();
}

bool CFlowRecordBuilder::DebugPattern(std::wstring& pattern) const {
  return sources_.debug_pattern && sources_.debug_pattern(pattern) && !pattern.empty();
}

OB_STATUSCODE CFlowRecordBuilder::Fill(ORVFlowObject& flow, const DataCollectionPolicy& policy,
                                       std::uint64_t reported_start_time) {
  std::optional<CProcessInfo> info;
  if (sources_.process != nullptr) {
    info.emplace(flow.process_id, *sources_.process);
    info->SetReported(reported_start_time, flow.process_path);
  }
  CProcessInfo* process = info ? &*info : nullptr;
  bool complete = FillProcess(flow, process, policy);
  complete &= FillUsers(flow, process, policy);
  complete &= FillDnsSuffix(flow);
  complete &= FillInterfaceUid(flow);
  return complete ? kObSuccess : kObPartialFailure;
}

bool CFlowRecordBuilder::FillProcess(ORVFlowObject& flow, CProcessInfo* info,
                                     const DataCollectionPolicy& policy) {
  const auto path = [info](wchar_t* buffer, std::uint32_t capacity) {
    return info ? info->GetProcessPath(buffer, capacity) : kObFailure;
  };
  const auto parent_path = [info](wchar_t* buffer, std::uint32_t capacity) {
    return info ? info->GetParentProcessPath(buffer, capacity) : kObFailure;
  };
  const auto hash = [info](std::uint8_t* buffer, std::uint32_t& size) {
    return info ? info->GetProcessHash(buffer, size) : kObFailure;
  };
  const auto parent_hash = [info](std::uint8_t* buffer, std::uint32_t& size) {
    return info ? info->GetParentProcessHash(buffer, size) : kObFailure;
  };
  bool complete = FillImage(flow.process_name, flow.process_path, path);
  complete &= FillHostedModules(flow, info, policy);
  complete &= FillImage(flow.parent_process_name, flow.parent_process_path, parent_path);
  complete &= FillHash(flow.process_hash, policy.IsFieldExcluded(kFieldProcessHash), hash);
  complete &= FillHash(flow.parent_process_hash, policy.IsFieldExcluded(kFieldParentProcessHash),
                       parent_hash);
  return complete;
}

bool CFlowRecordBuilder::FillHostedModules(ORVFlowObject& flow, CProcessInfo* info,
                                           const DataCollectionPolicy& policy) {
  const auto excluded = [&policy](std::uint32_t field_id) {
    return policy.IsFieldExcluded(static_cast<std::int32_t>(field_id));
  };
  if (info == nullptr || !sources_.hosted_modules || flow.process_path.empty() ||
      (excluded(kFieldHostedModules) && excluded(kFieldHostedModuleHashes))) {
    return true;
  }
  std::vector<std::wstring> names;
  std::vector<std::string> hashes;
  const OB_STATUSCODE status =
      sources_.hosted_modules(flow.process_path, *info, excluded, names, hashes);
  if (status == kObNotFound) {
    return true;  // no surrogate host
  }
  const bool has_command_line = info->GetProcessCommandLine(flow.host_command_line) == kObSuccess;
  flow.hosted_modules = std::move(names);
  flow.hosted_module_hashes = std::move(hashes);
  return has_command_line && status == kObSuccess;
}

bool CFlowRecordBuilder::FillUsers(ORVFlowObject& flow, CProcessInfo* info,
                                   const DataCollectionPolicy& policy) {
  const auto user = [info](wchar_t* buffer, std::uint32_t& size, std::uint16_t& type) {
    return info ? info->GetProcessUser(buffer, size, type) : kObFailure;
  };
  const auto parent_user = [info](wchar_t* buffer, std::uint32_t& size, std::uint16_t& type) {
    return info ? info->GetParentProcessUser(buffer, size, type) : kObFailure;
  };
  bool complete = FillLoggedInUser(flow, policy);
  complete &= FillUser(flow.process_user_name, flow.process_user_account_type,
                       policy.IsFieldExcluded(kFieldProcessUserName),
                       policy.IsFieldExcluded(kFieldProcessUserAccountType), user);
  complete &= FillUser(flow.parent_process_user_name, flow.parent_process_user_account_type,
                       policy.IsFieldExcluded(kFieldParentProcessUserName),
                       policy.IsFieldExcluded(kFieldParentProcessUserAccountType), parent_user);
  return complete;
}

bool CFlowRecordBuilder::FillLoggedInUser(ORVFlowObject& flow, const DataCollectionPolicy& policy) {
  std::wstring& name = flow.logged_in_user_name;
  std::uint16_t& type = flow.logged_in_user_account_type;
  if (!WantsUser(name, type, policy.IsFieldExcluded(kFieldLoggedInUserName),
                 policy.IsFieldExcluded(kFieldLoggedInUserAccountType))) {
    return true;
  }
  CUserInfo* console = sources_.console_user;
  const auto query = [console](wchar_t* buffer, std::uint32_t& size, std::uint16_t& found_type) {
    if (console == nullptr) {
      return kObFailure;
    }
    const OB_STATUSCODE status = console->GetLoggedOnUserName(buffer, size);
    found_type = status == kObSuccess ? console->GetLoggedOnUserAccountType() : 0;
    return status;
  };
  std::wstring& found = ScratchText();
  std::uint16_t found_type = 0;
  const OB_STATUSCODE status = ReadUser(query, found, found_type);
  if (status == kObNotFound) {
    return true;  // nobody at the console is an answer: the name stays empty
  }
  return StoreUser(status, found, found_type, name, type);
}

bool CFlowRecordBuilder::FillDnsSuffix(ORVFlowObject& flow) {
  const std::string& local = LocalAddress(flow);
  if (!flow.dns_suffix.empty() || local.empty()) {
    return true;
  }
  std::wstring& suffix = ScratchText();
  if (!sources_.dns_suffix || sources_.dns_suffix(local, suffix) != kObSuccess) {
    flow.dns_suffix = kFlowUnknownText;
    return false;
  }
  flow.dns_suffix.assign(suffix);
  return true;
}

bool CFlowRecordBuilder::FillInterfaceUid(ORVFlowObject& flow) {
  const std::string& local = LocalAddress(flow);
  if (local.empty()) {
    return true;  // a pid information record has no endpoints
  }
  std::uint32_t uid = 0;
  const bool found = sources_.interface_uid &&
                     sources_.interface_uid(local, flow.address_family == 0, uid) == kObSuccess;
  flow.interface_uid = found ? uid : 0;
  return found;
}

void BlankExcludedFields(ORVFlowObject& flow, const DataCollectionPolicy& policy) {
  if (policy.field_map.empty()) {
    return;
  }
  for (const FieldBlanker& blanker : kFieldBlankers) {
    if (policy.IsFieldExcluded(blanker.field_id)) {
      blanker.blank(flow);
    }
  }
}

void AnonymiseFields(ORVFlowObject& flow, const DataCollectionPolicy& policy) {
  for (const AnonymisedField& field : kAnonymisedFields) {
    if (policy.IsFieldAnonymised(field.field_id)) {
      AnonymizeValue(flow.*field.text);
    }
  }
}
