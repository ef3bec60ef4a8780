#pragma once
// Environment variables that this process sets for its own GTK only. The
// programs it launches get the environment as it was, without them.

#include <string>
#include <vector>

namespace platform::detail {

// Sets name=value unless name is already set; remembers it when it did. Call
// on the main thread before other threads read the environment.
void setOwnEnvironmentVariable(const char* name, const char* value);
// The names set by setOwnEnvironmentVariable.
std::vector<std::string> ownEnvironmentVariables();

// Whether a session bus can be found without starting one: its address in
// the environment, or the user's bus socket in the runtime folder. GLib
// would otherwise try to launch a bus of its own.
bool sessionBusAdvertised();

}  // namespace platform::detail
