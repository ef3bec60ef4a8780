#include "platform/PrivateFolder.h"

#include "FileIo.h"
#include "UniqueFd.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace platform {
namespace {

using Fd = detail::UniqueFd;

constexpr std::size_t kMaxName = 255;
constexpr char kTemporaryMark[] = ".tmp-";
constexpr char kPartMark[] = ".part-";
constexpr std::size_t kRandomDigits = 16;

// The first bytes of name, at most max, never cut inside a UTF-8 sequence.
std::string cutName(const std::string& name, std::size_t max) {
  if (name.size() <= max) return name;
  std::size_t keep = max;
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  return name.substr(0, keep);
}

std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool allHex(std::string_view s) { return s.find_first_not_of("0123456789abcdef") == std::string_view::npos; }

// Makes the missing folders of path, each with mode 0700.
void makeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = slash == std::string::npos ? path : path.substr(0, slash);
    if (!part.empty()) ::mkdir(part.c_str(), 0700);
    if (slash == std::string::npos) return;
  }
}

}  // namespace

std::unique_ptr<PrivateFolder> PrivateFolder::open(const std::string& path, bool create, std::string* problem) {
  auto fail = [&](std::string why) {
    if (problem) *problem = std::move(why);
    return nullptr;
  };
  if (path.empty() || path[0] != '/') return fail("la ruta «" + path + "» no es absoluta");
  if (create) makeFolders(path);
  Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    const int error = errno;
    if (error == ENOENT && !create) return fail("");
    struct stat st {};
    // O_NOFOLLOW with O_DIRECTORY reports a link as "not a folder".
    if (error == ELOOP || (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)))
      return fail("es un enlace simbólico");
    if (error == ENOTDIR) return fail("no es una carpeta");
    return fail(std::string("no se puede abrir: ") + std::strerror(error));
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail(std::string("no se puede examinar: ") + std::strerror(errno));
  if (!S_ISDIR(st.st_mode)) return fail("no es una carpeta");
  if (st.st_uid != ::geteuid()) return fail("pertenece a otro usuario (uid " + std::to_string(st.st_uid) + ")");
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return fail(std::string("otros usuarios pueden entrar en ella (permisos ") + mode + ")");
  }
  return std::unique_ptr<PrivateFolder>(new PrivateFolder(fd.release(), path));
}

PrivateFolder::~PrivateFolder() { ::close(fd_); }

BoundedRead PrivateFolder::read(const std::string& name, std::size_t maxBytes) const {
  BoundedRead result;
  Fd fd(::openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st {};
  if (fd.get() < 0) {
    result.failure = errno == ENOENT  ? OpenFailure::Missing
                     : errno == ELOOP ? OpenFailure::NotRegular
                                      : OpenFailure::Unreadable;
    result.errorNumber = errno;
    return result;
  }
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    result.failure = OpenFailure::NotRegular;
    return result;
  }
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
    result.failure = OpenFailure::TooLarge;
    return result;
  }
  return detail::readToBound(fd.get(), static_cast<std::uint64_t>(st.st_size), maxBytes);
}

