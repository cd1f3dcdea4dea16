#include "support/TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace testsupport {

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "mirel-test-XXXXXX").string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  _path = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(_path, ec);
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : ScopedEnv(name) {
  setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::ScopedEnv(const std::string& name) : _name(name) {
  if (const char* old = getenv(name.c_str())) {
    _had = true;
    _old = old;
  }
  unsetenv(name.c_str());
}

ScopedEnv::~ScopedEnv() {
  if (_had)
    setenv(_name.c_str(), _old.c_str(), 1);
  else
    unsetenv(_name.c_str());
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool fileExists(const std::string& path) { return fs::exists(path); }

}  // namespace testsupport
