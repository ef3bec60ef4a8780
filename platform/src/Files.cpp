#include "platform/Files.h"

#include "FileIo.h"
#include "UniqueFd.h"
#include "platform/PrivateFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <utility>

namespace platform {
namespace {

using Fd = detail::UniqueFd;

std::string folderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::optional<Date> modificationDate(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  auto since = std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
  return Date(std::chrono::duration_cast<Date::duration>(since));
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::optional<Data> readFile(const std::string& path, std::size_t maxBytes) {
  return readRegularFile(path, maxBytes).data;
}

bool createFolder(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !createFolder(path.substr(0, slash), mode)) return false;
  if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) return false;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> accountHomeFolder() {
  const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir) {
    return std::nullopt;
  }
  return std::string(found->pw_dir);
}

std::vector<std::string> folderEntries(const std::string& path) {
  return detail::entriesOf(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool removeItem(const std::string& path) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  // unlink() refuses folders with EISDIR on Linux and EPERM elsewhere.
  if (errno == EISDIR || errno == EPERM) return ::rmdir(path.c_str()) == 0;
  return false;
}

bool writeAtomically(const std::string& path, const Data& data) {
  const std::string folder = folderOf(path);
  std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  std::string temp;
  int raw = -1;
  for (int attempt = 0; attempt < 16 && raw < 0; ++attempt) {
    temp = folder;
    temp.append("/.").append(base).append(".tmp-").append(detail::randomSuffix());
    raw = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (raw < 0 && errno != EEXIST) return false;
  }
  if (raw < 0) return false;
  Fd fd(raw);
  // Keep the permissions of a file being replaced.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) ::fchmod(fd.get(), st.st_mode & 07777);
  if (!detail::writeAll(fd.get(), data.data(), data.size()) || ::fsync(fd.get()) != 0 || ::close(fd.release()) != 0 ||
      ::rename(temp.c_str(), path.c_str()) != 0) {
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

namespace platform {

namespace {

// The mode a new file gets from open(…, 0644): read from this process's
// status, as umask() itself can only be read by changing it.
mode_t newFileMode() {
  mode_t mask = 022;
  if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
      unsigned value = 0;
      if (std::sscanf(line, "Umask: %o", &value) == 1) {
        mask = static_cast<mode_t>(value);
        break;
      }
    }
    std::fclose(status);
  }
  return 0644 & ~mask;
}

OpenFailure failureFor(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return OpenFailure::Missing;
    case ELOOP:  // a symbolic link at the end of the path
    case ENXIO:  // a FIFO or socket without a peer
    case EISDIR: return OpenFailure::NotRegular;
    default: return OpenFailure::Unreadable;
  }
}

// Opens for reading without following a link and without blocking on a FIFO
// or a device, then checks that what was opened is a regular file.
std::pair<int, OpenFailure> openRegular(const std::string& path, struct stat& st) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return {-1, failureFor(errno)};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return {-1, OpenFailure::Unreadable};
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return {-1, OpenFailure::NotRegular};
  }
  // Reads of a regular file block as usual from here on.
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return {fd, OpenFailure::None};
}

}  // namespace

PathKind pathKind(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? PathKind::Absent : PathKind::Unknown;
  }
  if (S_ISREG(st.st_mode)) return PathKind::Regular;
  if (S_ISLNK(st.st_mode)) return PathKind::SymbolicLink;
  if (S_ISDIR(st.st_mode)) return PathKind::Directory;
  return PathKind::Other;
}

bool isAbsentOrRegularFile(const std::string& path) {
  PathKind kind = pathKind(path);
  return kind == PathKind::Absent || kind == PathKind::Regular;
}

std::pair<std::unique_ptr<ReadableFile>, OpenFailure> ReadableFile::open(const std::string& path) {
  struct stat st {};
  auto [fd, failure] = openRegular(path, st);
  if (fd < 0) return {nullptr, failure};
  return {std::unique_ptr<ReadableFile>(new ReadableFile(fd, static_cast<std::uint64_t>(st.st_size))),
          OpenFailure::None};
}

ReadableFile::~ReadableFile() { ::close(fd_); }

std::optional<std::size_t> ReadableFile::read(std::uint8_t* buffer, std::size_t n) {
  for (;;) {
    ssize_t r = ::read(fd_, buffer, n);
    if (r >= 0) return static_cast<std::size_t>(r);
    if (errno != EINTR) return std::nullopt;
  }
}

