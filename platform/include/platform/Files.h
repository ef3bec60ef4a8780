#pragma once
// File operations. Paths are plain byte strings (UTF-8 by convention).

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Data.h"

namespace platform {

using Date = std::chrono::system_clock::time_point;

// The most that readFile() holds in memory by default.
inline constexpr std::size_t kMaxWholeFileBytes = std::size_t{64} * 1024 * 1024;

// Modification date of the file at path, with the file system's precision.
std::optional<Date> modificationDate(const std::string& path);
// True when both paths name regular files (never through a link at the end
// of either path) that hold the same bytes. The sizes are compared first; the
// contents, only when they match, a bounded block at a time, so the memory
// used does not grow with the files.
bool contentsEqual(const std::string& a, const std::string& b);
// Removes a file (or an empty folder). True when it is gone afterwards.
bool removeItem(const std::string& path);
// Moves a regular file to a path where nothing is, never replacing what is
// there. Across file systems the file is copied in bounded steps (in the
// kernel where it can, read and write otherwise) to a temporary file beside
// the destination, flushed, moved into place, and only then removed from
// where it was.
bool moveItem(const std::string& from, const std::string& to);
bool fileExists(const std::string& path);
// The whole file, or nothing when it cannot be read or holds more than
// maxBytes (a folder, a FIFO or a device is refused).
std::optional<Data> readFile(const std::string& path, std::size_t maxBytes = kMaxWholeFileBytes);
// Writes data to a temporary file in the same folder, flushes it, then
// renames it over path, so that readers never see a partial file.
bool writeAtomically(const std::string& path, const Data& data);
// The path with its folders resolved (symbolic links, "." and ".."), when
// the file exists; it names the same file whatever spelling the path had.
std::optional<std::string> absolutePath(const std::string& path);
// The last component of a path ("informe.vldoc" of "/u/informe.vldoc").
std::string lastPathComponent(const std::string& path);

// The home folder the system's account database gives this process's user,
// whatever HOME says; nothing when it gives none.
std::optional<std::string> accountHomeFolder();
// Makes the folder and any missing parents (new ones get mode); true when a
// folder (not a link to one) is there afterwards.
bool createFolder(const std::string& path, unsigned mode = 0755);
// The names in a folder, without "." and ".."; empty when it cannot be read.
std::vector<std::string> folderEntries(const std::string& path);
// "2026-12-06 21:30:00 +0000", as logs show dates.
std::string dateDescription(const Date& date);

// What is at a path, seen without following a symbolic link at its end.
enum class PathKind { Absent, Regular, SymbolicLink, Directory, Other, Unknown };
PathKind pathKind(const std::string& path);
// True when nothing is at path or a regular file is (never a link, a folder,
// a FIFO or a device): the only states in which a document path is usable.
bool isAbsentOrRegularFile(const std::string& path);

// Why a file could not be opened or read.
enum class OpenFailure { None, Missing, NotRegular, TooLarge, Unreadable };

// A file opened for reading, closed when destroyed. Opening never follows a
// symbolic link at the path's end and never blocks on a FIFO or device:
// anything that is not a regular file is refused.
class ReadableFile {
 public:
  // The file, or why it cannot be read.
  static std::pair<std::unique_ptr<ReadableFile>, OpenFailure> open(const std::string& path);
  ~ReadableFile();
  ReadableFile(const ReadableFile&) = delete;
  ReadableFile& operator=(const ReadableFile&) = delete;

  // The size when the file was opened.
  std::uint64_t size() const { return size_; }
  // Reads up to n bytes at the current position; 0 at the end; nothing on a
  // read error.
  std::optional<std::size_t> read(std::uint8_t* buffer, std::size_t n);
  // Reads up to n bytes at offset without moving the position.
  std::optional<std::size_t> readAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t n) const;

 private:
  friend class TemporaryFile;
  ReadableFile(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  int fd_;
  std::uint64_t size_;
};

// A whole regular file of at most maxBytes, read with that bound; data is set
// only when failure is None. errorNumber holds errno for Unreadable.
struct BoundedRead {
  std::optional<Data> data;
  OpenFailure failure = OpenFailure::None;
  int errorNumber = 0;
};
BoundedRead readRegularFile(const std::string& path, std::size_t maxBytes);

// Moves a file to a path where nothing is, in one step, never replacing what
// is there (renameat2 with RENAME_NOREPLACE; where the file system lacks it,
// a hard link then removal of the old name). Both paths must be on one file
// system: across two it fails with errno EXDEV, or tells DestinationExists
// when something is at the destination.
enum class MoveOutcome { Moved, DestinationExists, Failed };
MoveOutcome moveWithoutReplacing(const std::string& from, const std::string& to);

// A new file in the folder of a given path, created exclusively (O_EXCL,
// O_NOFOLLOW) with mode 0600 and a hidden random name; removed when
// destroyed unless it was moved into place with commit().
class TemporaryFile {
 public:
  // Nothing when it cannot be created; errorNumber holds errno then.
  static std::unique_ptr<TemporaryFile> createBeside(const std::string& path, int* errorNumber = nullptr);
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::string& path() const { return path_; }
  // Writes all bytes; on failure returns errno (ENOSPC or EDQUOT when the
  // disk is full), 0 on success.
  int write(const std::uint8_t* data, std::size_t n);
  // Appends what is left of file from its current position to its end, in
  // bounded steps; errno on failure (EIO when the file ended early), 0 on
  // success.
  int copyFrom(ReadableFile& file);
  // Flushes to disk, gives the file the mode new files get (0644 less the
  // umask), closes it and moves it to destination without replacing
  // anything there. Afterwards the object no longer removes it.
  MoveOutcome commit(const std::string& destination, int* errorNumber = nullptr);

 private:
  TemporaryFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
  bool committed_ = false;
};

}  // namespace platform
