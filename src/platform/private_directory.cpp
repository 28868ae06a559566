#include "platform/private_directory.h"

#include <sys/stat.h>

#include <cerrno>

namespace OBPlatform {
namespace {

// A directory made here gets exactly mode, whatever the umask (under UMask=0077 a parent would
// otherwise shut out the other modules that read below it); an existing one is left alone.
int MakeDirectory(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) == 0) {
    return ::chmod(path.c_str(), mode) == 0 ? 0 : errno;
  }
  struct stat info {};
  if (errno == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    return 0;
  }
  return errno == EEXIST ? ENOTDIR : errno;
}

}  // namespace

int CreatePrivateDirectory(const std::string& path) {
  if (path.empty()) {
    return ENOENT;
  }
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (const int error = MakeDirectory(path.substr(0, slash), 0755); error != 0) {
      return error;
    }
  }
  return MakeDirectory(path, 0700);
}

}  // namespace OBPlatform
