#include "flow/process_info.h"

#include <algorithm>
#include <array>

#include "flow/account_info.h"
#include "runtime/log_limiter.h"
#include "runtime/logger.h"
#include "runtime/text.h"

namespace {

constexpr wchar_t kSystemImage[] = L"SYSTEM";

OB_STATUSCODE CopyPath(const std::wstring& path, wchar_t* buffer, std::uint32_t capacity) {
  if (buffer == nullptr) {
    OB_LOG_ERROR("null buffer for an image path");
    return kObBadArgument;
  }
  if (path.size() >= capacity) {
    OB_LOG_DEBUG("image path of %zu characters does not fit %u", path.size(), capacity);
    return kObBufferTooSmall;
  }
  std::copy(path.begin(), path.end(), buffer);
  buffer[path.size()] = L'\0';
  return kObSuccess;
}

// The final reports of a process that has exited keep arriving after it is gone: its failure is
// logged once, not once per flow. The memory covers the most recent pids of the calling thread.
[[nodiscard]] bool FirstFailureOf(std::uint32_t pid) {
  thread_local std::array<std::uint32_t, 64> recent{};
  thread_local std::size_t next = 0;
  if (std::find(recent.begin(), recent.end(), pid) != recent.end()) {
    return false;
  }
  recent[next] = pid;
  next = (next + 1) % recent.size();
  return true;
}

}  // namespace

const ProcessInfoServices& ProcessInfoServices::Default() {
  static const ProcessInfoServices services{
      LinuxProcessQueries::Instance(), LinuxAccountDirectory::Instance(), CProcessCache::Instance(),
      OBRuntime::CSha256HashManagerImpl::AcquireInstance()};
  return services;
}

CProcessInfo::CProcessInfo(std::uint32_t process_id, const ProcessInfoServices& services)
    : CProcessInfoSurrogateable(process_id, services.queries), services_(services) {
  self_.pid = process_id;
}

OB_STATUSCODE CProcessInfo::GetProcessPath(wchar_t* buffer, std::uint32_t capacity) {
  if (process_path_.empty()) {
    std::wstring path;
    if (ImagePathOf(self_, path) != kObSuccess) {
      return kObFailure;
    }
    process_path_ = std::move(path);
  }
  return CopyPath(process_path_, buffer, capacity);
}

OB_STATUSCODE CProcessInfo::GetParentProcessId(std::uint32_t& parent_id) {
  if (parent_id_ == kUnknownParentId) {
    if (Load(self_) != kObSuccess) {
      return kObFailure;
    }
    parent_id_ = self_.facts ? self_.facts->parent_pid : 0;
  }
  parent_id = parent_id_;
  return kObSuccess;
}

OB_STATUSCODE CProcessInfo::GetParentProcessPath(wchar_t* buffer, std::uint32_t capacity) {
  if (parent_path_.empty()) {
    std::wstring path;
    if (LoadParent() != kObSuccess || ImagePathOf(parent_, path) != kObSuccess) {
      return kObFailure;
    }
    parent_path_ = std::move(path);
  }
  return CopyPath(parent_path_, buffer, capacity);
}

OB_STATUSCODE CProcessInfo::GetProcessHash(std::uint8_t* buffer, std::uint32_t& size) {
  return HashOf(self_, buffer, size);
}

OB_STATUSCODE CProcessInfo::GetParentProcessHash(std::uint8_t* buffer, std::uint32_t& size) {
  if (buffer == nullptr || size < kHashSize) {
    size = kHashSize;
    return kObBufferTooSmall;
  }
  if (LoadParent() != kObSuccess) {
    return kObFailure;
  }
  return HashOf(parent_, buffer, size);
}

OB_STATUSCODE CProcessInfo::GetProcessUser(wchar_t* buffer, std::uint32_t& size,
                                           std::uint16_t& account_type) {
  return UserOf(self_, buffer, size, account_type);
}

OB_STATUSCODE CProcessInfo::GetParentProcessUser(wchar_t* buffer, std::uint32_t& size,
                                                 std::uint16_t& account_type) {
  if (LoadParent() != kObSuccess) {
    return kObFailure;
  }
  return UserOf(parent_, buffer, size, account_type);
}

