#include "flow/container_manager.h"

#include <mutex>

#include "flow/host_containers.h"
#include "flow/interpreter_container.h"
#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/utils.h"

namespace {

constexpr std::size_t kDigestSize = 32;

}  // namespace

std::wstring_view StripTrailingVersion(std::wstring_view name) {
  const std::size_t end = name.find_last_not_of(L"0123456789.");
  return end == std::wstring_view::npos ? name : name.substr(0, end + 1);
}

CContainerManager& CContainerManager::GetInstance() {
  static const std::unique_ptr<CContainerManager> instance = [] {
    auto manager = std::make_unique<CContainerManager>(CFileHashWorker::Instance());
    manager->RegisterContainer(std::make_unique<CJavaContainer>());
    manager->RegisterContainer(std::make_unique<CInterpreterContainer>());
    return manager;
  }();
  return *instance;
}

CContainerManager::CContainerManager(IFileHasher& hasher) : hasher_(hasher) {}

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
  // Every flow asks: the lower-cased path goes into a buffer each thread keeps, not a new string.
  thread_local std::wstring lower;
  LowerCaseAscii(image_path, lower);
  const std::wstring_view path = lower;
  const std::wstring_view name = OBRuntime::Utils::FileNameOf(path);
  for (const std::wstring_view key : {path, name, StripTrailingVersion(name)}) {
    if (const auto it = by_path_.find(key); it != by_path_.end()) {
      return it->second;
    }
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
    HashModules(paths, process, modules.hashes);
  }
  return status;
}

void CContainerManager::HashModules(const std::vector<std::wstring>& paths,
                                    CProcessInfoSurrogateable& process,
                                    std::vector<std::string>& hashes) {
  hashes.clear();
  for (const std::wstring& path : paths) {
    OBRuntime::Sha256Digest digest{};
    const bool hashed =
        hasher_.HashOpenFile(process.OpenFile(path), process.GetProcessId(), digest) == kObSuccess;
    hashes.push_back(hashed ? std::string(digest.begin(), digest.end())
                            : std::string(kDigestSize, '\0'));
  }
}
