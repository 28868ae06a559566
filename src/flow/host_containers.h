// The Windows-style surrogate hosts (service host, DLL runner, COM surrogate) and the Java
// launcher.
//
// The first three find their modules from the host's command line, the registry and the host's
// loaded modules; they are written over IRegistryReader and CProcessInfoSurrogateable so that
// their algorithms can be run against fakes. The Java container needs neither: it reports the
// ".jar" files the launcher holds open, and it is registered in production.
//
// Containers keep no state between calls beyond their construction arguments; a container is
// safe from any thread as long as its registry reader is.
#pragma once

#include <string>
#include <vector>

#include "flow/container.h"

// Host paths are the system directory plus these, the second only on a 64-bit system.
class CSvcHostContainer : public IContainer {
 public:
  // The result is cut to this many modules.
  static constexpr std::size_t kMaxModules = 20;

  CSvcHostContainer(IRegistryReader& registry, std::wstring windows_directory, bool is_64bit_os);

  // IContainer
  OB_STATUSCODE GetModulePathList(CProcessInfoSurrogateable& process,
                                  std::vector<std::wstring>& paths) override;
  OB_STATUSCODE GetContainerPaths(std::vector<std::wstring>& paths) override;
  bool NeedsCommandLine() const override { return true; }

 private:
  // The service DLLs of the group's services; false when some could not be read.
  bool ReadServiceDlls(const std::vector<std::wstring>& services, RegistryView view,
                       std::vector<std::wstring>& dlls);

  IRegistryReader& registry_;
  const std::wstring windows_directory_;
  const bool is_64bit_os_;
};

class CRunDll32Container : public IContainer {
 public:
  CRunDll32Container(std::wstring windows_directory, bool is_64bit_os);

  // IContainer
  OB_STATUSCODE GetModulePathList(CProcessInfoSurrogateable& process,
                                  std::vector<std::wstring>& paths) override;
  OB_STATUSCODE GetContainerPaths(std::vector<std::wstring>& paths) override;
  bool NeedsCommandLine() const override { return true; }

 private:
  const std::wstring windows_directory_;
  const bool is_64bit_os_;
};

class CDllHostContainer : public IContainer {
 public:
  CDllHostContainer(IRegistryReader& registry, std::wstring windows_directory, bool is_64bit_os);

  // IContainer
  OB_STATUSCODE GetModulePathList(CProcessInfoSurrogateable& process,
                                  std::vector<std::wstring>& paths) override;
  OB_STATUSCODE GetContainerPaths(std::vector<std::wstring>& paths) override;
  bool NeedsCommandLine() const override { return true; }

 private:
  IRegistryReader& registry_;
  const std::wstring windows_directory_;
  const bool is_64bit_os_;
};

// Identified by the launcher's file name wherever it lives.
class CJavaContainer : public IContainer {
 public:
  // IContainer
  OB_STATUSCODE GetModulePathList(CProcessInfoSurrogateable& process,
                                  std::vector<std::wstring>& paths) override;
  OB_STATUSCODE GetContainerPaths(std::vector<std::wstring>& paths) override;
  bool NeedsCommandLine() const override { return false; }
};

// The text split at any of the delimiters, empty parts dropped.
[[nodiscard]] std::vector<std::wstring> SplitCommandLine(std::wstring_view text,
                                                         std::wstring_view delimiters);
