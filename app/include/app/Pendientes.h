#pragma once
// "vla --pendientes": the kept edits, from the record of tickets.

#include <ostream>

namespace app {

// Writes every kept edit (each ticket whose record has not ended: its ticket,
// state, paths and reason, control characters escaped) to out under a
// heading, or "No hay ediciones pendientes." when there is none, and returns
// 0. When the records' folder cannot be used (not the user's, open to others,
// a link) says why on err and returns 1.
int listarPendientes(std::ostream& out, std::ostream& err);

}  // namespace app
