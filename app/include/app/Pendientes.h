#pragma once
// "vla --pendientes": the kept edits, from the record of tickets.

#include <ostream>

namespace app {

// Writes one line per kept edit (its ticket, state and path) to out. Returns
// the exit status: 0 when the record could be read (even with nothing kept),
// 1 otherwise.
int listarPendientes(std::ostream& out);

}  // namespace app