OB_STATUSCODE CProcessInfo::Load(Subject& subject) {
  if (subject.loaded) {
    return subject.status;
  }
  subject.loaded = true;
  if (subject.pid == 0) {
    subject.status = kObSuccess;
    return subject.status;
  }
  orv::platform::ProcStat stat;
  int os_error = 0;
  const OB_STATUSCODE status = services_.queries.Stat(subject.pid, stat, os_error);
  if (status != kObSuccess) {
    if (FirstFailureOf(subject.pid)) {
      OB_LOG_DEBUG("process %u cannot be read: status %d, errno %d", subject.pid, status, os_error);
    }
    subject.status = kObFailure;
    return subject.status;
  }
  subject.key = ProcessKey{subject.pid, stat.start_time};
  subject.facts = services_.cache.Find(subject.key);
  if (!subject.facts || subject.facts->command_name != stat.command_name) {
    subject.facts = ReadFacts(subject.pid, stat);
    if (subject.facts) {
      services_.cache.Store(subject.key, subject.facts);
    }
  }
  subject.status = subject.facts ? kObSuccess : kObFailure;
  return subject.status;
}

std::shared_ptr<const ProcessFacts> CProcessInfo::ReadFacts(std::uint32_t pid,
                                                            const orv::platform::ProcStat& stat) {
  auto facts = std::make_shared<ProcessFacts>();
  facts->command_name = stat.command_name;
  facts->kernel_thread = stat.kernel_thread;
  facts->parent_pid = stat.kernel_thread ? 0 : stat.parent_pid;
  if (stat.kernel_thread) {
    return facts;
  }
  orv::platform::ProcStat parent;
  int os_error = 0;
  // A parent cannot start after its child: one that did reused the parent's id.
  if (stat.parent_pid != 0 &&
      services_.queries.Stat(stat.parent_pid, parent, os_error) == kObSuccess &&
      parent.start_time <= stat.start_time) {
    facts->parent_start_time = parent.start_time;
  }
  std::string image;
  const OB_STATUSCODE status = services_.queries.ImagePath(pid, image, os_error);
  if (status == kObNotFound) {
    // The process is exiting: nothing worth keeping.
    OB_LOG_DEBUG(
        "CProcessInfo::getProcessPath failed to acquire process handle with error code %d.",
        os_error);
    return nullptr;
  }
  if (status != kObSuccess) {
    // Kept as unknown: the answer (no permission) will not change for this process.
    OB_LOG_ERROR(
        "CProcessInfo::getProcessPath call to GetModuleFileNameEx failed with error code %d",
        os_error);
    facts->image_error = os_error;
    return facts;
  }
  facts->image_path = OBRuntime::Utf8ToWide(image);
  return facts;
}

OB_STATUSCODE CProcessInfo::LoadParent() {
  if (parent_.loaded) {
    return parent_.status;
  }
  std::uint32_t parent_id = 0;
  if (GetParentProcessId(parent_id) != kObSuccess) {
    parent_.loaded = true;
    parent_.status = kObFailure;
    return parent_.status;
  }
  parent_.pid = parent_id;
  if (parent_id == 0 || !self_.facts) {
    return Load(parent_);
  }
  if (!self_.facts->parent_start_time) {
    OB_LOG_DEBUG("parent %u of process %u had exited when the process was first seen", parent_id,
                 self_.pid);
    parent_.loaded = true;
    parent_.status = kObFailure;
    return parent_.status;
  }
  // The parent as it was when this process was first seen: found without reading /proc while
  // its entry is cached, and never confused with a newer process that took over its id.
  const ProcessKey key{parent_id, *self_.facts->parent_start_time};
  if ((parent_.facts = services_.cache.Find(key))) {
    parent_.loaded = true;
    parent_.key = key;
    parent_.status = kObSuccess;
    return parent_.status;
  }
  if (Load(parent_) == kObSuccess && !(parent_.key == key)) {
    OB_LOG_DEBUG("parent %u of process %u exited; its id now names a newer process", parent_id,
                 self_.pid);
    parent_.status = kObFailure;
  }
  return parent_.status;
}

