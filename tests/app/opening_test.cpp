// Opening a ticket: hostile tickets and paths, failed downloads, files vla did
// not make, kept edits reopened, and "vla --pendientes".
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "FlowFixture.h"
#include "app/Pendientes.h"

using namespace flowtest;

namespace {

class OpeningTest : public FlowTest {
 protected:
  // A record as vla writes it, for a ticket of the stand-in service issued in
  // the test's folder (or the given one); the file at the kept path, when
  // there is one, is recorded as the edit.
  static RegistroTicket planned(const std::string& server, const std::string& ticket, const std::string& folder,
                                const std::string& document, EstadoTicket estado, const std::string& kept = "",
                                const std::string& motivo = "") {
    RegistroTicket r;
    r.servidor = server, r.ticket = ticket, r.instancia = "7", r.carpeta = folder;
    r.ticketPath = folder + "/" +
                   platform::lastPathComponent(document).substr(0, platform::lastPathComponent(document).rfind('.')) +
                   ".vldoc";
    r.documentPath = document, r.estado = estado, r.keptPath = kept, r.motivo = motivo;
    r.sha256 = std::string(64, '0');
    if (estado != EstadoTicket::Terminado && estado != EstadoTicket::Descargando) {
      r.fichero = platform::identifyFile(kept.empty() ? document : kept);
    }
    return r;
  }
  bool record(const std::string& ticket, const std::string& document, EstadoTicket estado,
              const std::string& kept = "") {
    return !guardarRegistro(planned(service->baseURL(), ticket, folder(), document, estado, kept));
  }
  std::string ticketText(const std::string& id, const std::string& ext = "doc", const std::string& inst = "7") {
    return id + "\r\n" + service->baseURL() + "\r\n" + ext + "\r\n" + inst + "\r\n";
  }
};

// Hostile tickets and paths, a failed download, the expiry placeholder, no
// editor or no launch: nothing is opened or sent, the user is told why and the
// ticket stays; a file already at the document's path, or a link's target, stays.
TEST_F(OpeningTest, a_ticket_that_never_reaches_an_editor_tells_why_and_keeps_the_ticket) {
  using ticketservice::DownloadCut;
  const std::string outside = dir.write("fuera/secreto.doc", "secreto"), autostart = dir.file("autostart");
  ASSERT_TRUE(platform::createFolder(autostart));
  const std::string refused = "No se puede abrir el ticket.", download = "No se ha podido descargar el documento.",
                    cannot = "No se puede abrir el documento.";
  const auto fifo = [](const std::string& p) { EXPECT_EQ(mkfifo(p.c_str(), 0600), 0); };
  const auto link = [](const std::string& target, const std::string& at) {
    EXPECT_EQ(symlink(target.c_str(), at.c_str()), 0);
  };
  const auto rewrite = [&](const std::string& text) { dir.write(ticketPath.substr(dir.path().size() + 1), text); };
  struct Twist {
    bool mine = false;                     // a file of the user's is at the document's path already (it stays)
    std::string server = {};               // the ticket's server, when not the stand-in service
    bool placeholder = false;              // the expiry placeholder is downloaded beside the user's file
    std::function<void()> whileTold = {};  // runs while the alert is up; the editor was asked for the document
  };
  struct Case {
    std::string what;
    std::function<void()> prepare;  // after the ticket is issued
    std::string title, cause;       // the alert's (none: the editor gets the document); the ticket's path by default
    ticketservice::TransportBehaviour transport = {};
    Twist twist = {};
  };
  // A launch while the failure is told is not this ticket's.
  const auto lateLaunch = [&] { announceLaunch(4242, bundle + "/bin/editor", kEditorName); };
  const std::string status = "el servidor respondió con el estado ";
  // clang-format off
  const Case cases[] = {
      {"fifo", [&] { platform::removeItem(ticketPath), fifo(ticketPath); }, refused, ""},
      {"tipo ejecutable", [&] { rewrite(ticketText(ticketId, "desktop")); }, refused, ""},
      {"control en la instancia", [&] { rewrite(ticketText(ticketId, "doc", "7\x1b")); }, refused, ""},
      {"enlace en la ruta del documento", [&] { link(outside, localPath); }, refused, ""},
      {"fifo en la ruta del documento", [&] { fifo(localPath); }, refused, ""},
      // Only the ticket's own name gives the document's: a folder named
      // like a ticket, beside a link named like its document, changes nothing.
      {"carpeta/x.vldoc", [&] { link(autostart, dir.file("carpeta/x.doc")); }, "", ""},
      {"404", {}, download, status + "404", {404, DownloadCut::None, {}, ""}, {.mine = true}},
      {"500 tardío", {}, download, status + "500", {500, DownloadCut::None, std::chrono::milliseconds(1500), ""},
       {.mine = true}},
      {"incompleto", {}, download, "el documento llegó incompleto", {200, DownloadCut::WrongLength, {}, ""},
       {.mine = true}},
      {"sin servicio", {}, download, "", {}, {.mine = true, .server = "http://127.0.0.1:9"}},
      // A ticket the service does not know is served the placeholder.
      {"caducado", [&] { rewrite(ticketText("desconocido")); }, "El fichero vldoc está caducado.", "-", {},
       {.mine = true, .placeholder = true}},
      {"sin editor", [&] { desktop->editor.reset(); }, cannot, "documentos .doc", {}, {.mine = true}},
      {"sin lanzamiento", [&] { launches = false; }, cannot, "el editor de documentos .doc", {},
       {.whileTold = lateLaunch}}};
  // clang-format on
  desktop->probeHook = [](const std::string& p, int look) { return editorThatSaves(p, look, std::nullopt, 1); };
  for (const Case& c : cases) {
    const Twist& t = c.twist;
    SCOPED_TRACE(c.what);
    service->setTransportBehaviour(c.transport);
    issue("el documento del servidor", c.what + "/informe", t.server);
    if (t.mine) dir.write(c.what + "/informe.doc", "mío");
    if (c.prepare) c.prepare();
    const std::size_t downloads = service->downloads(), calls = service->calls().size();
    if (t.whileTold) dialogs->hold();
    open(ticketPath);
    if (t.whileTold) {
      ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return !dialogs->alerts().empty(); }));
      t.whileTold();
      dialogs->release();
    }
    // The download does not hold the main thread.
    EXPECT_TRUE(c.transport.downloadDelay.count() == 0 || dialogs->alerts().empty());
    runUntilAllEnded();
    const bool reached = c.title.empty() || t.whileTold;
    EXPECT_EQ(dialogs->titles(), c.title.empty() ? std::vector<std::string>() : std::vector<std::string>{c.title});
    EXPECT_TRUE(c.title.empty() || c.cause == "-" ||
                dialogs->alerts()[0].second.find(c.cause.empty() ? ticketPath : c.cause) != std::string::npos);
    EXPECT_EQ(opened, reached ? std::vector<std::string>{localPath} : std::vector<std::string>());
    EXPECT_EQ(log.count("fileP es " + localPath), c.title.empty() ? 1u : 0u);
    EXPECT_EQ(linesStarting("Se recibe una notificación ") > 0, c.title.empty());
    EXPECT_EQ(service->calls().size() - calls, c.title.empty() ? 1u : 0u);
    EXPECT_TRUE(c.title != refused || service->downloads() == downloads);
    EXPECT_EQ(platform::pathKind(ticketPath) != platform::PathKind::Absent, !c.title.empty());
    EXPECT_TRUE(testsupport::readText(outside) == "secreto" && platform::folderEntries(autostart).empty());
    EXPECT_TRUE(!t.mine || testsupport::readText(localPath) == "mío");
    if (c.title == download) {
      EXPECT_EQ(entries(dir.file(c.what)), (std::vector<std::string>{"informe.doc", "informe.vldoc"}));
    }
    if (t.placeholder) {
      EXPECT_EQ(testsupport::readText(dir.file(c.what + "/informe (2).doc")),
                testsupport::readText(platform::pathForResource("caducado.doc").value()));
    }
    desktop->editor = platform::ApplicationRef{bundle, kEditorName, "x.desktop"}, launches = true;
  }
  EXPECT_EQ(platform::Workspace::sharedWorkspace().notificationCenter().observerCount(), 0u);
  EXPECT_EQ(delegate->exitStatus(), 1);
  // The desktop's other requests are answered yes: vla quits once the last ticket has ended.
  EXPECT_TRUE(delegate->processFile(nullptr) && delegate->windowShouldClose(nullptr) &&
              delegate->applicationShouldTerminateAfterLastWindowClosed(platform::Application::sharedApplication()));
}

