#pragma once
// "vla --pendientes": the kept edits, from the record of tickets.

#include <ostream>

namespace app {

// Writes every kept edit (each ticket whose record has not ended: its ticket,
// state, paths and reason) to out under a heading, or "No hay ediciones
// pendientes." when there is none. Returns the exit status, 0.
int listarPendientes(std::ostream& out);

}  // namespace app