OB_STATUSCODE CProcessInfo::ImagePathOf(Subject& subject, std::wstring& path) {
  if (Load(subject) != kObSuccess) {
    return kObFailure;
  }
  if (IsSystem(subject)) {
    path = kSystemImage;
    return kObSuccess;
  }
  if (subject.facts->image_path.empty()) {
    return kObFailure;
  }
  path = subject.facts->image_path;
  return kObSuccess;
}

OB_STATUSCODE CProcessInfo::HashOf(Subject& subject, std::uint8_t* buffer, std::uint32_t& size) {
  if (buffer == nullptr || size < kHashSize) {
    size = kHashSize;
    return kObBufferTooSmall;
  }
  size = kHashSize;
  if (Load(subject) != kObSuccess) {
    return kObFailure;
  }
  if (IsSystem(subject)) {
    std::fill_n(buffer, kHashSize, std::uint8_t{0});
    return kObSuccess;
  }
  if (subject.facts->has_hash) {
    std::copy(subject.facts->hash.begin(), subject.facts->hash.end(), buffer);
    return kObSuccess;
  }
  const OB_STATUSCODE status = services_.hasher.GetHashSHA256(
      services_.queries.ImageFile(subject.pid), buffer, kHashSize, subject.pid);
  if (status != kObSuccess) {
    if (status == kObNotFound) {
      OB_LOG_DEBUG("GetHashSHA256 error %d", status);
    }
    return kObFailure;
  }
  if (!StillSame(subject)) {
    std::fill_n(buffer, kHashSize, std::uint8_t{0});
    return kObFailure;
  }
  auto updated = std::make_shared<ProcessFacts>(*subject.facts);
  updated->has_hash = true;
  std::copy_n(buffer, kHashSize, updated->hash.begin());
  Update(subject, std::move(updated));
  return kObSuccess;
}

OB_STATUSCODE CProcessInfo::UserOf(Subject& subject, wchar_t* buffer, std::uint32_t& size,
                                   std::uint16_t& account_type) {
  if (Load(subject) != kObSuccess) {
    return kObFailure;
  }
  if (!subject.facts) {
    OB_LOG_DEBUG("process id 0 has no account to query");
    return kObFailure;
  }
  if (!subject.facts->has_user) {
    orv::platform::ProcCredentials credentials;
    int os_error = 0;
    if (services_.queries.Credentials(subject.pid, credentials, os_error) != kObSuccess) {
      OB_LOG_LIMITED(LOG_DEBUG, "credentials of process %u unreadable: errno %d", subject.pid,
                     os_error);
      return kObFailure;
    }
    std::wstring name;
    const OB_STATUSCODE status =
        FormatAccountName(credentials.effective_uid, services_.accounts, name);
    if (status != kObSuccess) {
      return status;
    }
    const std::uint16_t type =
        ComputeAccountType(credentials.effective_uid, credentials.groups, services_.accounts);
    if (!StillSame(subject)) {
      return kObFailure;
    }
    auto updated = std::make_shared<ProcessFacts>(*subject.facts);
    updated->has_user = true;
    updated->user_name = std::move(name);
    updated->account_type = type;
    Update(subject, std::move(updated));
  }
  account_type = subject.facts->account_type;
  return CopyAccountName(subject.facts->user_name, buffer, size);
}

bool CProcessInfo::StillSame(const Subject& subject) {
  orv::platform::ProcStat stat;
  int os_error = 0;
  if (services_.queries.Stat(subject.pid, stat, os_error) != kObSuccess ||
      stat.start_time != subject.key.start_time ||
      stat.command_name != subject.facts->command_name) {
    OB_LOG_DEBUG("process %u exited or changed its image during the lookup", subject.pid);
    return false;
  }
  return true;
}

void CProcessInfo::Update(Subject& subject, std::shared_ptr<const ProcessFacts> facts) {
  services_.cache.Store(subject.key, facts);
  subject.facts = std::move(facts);
}

bool CProcessInfo::IsSystem(const Subject& subject) {
  return subject.pid == 0 || (subject.facts && subject.facts->kernel_thread);
}