// A file vla did not make stays and the document goes beside it; a kept edit of
// this ticket is reopened where it is and uploaded even if not saved again,
// and one in a place the user chose is not removed afterwards.
TEST_F(OpeningTest, a_file_vla_did_not_make_stays_and_a_kept_edit_is_reopened) {
  struct Case {
    std::string what;
    std::optional<EstadoTicket> estado;  // of the record of this ticket (of another's when `another`)
    std::string at;                      // where the file already there is
    bool another = false;
  };
  const Case cases[] = {{"fichero del usuario", std::nullopt, "informe.doc"},
                        {"otro", EstadoTicket::Conservado, "informe.doc", true},
                        {"editando", EstadoTicket::Editando, "informe.doc"},
                        {"subiendo", EstadoTicket::Subiendo, "informe.doc"},
                        {"guardada en otra parte", EstadoTicket::Conservado, "copias/mi copia.doc"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    issue("el documento del servidor");
    const std::string there = dir.write(c.at, "mi edición"), beside = dir.file("informe (2).doc");
    const bool ours = c.estado && !c.another;
    if (c.estado) {
      ASSERT_TRUE(
          record(ours ? ticketId : "otro", folder() + "/informe.doc", *c.estado, there == localPath ? "" : there));
    }
    // The downloaded document is saved; a reopened edit is closed without saving again.
    const auto saved = ours ? std::nullopt : std::optional<std::string>("cambiado");
    desktop->probeHook = [&](const std::string& p, int look) { return editorThatSaves(p, look, saved); };
    const std::size_t downloads = service->downloads();
    runTicket(ticketPath);
    EXPECT_EQ(opened, std::vector<std::string>{ours ? there : beside});
    EXPECT_EQ(service->downloads(), downloads + (ours ? 0 : 1));
    EXPECT_EQ(operationFor(ticketId), "SubirFichero");
    EXPECT_EQ(callsFor(ticketId).at(0).file, bytesOf(saved.value_or("mi edición")));
    EXPECT_EQ(platform::fileExists(localPath), !ours);
    EXPECT_FALSE(platform::fileExists(ticketPath));
    if (ours) {
      // An edit kept in a place the user chose stays theirs once it is sent.
      EXPECT_TRUE(there == localPath || testsupport::readText(there) == "mi edición");
      EXPECT_TRUE(dialogs->alerts().empty());
      continue;
    }
    EXPECT_EQ(testsupport::readText(localPath), "mi edición");
    ASSERT_EQ(dialogs->titles(), std::vector<std::string>{"El documento se ha guardado con otro nombre."});
    const std::string told = dialogs->alerts()[0].second;
    EXPECT_TRUE(told.find(localPath + ",") != std::string::npos && told.find(beside + ".") != std::string::npos)
        << told;
  }
}

TEST_F(OpeningTest, pendientes_lists_every_edit_not_ended_with_where_it_is) {
  std::ostringstream none, out, err;
  EXPECT_TRUE(listarPendientes(none, err) == 0 && none.str() == "No hay ediciones pendientes.\n");
  const std::string s = "http://servidor";
  ASSERT_FALSE(guardarRegistro(planned(s, "T-0", "/u", "/u/hecho.doc", EstadoTicket::Terminado)));
  ASSERT_FALSE(guardarRegistro(planned(s, "T-1", "/u", "/u/a.doc", EstadoTicket::Conservado, "/u/copias/a.doc",
                                       "el servidor rechazó la subida\x1b]0;hola\x07")));
  ASSERT_FALSE(guardarRegistro(planned(s, "T-2", "/u/\x1b[2J", "/u/\x1b[2J/b.odt", EstadoTicket::Editando)));
  EXPECT_EQ(listarPendientes(out, err), 0);
  const std::string text = out.str();
  EXPECT_EQ(text.rfind("Ediciones pendientes:\n", 0), 0u);
  for (const char* shown : {"Ticket: T-1\n  Estado: conservado\n  Documento: /u/copias/a.doc\n"
                            "  Descargado en: /u/a.doc\n  Fichero vldoc: /u/a.vldoc\n"
                            "  Motivo: el servidor rechazó la subida\\x1b]0;hola\\x07\n",
                            "Ticket: T-2\n  Estado: editando\n  Documento: /u/\\x1b[2J/b.odt\n"
                            "  Fichero vldoc: /u/\\x1b[2J/b.vldoc\n"}) {
    EXPECT_NE(text.find(shown), std::string::npos) << text;
  }
  EXPECT_EQ(text.find("T-0"), std::string::npos) << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
}

}  // namespace
