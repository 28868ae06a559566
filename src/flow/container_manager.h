// Finds the surrogate host container for a process image and resolves the modules it hosts into
// the file names and SHA-256 hashes a flow record carries.
//
// Containers are registered under their identifying paths and bare file names, lower-cased. An
// image path is looked up whole, then by its file name, then by its file name without a
// trailing version ("python3.11" -> "python", "perl5.36.0" -> "perl").
//
// The process-wide manager registers the containers that have a Linux counterpart: Java and the
// script interpreters. Every operation is safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/orv_flow_object.h"
#include "common/status.h"
#include "flow/container.h"
#include "flow/file_hasher.h"
// Answers whether the merged data collection policy excludes a field.
using FieldExclusion = std::function<bool(std::uint32_t field_id)>;

// What resolution gives a flow record.
struct HostedModules {
  std::vector<std::wstring> names;  // file names of the hosted modules
  // Their raw SHA-256 digests; 32 zero bytes when not hashed or not hashed yet.
  std::vector<std::string> hashes;
};

// name without trailing digits and dots, viewed in name; name itself when nothing else would
// remain.
[[nodiscard]] std::wstring_view StripTrailingVersion(std::wstring_view name);

class IContainerManager {
 public:
  virtual ~IContainerManager() = default;
  // Enters container under each of its identifying paths (lower-cased), replacing with a
  // warning any container already there; the manager owns it.
  virtual void RegisterContainer(std::unique_ptr<IContainer>&& container) = 0;
  // The container for image_path; kObNotFound when it is no surrogate host.
  [[nodiscard]] virtual OB_STATUSCODE GetContainer(std::wstring_view image_path,
                                                   IContainer*& container) = 0;
  [[nodiscard]] virtual bool IsContainer(std::wstring_view image_path) = 0;
  // Whether the container for image_path needs the host's command line (false for none).
  [[nodiscard]] virtual bool NeedsCommandLine(std::wstring_view image_path) = 0;
  // Resolves the modules of the host process whose image is image_path. kObNotFound when it is
  // no surrogate host; a container failure other than kObPartialFailure is returned and leaves
  // modules empty. Otherwise the names (unless excluded(12352)) and hashes (unless
  // excluded(12353)) are filled and the container's status (0 or kObPartialFailure) returned.
  [[nodiscard]] virtual OB_STATUSCODE ResolveHostedModules(std::wstring_view image_path,
                                                           CProcessInfoSurrogateable& process,
                                                           const FieldExclusion& excluded,
                                                           HostedModules& modules) = 0;
};

class CContainerManager : public IContainerManager {
 public:
  // The process-wide manager with the production containers, created on first use.
  static CContainerManager& GetInstance();

  // An empty manager hashing with hasher; module files are opened as their process sees them.
  explicit CContainerManager(IFileHasher& hasher);

  // IContainerManager
  void RegisterContainer(std::unique_ptr<IContainer>&& container) override;
  OB_STATUSCODE GetContainer(std::wstring_view image_path, IContainer*& container) override;
  bool IsContainer(std::wstring_view image_path) override;
  bool NeedsCommandLine(std::wstring_view image_path) override;
  OB_STATUSCODE ResolveHostedModules(std::wstring_view image_path,
                                     CProcessInfoSurrogateable& process,
                                     const FieldExclusion& excluded,
                                     HostedModules& modules) override;

 private:
  // The container for image_path or null; mutex_ held.
  [[nodiscard]] IContainer* Find(std::wstring_view image_path) const;
  void HashModules(const std::vector<std::wstring>& paths, CProcessInfoSurrogateable& process,
                   std::vector<std::string>& hashes);

  IFileHasher& hasher_;
  mutable std::shared_mutex mutex_;
  std::vector<std::unique_ptr<IContainer>> containers_;  // guarded by mutex_
  // Looked up by views, so the per-flow lookup builds no key strings.
  struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::wstring_view key) const noexcept {
      return std::hash<std::wstring_view>()(key);
    }
  };
  std::unordered_map<std::wstring, IContainer*, KeyHash, std::equal_to<>>
      by_path_;  // guarded by mutex_
};
