#pragma once
// The one thread on which every dialog runs (see Dialogs.h).

#include "platform/RunLoop.h"

namespace platform::detail {

// The dialog thread's loop, started at the first call. It runs for the rest
// of the process.
RunLoop& dialogLoop();

}  // namespace platform::detail
