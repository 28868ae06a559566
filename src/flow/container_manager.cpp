#include "flow/container_manager.h"

#include <mutex>

#include "flow/host_containers.h"
#include "flow/interpreter_container.h"
#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/utils.h"

namespace {

constexpr std::size_t kDigestSize = OBRuntime::CSha256HashManagerImpl::kDigestSize;

// Raw bytes of a 64-character hexadecimal digest; 32 zero bytes for anything else.
std::string DigestBytes(const std::string& hex) {
  std::string bytes(kDigestSize, '\0');
  if (hex.size() != 2 * kDigestSize) {
    return bytes;
  }
  const auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t index = 0; index < kDigestSize; ++index) {
    const int high = nibble(hex[2 * index]);
    const int low = nibble(hex[2 * index + 1]);
    if (high < 0 || low < 0) {
      return std::string(kDigestSize, '\0');
    }
    bytes[index] = static_cast<char>(high * 16 + low);
  }
  return bytes;
}

}  // namespace

std::wstring StripTrailingVersion(std::wstring_view name) {
  const std::size_t end = name.find_last_not_of(L"0123456789.");
  if (end == std::wstring_view::npos) {
    return std::wstring(name);
  }
  return std::wstring(name.substr(0, end + 1));
}

CContainerManager& CContainerManager::GetInstance() {
  static const std::unique_ptr<CContainerManager> instance = [] {
    auto manager =
        std::make_unique<CContainerManager>(OBRuntime::CSha256HashManagerImpl::AcquireInstance());
    manager->RegisterContainer(std::make_unique<CJavaContainer>());
    manager->RegisterContainer(std::make_unique<CInterpreterContainer>());
    return manager;
  }();
  return *instance;
}

CContainerManager::CContainerManager(OBRuntime::CSha256HashManagerImpl& hasher) : hasher_(hasher) {}

void CContainerManager::RegisterContainer(std::unique_ptr<IContainer>&& container) {
  if (!container) {
    OB_LOG_ERROR("null container not registered");
    return;
  }
  std::vector<std::wstring> paths;
  if (container->GetContainerPaths(paths) != kObSuccess) {
    OB_LOG_ERROR("container gave no identifying paths; not registered");
    return;
  }
  const std::unique_lock lock(mutex_);
  for (const std::wstring& path : paths) {
    const std::wstring key = LowerCaseAscii(path);
    auto [it, inserted] = by_path_.try_emplace(key, container.get());
    if (!inserted) {
      OB_LOG_WARN("%s container already exists. Overwriting the old entry\n",
                  OBRuntime::WideToUtf8(key).c_str());
      it->second = container.get();
    }
  }
  containers_.push_back(std::move(container));
}

IContainer* CContainerManager::Find(std::wstring_view image_path) const {
  const std::wstring path = LowerCaseAscii(image_path);
  if (const auto it = by_path_.find(path); it != by_path_.end()) {
    return it->second;
  }
  const std::wstring name = OBRuntime::Utils::GetFileNameFromPath(path);
  if (const auto it = by_path_.find(name); it != by_path_.end()) {
    return it->second;
  }
  if (const auto it = by_path_.find(StripTrailingVersion(name)); it != by_path_.end()) {
    return it->second;
  }
  return nullptr;
}

OB_STATUSCODE CContainerManager::GetContainer(std::wstring_view image_path,
                                              IContainer*& container) {
  const std::shared_lock lock(mutex_);
  container = Find(image_path);
  return container != nullptr ? kObSuccess : kObNotFound;
}

bool CContainerManager::IsContainer(std::wstring_view image_path) {
  const std::shared_lock lock(mutex_);
  return Find(image_path) != nullptr;
}

bool CContainerManager::NeedsCommandLine(std::wstring_view image_path) {
  const std::shared_lock lock(mutex_);
  const IContainer* container = Find(image_path);
  return container != nullptr && container->NeedsCommandLine();
}

OB_STATUSCODE CContainerManager::ResolveHostedModules(std::wstring_view image_path,
                                                      CProcessInfoSurrogateable& process,
                                                      const FieldExclusion& excluded,
                                                      HostedModules& modules) {
  IContainer* container = nullptr;
  if (GetContainer(image_path, container) != kObSuccess) {
    return kObNotFound;
  }
  std::vector<std::wstring> paths;
  const OB_STATUSCODE status = container->GetModulePathList(process, paths);
  if (status != kObSuccess && status != kObPartialFailure) {
    return status;
  }
  const auto is_excluded = [&excluded](std::uint32_t field) { return excluded && excluded(field); };
  if (!is_excluded(kFieldHostedModules) &&
      OBRuntime::Utils::GetFileNamesFromPaths(paths, modules.names) != kObSuccess) {
    modules.names.clear();
  }
  if (!is_excluded(kFieldHostedModuleHashes)) {
    HashModules(paths, process.GetProcessId(), modules.hashes);
  }
  return status;
}

void CContainerManager::HashModules(const std::vector<std::wstring>& paths, std::uint32_t pid,
                                    std::vector<std::string>& hashes) {
  std::vector<std::string> hex;
  if (hasher_.GetHashSHA256List(paths, hex, pid) != kObSuccess) {
    hex.assign(paths.size(), std::string());
  }
  hashes.clear();
  for (const std::string& digest : hex) {
    hashes.push_back(DigestBytes(digest));
  }
}
