// Scratch folders and files for tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kov::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return m_path; }
  std::string Path(std::string_view name) const;
  // Writes content to the named file in the folder and returns its path.
  std::string Write(std::string_view name, std::string_view content) const;

 private:
  std::string m_path;
};

std::string ReadFile(const std::string& path);
std::vector<std::string> ReadLines(const std::string& path);

// A path in the 300-byte blank-padded field the engine's interface takes.
std::string PathField(const std::string& path);

}  // namespace kov::test
