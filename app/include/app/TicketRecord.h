#pragma once
// The record of each ticket, kept in "$XDG_STATE_HOME/vla" (by default
// "~/.local/state/vla"): one small file per ticket, written atomically, that
// outlives the process. It tells a later vla (after a crash, a refusal or an
// uncertain upload) which file at a document path is this ticket's own edit,
// and tells the user where their work is (vla --pendientes).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace app {

// Where a ticket stands.
enum class EstadoTicket {
  Descargado,  // the document was downloaded, not yet in its editor
  Editando,    // the document is open in its editor
  Subiendo,    // the upload was sent; its outcome is not known yet
  Conservado,  // the edit is kept at keptPath (refused, unknown outcome, or the user chose so)
  Terminado,   // uploaded or deleted as intended; nothing of the user's is left
};

// "descargado", "editando", "subiendo", "conservado", "terminado".
const char* nombreEstado(EstadoTicket estado);

struct RegistroTicket {
  std::string ticket;        // ticket id (line 0)
  std::string instancia;     // instance id (line 3)
  std::string ticketPath;    // the ticket document
  std::string documentPath;  // where the document was downloaded
  std::uint64_t size = 0;    // of the download
  std::string downloadedAt;  // when, as the log shows dates
  std::string sha256;        // of the download, lower-case hex
  EstadoTicket estado = EstadoTicket::Descargado;
  std::string keptPath;      // where the edit is, when kept
  std::string motivo;        // why it was kept, for the user
  std::string updatedAt;     // when this record was last written
};

// The folder of the records (not created).
std::string carpetaRegistros();
// Writes the record atomically, creating the folder (mode 0700) when needed.
// False when it could not be written (the caller logs it; the ticket goes on).
bool guardarRegistro(RegistroTicket registro);
// The record of a ticket id, when there is one that can be read.
std::optional<RegistroTicket> leerRegistro(const std::string& ticket);
// Every readable record, oldest first. Records of tickets that ended more
// than a week ago are removed on the way.
std::vector<RegistroTicket> registros();
// The record whose kept edit or downloaded document is at this path and is
// not over (any state but Terminado).
std::optional<RegistroTicket> registroDeDocumento(const std::string& documentPath);

// The record as text (one "key=value" line each) and back; nothing when the
// text is not a record. Values have "\\", "\n" and "\r" escaped.
std::string textoRegistro(const RegistroTicket& registro);
std::optional<RegistroTicket> registroDeTexto(const std::string& text);

}  // namespace app
