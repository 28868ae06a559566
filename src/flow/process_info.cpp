#include "flow/process_info.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <tuple>

#include "flow/account_info.h"
#include "runtime/log_limiter.h"
#include "runtime/logger.h"
#include "runtime/text.h"

namespace {

constexpr wchar_t kSystemImage[] = L"SYSTEM";

OB_STATUSCODE CopyPath(std::wstring_view path, wchar_t* buffer, std::uint32_t capacity) {
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
  static const ProcessInfoServices services{LinuxProcessQueries::Instance(),
                                            LinuxAccountDirectory::Instance(),
                                            CProcessCache::Instance(), CFileHashWorker::Instance()};
  return services;
}

CProcessInfo::CProcessInfo(std::uint32_t process_id, const ProcessInfoServices& services)
    : CProcessInfoSurrogateable(process_id, services.queries), services_(services) {
  self_.pid = process_id;
}

OB_STATUSCODE CProcessInfo::GetProcessPath(wchar_t* buffer, std::uint32_t capacity) {
  std::wstring_view path = process_path_;
  if (path.empty() && ImagePathOf(self_, path) != kObSuccess) {
    return kObFailure;
  }
  return CopyPath(path, buffer, capacity);
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
  std::wstring_view path = parent_path_;
  if (path.empty() && (LoadParent() != kObSuccess || ImagePathOf(parent_, path) != kObSuccess)) {
    return kObFailure;
  }
  return CopyPath(path, buffer, capacity);
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
  if (subject.pid == 0 || LoadReported(subject)) {
    subject.status = kObSuccess;
    return subject.status;
  }
  orv::platform::ProcStat stat;
  int os_error = 0;
  const OB_STATUSCODE status = services_.queries.Stat(subject.pid, stat, os_error);
  if (status == kObSuccess && IsReported(subject) && stat.start_time != start_time_) {
    // The process the driver reported has exited; its id now names another one.
    OB_LOG_DEBUG("process %u exited; its id now names a newer process", subject.pid);
    subject.status = kObFailure;
    return subject.status;
  }
  if (status != kObSuccess) {
    if (FirstFailureOf(subject.pid)) {
      OB_LOG_DEBUG("process %u cannot be read: status %d, errno %d", subject.pid, status, os_error);
    }
    subject.status = kObFailure;
    return subject.status;
  }
  subject.key = ProcessKey{subject.pid, stat.start_time};
  subject.facts = services_.cache.Find(subject.key);
  const auto [device, inode] = ImageIdentity(subject.pid);
  if (!subject.facts || subject.facts->command_name != stat.command_name ||
      subject.facts->image_device != device || subject.facts->image_inode != inode) {
    subject.facts = ReadFacts(subject.pid, stat);
    if (subject.facts) {
      services_.cache.Store(subject.key, subject.facts);
    }
  }
  subject.status = subject.facts ? kObSuccess : kObFailure;
  return subject.status;
}

bool CProcessInfo::LoadReported(Subject& subject) {
  if (!IsReported(subject)) {
    return false;
  }
  const ProcessKey key{subject.pid, start_time_};
  std::shared_ptr<const ProcessFacts> facts = services_.cache.Find(key);
  // A reported path that differs from the cached one is an exec the events have not yet told.
  if (!facts ||
      (!reported_path_.empty() && !facts->kernel_thread && facts->image_path != reported_path_)) {
    return false;
  }
  subject.key = key;
  subject.facts = std::move(facts);
  return true;
}

std::shared_ptr<const ProcessFacts> CProcessInfo::ReadFacts(std::uint32_t pid,
                                                            const orv::platform::ProcStat& stat) {
  auto facts = std::make_shared<ProcessFacts>();
  facts->command_name = stat.command_name;
  // Taken before the path: an exec in between leaves an identity that the next lookup rejects.
  std::tie(facts->image_device, facts->image_inode) = ImageIdentity(pid);
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

OB_STATUSCODE CProcessInfo::ImagePathOf(Subject& subject, std::wstring_view& path) {
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
  // The descriptor is checked against the image the facts describe: an exec since then is
  // hashed as its own image by a later lookup, never stored under this one.
  OBRuntime::UniqueFd image =
      OpenForHashing(OBRuntime::WideToUtf8(services_.queries.ImageFile(subject.pid)));
  struct stat opened {};
  OB_STATUSCODE status = kObNotFound;
  OBRuntime::Sha256Digest digest{};
  if (image.valid() && ::fstat(image.get(), &opened) == 0 &&
      static_cast<std::uint64_t>(opened.st_dev) == subject.facts->image_device &&
      static_cast<std::uint64_t>(opened.st_ino) == subject.facts->image_inode) {
    status = services_.hasher.HashOpenFile(std::move(image), subject.pid, digest);
  }
  if (status == kObMessageParked) {
    return status;
  }
  if (status != kObSuccess) {
    OB_LOG_LIMITED(LOG_DEBUG, "GetHashSHA256 error %d", status);
    return kObFailure;
  }
  std::copy(digest.begin(), digest.end(), buffer);
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
  const auto now = services_.clock();
  if (!subject.facts->has_user || now - subject.facts->user_checked >= kUserRecheckInterval) {
    const OB_STATUSCODE status = ResolveUser(subject, now);
    if (status != kObSuccess) {
      return status;
    }
  }
  account_type = subject.facts->account_type;
  return CopyAccountName(subject.facts->user_name, buffer, size);
}

OB_STATUSCODE CProcessInfo::ResolveUser(Subject& subject,
                                        std::chrono::steady_clock::time_point now) {
  orv::platform::ProcCredentials credentials;
  int os_error = 0;
  if (services_.queries.Credentials(subject.pid, credentials, os_error) != kObSuccess) {
    OB_LOG_LIMITED(LOG_DEBUG, "credentials of process %u unreadable: errno %d", subject.pid,
                   os_error);
    return kObFailure;
  }
  auto updated = std::make_shared<ProcessFacts>(*subject.facts);
  updated->user_checked = now;
  if (!updated->has_user || updated->effective_uid != credentials.effective_uid ||
      updated->groups != credentials.groups) {
    std::wstring name;
    const OB_STATUSCODE status =
        FormatAccountName(credentials.effective_uid, services_.accounts, name);
    if (status != kObSuccess) {
      return status;
    }
    updated->account_type =
        ComputeAccountType(credentials.effective_uid, credentials.groups, services_.accounts);
    updated->has_user = true;
    updated->effective_uid = credentials.effective_uid;
    updated->groups = std::move(credentials.groups);
    updated->user_name = std::move(name);
  }
  if (!StillSame(subject)) {
    return kObFailure;
  }
  Update(subject, std::move(updated));
  return kObSuccess;
}

std::pair<std::uint64_t, std::uint64_t> CProcessInfo::ImageIdentity(std::uint32_t pid) {
  struct stat info {};
  if (::stat(OBRuntime::WideToUtf8(services_.queries.ImageFile(pid)).c_str(), &info) != 0) {
    return {0, 0};
  }
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

bool CProcessInfo::StillSame(const Subject& subject) {
  orv::platform::ProcStat stat;
  int os_error = 0;
  if (services_.queries.Stat(subject.pid, stat, os_error) != kObSuccess ||
      stat.start_time != subject.key.start_time ||
      stat.command_name != subject.facts->command_name ||
      ImageIdentity(subject.pid) !=
          std::pair{subject.facts->image_device, subject.facts->image_inode}) {
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
