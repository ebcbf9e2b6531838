#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace kov::fuzz {

namespace {

class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "marnel-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    m_path = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

}  // namespace

std::string WriteScratchFile(std::string_view name, const std::uint8_t* data, std::size_t size) {
  static ScratchFolder folder;
  const std::string path = folder.Path() + "/" + std::string(name);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  // The harness, not the engine, failed: stop loudly rather than fuzz an empty file.
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  if (std::fclose(file) != 0) std::abort();
  return path;
}

}  // namespace kov::fuzz
