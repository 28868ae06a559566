// Surrogate host containers: generic host processes (service hosts, script interpreters, the Java
// launcher) whose flows are better described by the modules they run than by the host itself.
//
// An IContainer recognises one kind of host by its image paths or bare file names and finds the
// hosted modules of a running host through CProcessInfoSurrogateable. IRegistryReader is the
// seam over a Windows-style configuration registry that some kinds read; Linux has none, so those
// kinds are exercised with fakes and not registered in production.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "flow/process_info_surrogateable.h"

class IContainer {
 public:
  virtual ~IContainer() = default;
  // The paths of the modules this host runs. kObPartialFailure (-9986) when some were found but
  // not all sources could be read; any other failure means none were found.
  [[nodiscard]] virtual OB_STATUSCODE GetModulePathList(CProcessInfoSurrogateable& process,
                                                        std::vector<std::wstring>& paths) = 0;
  // The image paths or bare file names that identify this kind of host.
  [[nodiscard]] virtual OB_STATUSCODE GetContainerPaths(std::vector<std::wstring>& paths) = 0;
  // Whether resolution needs the host's command line.
  [[nodiscard]] virtual bool NeedsCommandLine() const = 0;
};

// Value types of the registry that the containers read.
enum RegistryValueType : std::uint32_t {
  kRegistryString = 1,        // REG_SZ
  kRegistryExpandString = 2,  // REG_EXPAND_SZ
  kRegistryDword = 4,         // REG_DWORD
  kRegistryMultiString = 7,   // REG_MULTI_SZ
};

enum class RegistryRoot { kLocalMachine, kClassesRoot };
enum class RegistryView { kDefault, k64Bit };

struct RegistryValue {
  std::uint32_t type = 0;
  // One text for string types, one per string for multi-strings; empty for other types.
  std::vector<std::wstring> strings;
};

class IRegistryReader {
 public:
  virtual ~IRegistryReader() = default;
  // Reads value_name (empty: the default value) under root\sub_key in view; a value larger than
  // max_bytes fails. kObNotFound when the key or value is absent.
  [[nodiscard]] virtual OB_STATUSCODE ReadValue(RegistryRoot root, std::wstring_view sub_key,
                                                std::wstring_view value_name, RegistryView view,
                                                std::uint32_t max_bytes, RegistryValue& value) = 0;
  // Expands %VARIABLE% references with the system's environment; fails when the result exceeds
  // max_characters.
  [[nodiscard]] virtual OB_STATUSCODE ExpandEnvironmentStrings(std::wstring_view text,
                                                               std::uint32_t max_characters,
                                                               std::wstring& expanded) = 0;
};
