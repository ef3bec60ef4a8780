#pragma once
// Runs a shell command for interoperability tests and collects its output.

#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>

namespace codectest {

struct CommandResult {
  int status = -1;  // exit status, -1 when it did not exit normally
  std::string output;
};

inline CommandResult runCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) result.output.append(buf, n);
  int raw = ::pclose(pipe);
  if (raw != -1 && WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
  return result;
}

}  // namespace codectest
