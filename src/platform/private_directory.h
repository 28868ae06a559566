// Creation of the agent's private directories: missing parents are made 0755, the directory
// itself 0700, whatever the umask; a directory that already exists is success and keeps its mode.
#pragma once

#include <string>

namespace OBPlatform {

// 0 on success (also when it existed), else the errno of the step that failed.
[[nodiscard]] int CreatePrivateDirectory(const std::string& path);

}  // namespace OBPlatform
