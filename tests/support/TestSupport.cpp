#include "testsupport/TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "platform/RunLoop.h"

namespace testsupport {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vla-test-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

std::string TempDir::write(const std::string& name, const std::string& contents) const {
  std::string p = file(name);
  std::filesystem::create_directories(std::filesystem::path(p).parent_path());
  std::ofstream(p, std::ios::binary) << contents;
  return p;
}

bool runMainLoopUntil(const std::function<bool()>& predicate, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  auto& loop = platform::RunLoop::main();
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return predicate();
    loop.pendingTasks() > 0 ? loop.drain() : std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void append(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::app | std::ios::binary) << text;
}

}  // namespace testsupport