int PrivateFolder::writeAtomically(const std::string& name, const Data& data) const {
  if (name.empty() || name.find('/') != std::string::npos) return EINVAL;
  const std::string prefix =
      "." + cutName(name, kMaxName - 1 - (sizeof kTemporaryMark - 1) - kRandomDigits) + kTemporaryMark;
  std::string temp;
  int raw = -1;
  for (int attempt = 0; attempt < 16 && raw < 0; ++attempt) {
    temp = prefix + detail::randomSuffix();
    raw = ::openat(fd_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (raw < 0 && errno != EEXIST) return errno;
  }
  if (raw < 0) return EEXIST;
  Fd fd(raw);
  int error = 0;
  if (!detail::writeAll(fd.get(), data.data(), data.size())) error = errno;
  if (error == 0 && ::fsync(fd.get()) != 0) error = errno;
  if (error == 0 && ::close(fd.release()) != 0) error = errno;
  if (error == 0 && ::renameat(fd_, temp.c_str(), fd_, name.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlinkat(fd_, temp.c_str(), 0);
    return error;
  }
  // The rename itself reaches the disk before the caller acts on it.
  ::fsync(fd_);
  return 0;
}

bool PrivateFolder::remove(const std::string& name) const {
  return ::unlinkat(fd_, name.c_str(), 0) == 0 || errno == ENOENT;
}

std::vector<std::string> PrivateFolder::entries() const {
  // Listed through a descriptor of its own: the listing moves its offset.
  return detail::entriesOf(::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::optional<Date> PrivateFolder::modificationDate(const std::string& name) const {
  struct stat st {};
  if (::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  auto since = std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
  return Date(std::chrono::duration_cast<Date::duration>(since));
}

void PrivateFolder::removeLeftTemporaries() const {
  for (const std::string& name : entries()) {
    const std::size_t mark = name.rfind(kTemporaryMark);
    if (name[0] != '.' || mark == std::string::npos) continue;
    const std::string_view random = std::string_view(name).substr(mark + sizeof kTemporaryMark - 1);
    if (random.size() != kRandomDigits || !allHex(random)) continue;
    struct stat st {};
    // A write takes moments: a temporary a minute old has no writer left,
    // while a younger one may be another process's write in progress.
    if (::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_mtime < std::time(nullptr) - 60) {
      ::unlinkat(fd_, name.c_str(), 0);
    }
  }
}

namespace {

// The identity of an open regular file, without its hash.
FileIdentity locate(int fd, const struct stat& st) {
  FileIdentity identity;
  identity.device = static_cast<std::uint64_t>(st.st_dev);
  identity.inode = static_cast<std::uint64_t>(st.st_ino);
  identity.size = static_cast<std::uint64_t>(st.st_size);
  identity.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  struct statx sx {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME) != 0) {
    identity.birth = static_cast<std::uint64_t>(sx.stx_btime.tv_sec) * 1000000000U + sx.stx_btime.tv_nsec;
  }
  return identity;
}

Fd openRegularFile(const std::string& path, struct stat& st) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Fd();
  return fd;
}

}  // namespace

std::optional<FileIdentity> locateFile(const std::string& path) {
  struct stat st {};
  Fd fd = openRegularFile(path, st);
  if (fd.get() < 0) return std::nullopt;
  return locate(fd.get(), st);
}

std::optional<FileIdentity> identifyFile(const std::string& path, const FileIdentity* known) {
  struct stat st {};
  Fd fd = openRegularFile(path, st);
  if (fd.get() < 0) return std::nullopt;
  FileIdentity identity = locate(fd.get(), st);
  if (known && !known->sha256.empty() && sameFile(identity, *known) && identity.size == known->size &&
      identity.modified == known->modified) {
    identity.sha256 = known->sha256;
    return identity;
  }
  GChecksum* checksum = g_checksum_new(G_CHECKSUM_SHA256);
  std::uint64_t size = 0;
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t r = ::read(fd.get(), buffer, sizeof buffer);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      g_checksum_free(checksum);
      return std::nullopt;
    }
    if (r == 0) break;
    g_checksum_update(checksum, buffer, r);
    size += static_cast<std::uint64_t>(r);
  }
  identity.size = size;
  identity.sha256 = g_checksum_get_string(checksum);
  g_checksum_free(checksum);
  return identity;
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.device == b.device && a.inode == b.inode && a.birth == b.birth;
}

std::string sha256Hex(std::string_view text) {
  gchar* hex =
      g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(text.data()), text.size());
  std::string out(hex);
  g_free(hex);
  return out;
}

std::string partialDownloadPrefix(const std::string& path) {
  const std::string name = lastPathComponent(path);
  return "." + cutName(name, kMaxName - 1 - (sizeof kPartMark - 1) - kRandomDigits) + kPartMark;
}

int removePartialDownloads(const std::string& path) {
  const std::string folder = folderOf(path);
  const std::string prefix = partialDownloadPrefix(path);
  Fd dirFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.get() < 0) return 0;
  int removed = 0;
  // Listed through the descriptor the removals go through: one folder.
  for (const std::string& name : detail::entriesOf(::openat(dirFd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))) {
    if (name.size() != prefix.size() + kRandomDigits || name.compare(0, prefix.size(), prefix) != 0) continue;
    if (!allHex(std::string_view(name).substr(prefix.size()))) continue;
    struct stat st {};
    // Made by this user with the temporary's own mode: a file of someone
    // else's that merely looks like one stays.
    if (::fstatat(dirFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid() || (st.st_mode & 07777) != 0600) {
      continue;
    }
    if (::unlinkat(dirFd.get(), name.c_str(), 0) == 0) ++removed;
  }
  return removed;
}

}  // namespace platform
