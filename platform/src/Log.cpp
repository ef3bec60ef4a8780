#include "platform/Log.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include <algorithm>
#include <atomic>
#include <map>

namespace platform {
namespace {

struct LogState {
  std::mutex mutex;
  std::map<std::size_t, ScopedLogSink::Sink> sinks;
  std::size_t nextId = 1;
  bool syslogOpen = false;
};

LogState& state() {
  static auto* s = new LogState();  // never destroyed: logging may happen at exit
  return *s;
}

std::atomic<bool> gToStandardError{true};

thread_local const LogContext* tContext = nullptr;

// The journal's native socket: one datagram per entry, each field as
// NAME=value on a line, or, for values that hold a line feed, NAME, a line
// feed, the value's length as 64-bit little endian, the value and a line feed.
constexpr char kJournalSocket[] = "/run/systemd/journal/socket";

void addJournalField(std::string& entry, const char* name, std::string_view value) {
  entry += name;
  if (value.find('\n') == std::string_view::npos) {
    entry += '=';
    entry += value;
  } else {
    entry += '\n';
    std::uint64_t size = value.size();
    for (int i = 0; i < 8; ++i) entry += static_cast<char>((size >> (8 * i)) & 0xFF);
    entry += value;
  }
  entry += '\n';
}

// Sends the line with the ticket's fields to the journal; false when there is
// no journal to take it (the caller then uses syslog).
bool sendToJournal(std::string_view line, const std::string& ticket, const std::string& document) {
  static const int fd = [] {
    if (::access(kJournalSocket, W_OK) != 0) return -1;
    return ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  }();
  if (fd < 0) return false;
  std::string entry;
  addJournalField(entry, "MESSAGE", line);
  addJournalField(entry, "PRIORITY", "5");
  addJournalField(entry, "SYSLOG_IDENTIFIER", "vla");
  addJournalField(entry, "SYSLOG_PID", std::to_string(::getpid()));
  addJournalField(entry, "VLA_TICKET", escapeControlCharacters(ticket));
  addJournalField(entry, "VLA_DOCUMENT", escapeControlCharacters(document));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, kJournalSocket, sizeof kJournalSocket);
  return ::sendto(fd, entry.data(), entry.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
                  sizeof address) == static_cast<ssize_t>(entry.size());
}

}  // namespace

LogContext::LogContext(std::string ticket, std::string document)
    : outer_(tContext), ticket_(std::move(ticket)), document_(std::move(document)) {
  tContext = this;
}

LogContext::~LogContext() { tContext = outer_; }

std::pair<std::string, std::string> currentLogContext() {
  if (!tContext) return {};
  return {tContext->ticket_, tContext->document_};
}

std::string limitLogLine(std::string_view line) { return limitLogLine(line, line.size()); }

std::string limitLogLine(std::string_view line, std::size_t totalBytes) {
  if (totalBytes <= kMaxLogLineBytes) return std::string(line.substr(0, totalBytes));
  // Leave room for the marker, and never cut inside a UTF-8 sequence.
  constexpr std::size_t kMarkerRoom = 64;
  std::size_t keep = kMaxLogLineBytes - kMarkerRoom;
  while (keep > 0 && (static_cast<unsigned char>(line[keep]) & 0xC0) == 0x80) --keep;
  std::string out(line.substr(0, keep));
  out += " [... ";
  out += std::to_string(totalBytes - keep);
  out += " bytes left out]";
  return out;
}

namespace {

// Length of the valid UTF-8 sequence at text[i] (overlong forms, surrogates
// and code points past U+10FFFF are not valid); 0 when there is none.
std::size_t utf8Length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b = byte(i);
  std::size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
  if (n == 0 || i + n > text.size()) return 0;
  std::uint32_t cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

void appendHex(std::string& out, unsigned char b) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += "\\x";
  out += kDigits[b >> 4];
  out += kDigits[b & 0xF];
}

}  // namespace

std::string escapeControlCharacters(std::string_view text, bool keepLineFeeds) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const std::size_t n = utf8Length(text, i);
    if (n == 0) {
      appendHex(out, b);
      ++i;
    } else if (n == 2 && b == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      appendHex(out, b), appendHex(out, static_cast<unsigned char>(text[i + 1]));  // C1
      i += 2;
    } else if (n == 1 && (b < 0x20 || b == 0x7F)) {
      if (b == '\n' && keepLineFeeds) out += '\n';
      else if (b == '\n') out += "\\n";
      else if (b == '\r') out += "\\r";
      else if (b == '\t') out += "\\t";
      else appendHex(out, b);
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

void log(std::string_view rawLine) {
  // A line's own final line feed (some callers end their lines so) ends it
  // and nothing can follow it; any other control character is escaped.
  const bool ownEnd = !rawLine.empty() && rawLine.back() == '\n';
  if (ownEnd) rawLine.remove_suffix(1);
  const std::string line = limitLogLine(escapeControlCharacters(rawLine)) + (ownEnd ? "\n" : "");
  const LogContext* context = tContext;
  LogState& s = state();
  std::lock_guard lock(s.mutex);
  if (!context || !sendToJournal(line, context->ticket_, context->document_)) {
    if (!s.syslogOpen) {
      ::openlog("vla", LOG_PID, LOG_USER);
      s.syslogOpen = true;
    }
    if (context) {
      ::syslog(LOG_NOTICE, "[ticket %s] %s", escapeControlCharacters(context->ticket_).c_str(), line.c_str());
    } else {
      ::syslog(LOG_NOTICE, "%s", line.c_str());
    }
  }
  if (gToStandardError.load(std::memory_order_relaxed)) {
    std::string withNewline = context ? escapeControlCharacters(context->document_) + ": " + line : line;
    withNewline += '\n';
    // One write per line so that lines of several threads do not interleave.
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, withNewline.data(), withNewline.size());
  }
  for (auto& [id, sink] : s.sinks) sink(line);
}

void setLogToStandardError(bool enabled) { gToStandardError.store(enabled); }

bool logsToStandardError() { return gToStandardError.load(); }

ScopedLogSink::ScopedLogSink(Sink sink) {
  LogState& s = state();
  std::lock_guard lock(s.mutex);
  id_ = s.nextId++;
  s.sinks.emplace(id_, std::move(sink));
}

ScopedLogSink::~ScopedLogSink() {
  LogState& s = state();
  std::lock_guard lock(s.mutex);
  s.sinks.erase(id_);
}

LogCapture::LogCapture()
    : sink_([this](std::string_view line) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
      }) {}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool LogCapture::contains(std::string_view line) const { return count(line) > 0; }

std::size_t LogCapture::count(std::string_view line) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count(lines_.begin(), lines_.end(), line));
}

void LogCapture::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

}  // namespace platform
