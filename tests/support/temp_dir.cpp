#include "support/temp_dir.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace orv::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orv-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed for " + pattern);
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace orv::test