std::optional<std::size_t> ReadableFile::readAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t n) const {
  for (;;) {
    ssize_t r = ::pread(fd_, buffer, n, static_cast<off_t>(offset));
    if (r >= 0) return static_cast<std::size_t>(r);
    if (errno != EINTR) return std::nullopt;
  }
}

namespace detail {

BoundedRead readToBound(int fd, std::uint64_t sizeHint, std::size_t maxBytes) {
  BoundedRead result;
  // The size may change while reading: read at most one byte past the bound,
  // which tells a file that grew beyond it.
  Data data(static_cast<std::size_t>(std::min<std::uint64_t>(sizeHint, maxBytes)) + 1);
  std::size_t have = 0;
  for (;;) {
    if (have == data.size()) {
      if (data.size() > maxBytes) {
        result.failure = OpenFailure::TooLarge;
        return result;
      }
      data.resize(std::min(maxBytes + 1, data.size() * 2 + 1));
    }
    ssize_t r = ::read(fd, data.data() + have, data.size() - have);
    if (r < 0) {
      if (errno == EINTR) continue;
      result.failure = OpenFailure::Unreadable;
      result.errorNumber = errno;
      return result;
    }
    if (r == 0) break;
    have += static_cast<std::size_t>(r);
  }
  if (have > maxBytes) {
    result.failure = OpenFailure::TooLarge;
    return result;
  }
  data.resize(have);
  result.data = std::move(data);
  return result;
}

bool writeAll(int fd, const void* data, std::size_t n) {
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return false;
    if (w == 0) {
      errno = EIO;  // nothing written and no reason given
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

std::string randomSuffix() {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(rng()));
  return suffix;
}

std::vector<std::string> entriesOf(int folderFd) {
  std::vector<std::string> names;
  if (folderFd < 0) return names;
  DIR* dir = ::fdopendir(folderFd);
  if (!dir) {
    ::close(folderFd);
    return names;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

}  // namespace detail

BoundedRead readRegularFile(const std::string& path, std::size_t maxBytes) {
  BoundedRead result;
  struct stat st {};
  auto [raw, failure] = openRegular(path, st);
  if (raw < 0) {
    result.failure = failure;
    return result;
  }
  Fd fd(raw);
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
    result.failure = OpenFailure::TooLarge;
    return result;
  }
  return detail::readToBound(fd.get(), static_cast<std::uint64_t>(st.st_size), maxBytes);
}

namespace {

// Between file systems the kernel refuses a rename or a link before it looks
// at the destination: whether something is there is asked separately, so
// that the caller learns of it before copying anything. errno stays EXDEV.
MoveOutcome acrossFileSystems(const std::string& to) {
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) return MoveOutcome::DestinationExists;
  errno = EXDEV;
  return MoveOutcome::Failed;
}

}  // namespace

MoveOutcome moveWithoutReplacing(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return MoveOutcome::Moved;
  if (errno == EEXIST) return MoveOutcome::DestinationExists;
  if (errno == EXDEV) return acrossFileSystems(to);
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return MoveOutcome::Failed;
#endif
  // link() never replaces an existing name either.
  if (::link(from.c_str(), to.c_str()) != 0) {
    if (errno == EXDEV) return acrossFileSystems(to);
    return errno == EEXIST ? MoveOutcome::DestinationExists : MoveOutcome::Failed;
  }
  ::unlink(from.c_str());
  return MoveOutcome::Moved;
}

std::unique_ptr<TemporaryFile> TemporaryFile::createBeside(const std::string& path, int* errorNumber) {
  const std::string folder = folderOf(path);
  for (int attempt = 0; attempt < 16; ++attempt) {
    // The name stays within 255 bytes however long the document's is.
    std::string temp = folder + "/" + partialDownloadPrefix(path) + detail::randomSuffix();
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return std::unique_ptr<TemporaryFile>(new TemporaryFile(fd, std::move(temp)));
    if (errno != EEXIST) {
      if (errorNumber) *errorNumber = errno;
      return nullptr;
    }
  }
  if (errorNumber) *errorNumber = EEXIST;
  return nullptr;
}

TemporaryFile::~TemporaryFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(path_.c_str());
}

