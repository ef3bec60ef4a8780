#pragma once
// An error object: a domain, a numeric code and a user-info dictionary whose
// localized-description entry holds the message.

#include <map>
#include <string>

namespace platform {

inline constexpr char NSLocalizedDescriptionKey[] = "NSLocalizedDescription";
inline constexpr char NSFilePathErrorKey[] = "NSFilePath";

struct Error {
  std::string domain;
  long long code = 0;
  std::map<std::string, std::string> userInfo;

  // The localized-description entry, or "" when there is none.
  std::string localizedDescription() const;
  // "Error Domain=D Code=C \"message\"", as logs show it.
  std::string description() const;
};

}  // namespace platform
