#include "platform/Files.h"

#include "UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <random>
#include <utility>

namespace platform {
namespace {

using Fd = detail::UniqueFd;

bool writeAll(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

std::string folderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::optional<Date> modificationDate(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  auto since = std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
  return Date(std::chrono::duration_cast<Date::duration>(since));
}

bool fileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

std::optional<Data> readFile(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
  Data data;
  data.reserve(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0);
  std::uint8_t buf[65536];
  for (;;) {
    ssize_t r = ::read(fd.get(), buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (r == 0) break;
    data.insert(data.end(), buf, buf + r);
  }
  return data;
}

bool contentsEqual(const std::string& a, const std::string& b) {
  auto da = readFile(a);
  if (!da) return false;
  auto db = readFile(b);
  return db && *da == *db;
}

bool removeItem(const std::string& path) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  // unlink() refuses folders with EISDIR on Linux and EPERM elsewhere.
  if (errno == EISDIR || errno == EPERM) return ::rmdir(path.c_str()) == 0;
  return false;
}

bool moveItem(const std::string& from, const std::string& to) {
  if (fileExists(to)) return false;
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  auto data = readFile(from);
  if (!data || !writeAtomically(to, *data)) return false;
  return ::unlink(from.c_str()) == 0;
}

bool writeAtomically(const std::string& path, const Data& data) {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  const std::string folder = folderOf(path);
  std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  std::string temp;
  int raw = -1;
  for (int attempt = 0; attempt < 16 && raw < 0; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(rng()));
    temp = folder + "/." + base + ".tmp-" + suffix;
    raw = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (raw < 0 && errno != EEXIST) return false;
  }
  if (raw < 0) return false;
  Fd fd(raw);
  // Keep the permissions of a file being replaced.
  struct stat st{};
  if (::stat(path.c_str(), &st) == 0) ::fchmod(fd.get(), st.st_mode & 07777);
  if (!writeAll(fd.get(), data.data(), data.size()) || ::fsync(fd.get()) != 0 ||
      ::close(fd.release()) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

std::string dateDescription(const Date& date) {
  std::time_t t = std::chrono::system_clock::to_time_t(date);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
  return buf;
}

std::optional<std::string> absolutePath(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

std::string lastPathComponent(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace platform
