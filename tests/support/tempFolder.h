#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <stdlib.h>

namespace gw::test {

// A fresh folder for one test, removed with everything in it afterwards.
class TTempFolder {
public:
  // A name of one length, so that the lines naming a file in it are of one length too (a test
  // of the headless program's output fills a pipe to within a line).
  TTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "gw-tmp-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("test: cannot make a temporary folder");
    path_ = pattern;
  }
  ~TTempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  static void Write(const std::filesystem::path& file, const std::string& content) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!(out << content).flush()) throw std::runtime_error("test: cannot write " + file.string());
  }
  static std::string Read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }

private:
  std::filesystem::path path_;
};

} // namespace gw::test
