#pragma once
// The record of each ticket, kept in "$XDG_STATE_HOME/vla" (by default
// "~/.local/state/vla"): one small file per ticket, written atomically, that
// outlives the process. It tells a later vla (after a crash, a refusal or an
// uncertain upload) which file is this ticket's own edit, and tells the user
// where their work is (vla --pendientes).
//
// A record belongs to one ticket document: its server, ticket id, instance
// and folder name it (the file is named by their SHA-256, so its name has a
// fixed length whatever the ticket holds). It is read back as text from
// outside: bounded, every field checked, and used only when it names the
// ticket it is read for.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/PrivateFolder.h"

namespace app {

// Where a ticket stands. Each state is written before the step it guards.
enum class EstadoTicket {
  Descargando,  // the document is being downloaded to documentPath
  Descargado,   // the document was downloaded, not yet in its editor
  Editando,     // the document was given to its editor
  Subiendo,     // the upload was sent; its outcome is not known yet
  Confirmado,   // the server confirmed the upload; the local files are being removed
  Conservado,   // the edit is kept at keptPath (refused, unknown outcome, or the user chose so)
  Terminado,    // uploaded or deleted as intended; nothing of the user's is left
};

// "descargando", "descargado", "editando", "subiendo", "confirmado",
// "conservado", "terminado".
const char* nombreEstado(EstadoTicket estado);

struct RegistroTicket {
  std::string servidor;      // server base address (line 1)
  std::string ticket;        // ticket id (line 0)
  std::string instancia;     // instance id (line 3)
  std::string carpeta;       // the ticket document's folder, absolute and resolved
  std::string ticketPath;    // the ticket document, in carpeta
  std::string documentPath;  // where the document was downloaded, in carpeta
  std::uint64_t size = 0;    // of the download
  std::string downloadedAt;  // when, as the log shows dates
  std::string sha256;        // of the download, lower-case hex
  EstadoTicket estado = EstadoTicket::Descargando;
  std::string keptPath;   // where the edit is, when kept
  std::string motivo;     // why it was kept, for the user
  std::string updatedAt;  // when this record was last written
  // The file the record points at (keptPath, else documentPath) as it was
  // when the record was written: a file there is this ticket's only when it
  // is still that file (same device and inode) or holds the same bytes.
  std::optional<platform::FileIdentity> fichero;
};

// The name of the record of a ticket document: lower-case hex SHA-256 of its
// server, ticket id, instance and folder.
std::string claveRegistro(const std::string& servidor, const std::string& ticket, const std::string& instancia,
                          const std::string& carpeta);
std::string claveRegistro(const RegistroTicket& registro);

// The folder of the records: $XDG_STATE_HOME/vla, else $HOME/.local/state/vla,
// else under the home folder of the user's account; nothing when none of
// them is an absolute path (never a shared folder such as /tmp).
std::optional<std::string> carpetaRegistros();

// The records' folder, opened and checked (see platform::PrivateFolder); with
// crear, made (mode 0700) when missing. Without folder, problema says why (for
// the user); problema is empty when the folder is just not there yet.
struct CarpetaRegistros {
  std::unique_ptr<platform::PrivateFolder> carpeta;
  std::string ruta;
  std::string problema;
};
CarpetaRegistros abrirCarpetaRegistros(bool crear);

// Writes the record atomically (updatedAt set now). Nothing when it was
// written; otherwise why not, for the user.
std::optional<std::string> guardarRegistro(RegistroTicket registro);
// The record of this key, when there is one that can be read, checks out and
// is filed under the key its own fields give.
std::optional<RegistroTicket> leerRegistro(const std::string& clave);
// Every readable record, oldest first. Records of tickets that ended more
// than a week ago are removed on the way. problema, when given, says why the
// folder could not be read (empty when it is just not there).
std::vector<RegistroTicket> registros(std::string* problema = nullptr);

// The record as text (one "key=value" line each) and back; nothing when the
// text is not a sound record (unknown or repeated keys, a field too long or
// malformed, paths that are not absolute or not in the ticket's folder).
// Values have "\\", "\n" and "\r" escaped.
std::string textoRegistro(const RegistroTicket& registro);
std::optional<RegistroTicket> registroDeTexto(std::string_view text);

// The largest record read.
inline constexpr std::size_t kMaxRegistro = std::size_t{16} * 1024;

// For tests that stop vla at each step of a ticket's life: called with the
// step's name before and after each record is written and each local file is
// removed. None is installed in the application.
using PuntoDeControl = void (*)(const char* paso);
void fijarPuntoDeControl(PuntoDeControl punto);
void puntoDeControl(const char* paso);

}  // namespace app
