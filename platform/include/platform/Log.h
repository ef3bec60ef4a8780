#pragma once
// The system log. Every line goes to syslog (ident "vla") and to standard
// error, and to every sink installed with ScopedLogSink. The line is always
// data, never a format. Lines longer than kMaxLogLineBytes are cut there and
// end with a marker that says how many bytes were left out.

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

inline constexpr std::size_t kMaxLogLineBytes = 8192;

// Writes one log line. Thread-safe. Control characters and bytes that are
// not UTF-8 in it (text from the server or from file names) are written
// escaped, as escapeControlCharacters gives them, to every receiver (sinks
// included); a line feed that ends the line stays.
void log(std::string_view line);

// Text from outside made safe to show on a terminal, in the journal, in a
// dialog or a notice: C0 controls, DEL and the C1 range (U+0080 to U+009F)
// become "\xNN" (line feed, carriage return and tab "\n", "\r", "\t"), and a
// byte that is not part of valid UTF-8 becomes "\xNN". With keepLineFeeds, a
// line feed stays as it is (for the app's own multi-line alert texts).
std::string escapeControlCharacters(std::string_view text, bool keepLineFeeds = false);

// The ticket that the calling thread is working for, while it lives. log()
// attaches it to what it writes without changing the line: the system journal
// entry gets the fields VLA_TICKET and VLA_DOCUMENT (plain syslog, where there
// is no journal, gets "[ticket TICKET] " before the line), and standard error
// gets "DOCUMENT: " before it. Scopes nest; the innermost is in force. Sinks
// receive the line as the journal gets it.
class LogContext {
 public:
  LogContext(std::string ticket, std::string document);
  ~LogContext();
  LogContext(const LogContext&) = delete;
  LogContext& operator=(const LogContext&) = delete;

 private:
  const LogContext* outer_;
  std::string ticket_;
  std::string document_;
  friend void log(std::string_view line);
  friend std::pair<std::string, std::string> currentLogContext();
};

// The ticket and document of the innermost LogContext of the calling thread,
// to carry to another thread; empty strings without one.
std::pair<std::string, std::string> currentLogContext();

// Applies the length limit of log() to a line (exposed for tests).
std::string limitLogLine(std::string_view line);
// The same for a line of totalBytes that is known by its start only: line
// holds the whole line or at least its first kMaxLogLineBytes bytes. The
// result is what limitLogLine gives for the whole line.
std::string limitLogLine(std::string_view line, std::size_t totalBytes);

// Installs an extra receiver of log lines for its lifetime. Sinks nest; each
// line reaches every installed sink. Sinks may be called from any thread.
class ScopedLogSink {
 public:
  using Sink = std::function<void(std::string_view)>;
  explicit ScopedLogSink(Sink sink);
  ~ScopedLogSink();
  ScopedLogSink(const ScopedLogSink&) = delete;
  ScopedLogSink& operator=(const ScopedLogSink&) = delete;

 private:
  std::size_t id_;
};

// Collects every log line written while it lives. Thread-safe.
class LogCapture {
 public:
  LogCapture();
  std::vector<std::string> lines() const;
  bool contains(std::string_view line) const;
  std::size_t count(std::string_view line) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  ScopedLogSink sink_;
};

// Whether log lines also go to standard error (default: yes). Tests that
// produce many lines may turn this off.
void setLogToStandardError(bool enabled);
bool logsToStandardError();

}  // namespace platform
