#pragma once
// File operations. Paths are plain byte strings (UTF-8 by convention).

#include <chrono>
#include <optional>
#include <string>

#include "platform/Data.h"

namespace platform {

using Date = std::chrono::system_clock::time_point;

// Modification date of the file at path, with the file system's precision.
std::optional<Date> modificationDate(const std::string& path);
// True when both files can be read and hold the same bytes.
bool contentsEqual(const std::string& a, const std::string& b);
// Removes a file (or an empty folder). True when it is gone afterwards.
bool removeItem(const std::string& path);
// Moves a file; falls back to copy and remove across file systems. Fails when
// the destination exists.
bool moveItem(const std::string& from, const std::string& to);
bool fileExists(const std::string& path);
// The whole file, or nothing when it cannot be read.
std::optional<Data> readFile(const std::string& path);
// Writes data to a temporary file in the same folder, flushes it, then
// renames it over path, so that readers never see a partial file.
bool writeAtomically(const std::string& path, const Data& data);
// The path with its folders resolved (symbolic links, "." and ".."), when
// the file exists; it names the same file whatever spelling the path had.
std::optional<std::string> absolutePath(const std::string& path);
// The last component of a path ("informe.vldoc" of "/u/informe.vldoc").
std::string lastPathComponent(const std::string& path);
// "2026-12-06 21:30:00 +0000", as logs show dates.
std::string dateDescription(const Date& date);

}  // namespace platform
