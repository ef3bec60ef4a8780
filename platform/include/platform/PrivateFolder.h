#pragma once
// A folder that belongs to the user alone (the record of tickets lives in
// one), and what tells one file from another: its identity on disk and its
// SHA-256.
//
// The folder is opened once (never through a symbolic link) and checked on
// the descriptor: a folder, owned by the user, with no permission for group
// or others. Every later operation is relative to that descriptor, so the
// folder cannot be swapped for another one while it is used.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Data.h"
#include "platform/Files.h"

namespace platform {

class PrivateFolder {
 public:
  // Opens the folder at path (an absolute path), creating it and its missing
  // parents with mode 0700 when create is set. Nothing, with why in
  // *problem (Spanish, for the user), when it is not there (and create is not
  // set: *problem stays empty), cannot be made, is a link or not a folder,
  // belongs to someone else, or others may enter it.
  static std::unique_ptr<PrivateFolder> open(const std::string& path, bool create, std::string* problem);
  ~PrivateFolder();
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;

  const std::string& path() const { return path_; }
  // A regular file of the folder (never through a link), read with a bound.
  BoundedRead read(const std::string& name, std::size_t maxBytes) const;
  // Replaces the file name with data in one step (a temporary ".NAME.tmp-…"
  // beside it, flushed, renamed over it, the folder flushed). 0 on success,
  // else errno (ENOSPC when the disk is full, ENAMETOOLONG, ...).
  int writeAtomically(const std::string& name, const Data& data) const;
  bool remove(const std::string& name) const;
  // The names in the folder, without "." and "..".
  std::vector<std::string> entries() const;
  // The modification date of a regular file of the folder.
  std::optional<Date> modificationDate(const std::string& name) const;
  // Removes the temporaries a writer that was killed left behind (those
  // more than a minute old; younger ones may be a write in progress).
  void removeLeftTemporaries() const;

 private:
  PrivateFolder(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
};

// What tells a file apart: where it is on disk and what it holds.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  // When the file was made (nanoseconds since the epoch; 0 where the file
  // system does not say): a later file that reuses the inode differs here.
  std::uint64_t birth = 0;
  std::uint64_t size = 0;
  std::string sha256;  // lower-case hex
  // Last modification (nanoseconds since the epoch), to tell when sha256 is
  // still current without reading the file again; not kept in records.
  std::int64_t modified = 0;
};

// The identity of the regular file at path (never through a link), its
// contents read in pieces; nothing when it cannot be read.
// sameFile: the same file on disk (device, inode and birth), whatever it holds now.
bool sameFile(const FileIdentity& a, const FileIdentity& b);
// With known (an earlier identity of the same path): when the file is still
// that file, unmodified, its hash is taken from known instead of reading it.
std::optional<FileIdentity> identifyFile(const std::string& path, const FileIdentity* known = nullptr);
// The identity of the regular file at path without its hash (sha256 empty).
std::optional<FileIdentity> locateFile(const std::string& path);
// Lower-case hex SHA-256 of text.
std::string sha256Hex(std::string_view text);

// Removes, in the folder of path, the partial downloads a killed vla left
// for that path: regular files of this user named as TemporaryFile names
// them. Returns how many were removed.
int removePartialDownloads(const std::string& path);
// The name TemporaryFile gives its files beside path, up to the random part
// (".NAME.part-"), with NAME shortened so that the whole stays within the
// 255 bytes a file name may have.
std::string partialDownloadPrefix(const std::string& path);

}  // namespace platform