int TemporaryFile::write(const std::uint8_t* data, std::size_t n) {
  if (fd_ < 0) return EBADF;
  return detail::writeAll(fd_, data, n) ? 0 : errno;
}

MoveOutcome TemporaryFile::commit(const std::string& destination, int* errorNumber) {
  auto fail = [&](int error) {
    if (errorNumber) *errorNumber = error;
    return MoveOutcome::Failed;
  };
  if (fd_ < 0) return fail(EBADF);
  if (::fsync(fd_) != 0) return fail(errno);
  ::fchmod(fd_, newFileMode());
  int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0) return fail(errno);
  MoveOutcome outcome = moveWithoutReplacing(path_, destination);
  if (outcome == MoveOutcome::Moved) committed_ = true;
  if (outcome == MoveOutcome::Failed) return fail(errno);
  return outcome;
}

namespace {

constexpr std::size_t kBlockBytes = std::size_t{64} * 1024;

// Reads exactly n bytes at offset unless the file ends first; how many came.
std::optional<std::size_t> readFully(const ReadableFile& file, std::uint64_t offset, std::uint8_t* buffer,
                                     std::size_t n) {
  std::size_t have = 0;
  while (have < n) {
    std::optional<std::size_t> got = file.readAt(offset + have, buffer + have, n - have);
    if (!got) return std::nullopt;
    if (*got == 0) break;
    have += *got;
  }
  return have;
}

}  // namespace

bool contentsEqual(const std::string& a, const std::string& b) {
  auto fa = ReadableFile::open(a).first;
  if (!fa) return false;
  auto fb = ReadableFile::open(b).first;
  if (!fb || fa->size() != fb->size()) return false;
  std::vector<std::uint8_t> ba(kBlockBytes);
  std::vector<std::uint8_t> bb(kBlockBytes);
  for (std::uint64_t offset = 0;;) {
    std::optional<std::size_t> na = readFully(*fa, offset, ba.data(), ba.size());
    std::optional<std::size_t> nb = readFully(*fb, offset, bb.data(), bb.size());
    // A file that changed length while being read is not the same file.
    if (!na || !nb || *na != *nb) return false;
    if (*na == 0) return offset == fa->size();
    if (std::memcmp(ba.data(), bb.data(), *na) != 0) return false;
    offset += *na;
  }
}

int TemporaryFile::copyFrom(ReadableFile& file) {
  if (fd_ < 0) return EBADF;
  // In the kernel first: no copy through this process at all (and on file
  // systems that share extents, no copy of the data either).
  bool kernel = true;
  for (;;) {
    if (kernel) {
      ssize_t n = ::copy_file_range(file.fd_, nullptr, fd_, nullptr, 1 << 30, 0);
      if (n > 0) continue;
      if (n == 0) return 0;
      if (errno == EINTR) continue;
      // Not between these file systems or with this kernel: by hand. Nothing
      // was written by the failed call, so the positions are where they were.
      if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
        kernel = false;
        continue;
      }
      return errno;
    }
    std::vector<std::uint8_t> block(kBlockBytes);
    for (;;) {
      std::optional<std::size_t> got = file.read(block.data(), block.size());
      if (!got) return errno != 0 ? errno : EIO;
      if (*got == 0) return 0;
      if (!detail::writeAll(fd_, block.data(), *got)) return errno;
    }
  }
}

bool moveItem(const std::string& from, const std::string& to) {
  const MoveOutcome moved = moveWithoutReplacing(from, to);
  if (moved == MoveOutcome::Moved) return true;
  if (moved == MoveOutcome::DestinationExists || errno != EXDEV) return false;
  // Another file system: a copy that appears whole at the destination or
  // not at all, and the original removed only once the copy is in place.
  auto source = ReadableFile::open(from).first;
  if (!source) return false;
  std::unique_ptr<TemporaryFile> copy = TemporaryFile::createBeside(to);
  if (!copy || copy->copyFrom(*source) != 0) return false;
  struct stat st {};
  if (::lstat(copy->path().c_str(), &st) != 0 || static_cast<std::uint64_t>(st.st_size) != source->size()) {
    return false;
  }
  if (copy->commit(to) != MoveOutcome::Moved) return false;
  return ::unlink(from.c_str()) == 0;
}

}  // namespace platform
