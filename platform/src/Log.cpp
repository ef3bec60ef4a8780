#include "platform/Log.h"

#include <syslog.h>
#include <unistd.h>

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
  static LogState* s = new LogState();  // never destroyed: logging may happen at exit
  return *s;
}

std::atomic<bool> gToStandardError{true};

}  // namespace

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

void log(std::string_view rawLine) {
  const std::string line = limitLogLine(rawLine);
  LogState& s = state();
  std::lock_guard lock(s.mutex);
  if (!s.syslogOpen) {
    ::openlog("vla", LOG_PID, LOG_USER);
    s.syslogOpen = true;
  }
  ::syslog(LOG_NOTICE, "%s", line.c_str());
  if (gToStandardError.load(std::memory_order_relaxed)) {
    std::string withNewline = line;
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
