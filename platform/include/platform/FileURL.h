#pragma once
// File URLs of local paths. Every component of the platform that turns a path
// into a URL or back goes through these two functions, so that a path with
// spaces, "%" or non-ASCII bytes gives the same text on both sides of a
// comparison.

#include <string>
#include <string_view>

namespace platform {

// "file://" followed by the path, each byte other than an unreserved
// character (A-Z a-z 0-9 - . _ ~) or "/" written as %XX (upper-case hex).
std::string fileURLForPath(std::string_view path);

// The path of a file URL: the text after "file://" (and after a host part
// "localhost", if any), with every %XX decoded. Text that does not start with
// "file://" is decoded as it stands; a "%" not followed by two hex digits is
// kept.
std::string pathForFileURL(std::string_view url);

}  // namespace platform
