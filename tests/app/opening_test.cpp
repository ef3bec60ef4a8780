// Opening a ticket: hostile tickets and document paths, failed downloads,
// files vla did not make, kept edits reopened, and "vla --pendientes"
// (fixture in FlowFixture.h).
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "FlowFixture.h"
#include "app/Pendientes.h"
#include "app/TicketRecord.h"

using namespace flowtest;

namespace {

class OpeningTest : public FlowTest {
 protected:
  // Opens the ticket, remembering whether the editor was asked to open
  // anything, and runs it to its end.
  std::vector<std::string> runRecordingOpens(const std::string& path) {
    std::vector<std::string> opened;
    desktop->looks.clear();
    desktop->onOpen = [&](const std::string& p) {
      opened.push_back(p);
      announceLaunch(4242, bundle + "/bin/editor", kEditorName);
      return true;
    };
    runTicket(path);
    return opened;
  }
  static bool record(const std::string& ticket, const std::string& document, EstadoTicket estado,
                     const std::string& kept = "", const std::string& vldoc = "", const std::string& motivo = "") {
    RegistroTicket r;
    r.ticket = ticket, r.documentPath = document, r.estado = estado;
    r.keptPath = kept, r.ticketPath = vldoc, r.motivo = motivo;
    return guardarRegistro(r);
  }
  std::string ticketText(const std::string& id, const std::string& ext = "doc", const std::string& inst = "7") {
    return id + "\r\n" + service->baseURL() + "\r\n" + ext + "\r\n" + inst + "\r\n";
  }
};

TEST_F(OpeningTest, hostile_tickets_and_document_paths_open_nothing_and_keep_the_ticket) {
  const std::string outside = dir.write("fuera/secreto.doc", "secreto");
  const std::string autostart = dir.file("autostart");
  ASSERT_TRUE(platform::createFolder(autostart));
  struct Case {
    const char* what;
    std::function<std::string()> ticket;  // writes the ticket document, returns its path
    bool refused = true;
  };
  const std::vector<Case> cases = {
      {"fifo",
       [&] {
         const std::string p = dir.file("fifo.vldoc");
         EXPECT_EQ(mkfifo(p.c_str(), 0600), 0);
         return p;
       }},
      {"más de 64 KiB", [&] { return dir.write("grande.vldoc", ticketText(issue("x")) + std::string(70000, 'a')); }},
      {"tipo ejecutable", [&] { return dir.write("lanzador.vldoc", ticketText(issue("x"), "desktop")); }},
      {"control en el ticket", [&] { return dir.write("c.vldoc", ticketText(issue("x") + "\x01")); }},
      {"control en la instancia", [&] { return dir.write("c.vldoc", ticketText(issue("x"), "doc", "7\x1b")); }},
      {"enlace en la ruta del documento",
       [&] {
         issue("x");
         EXPECT_EQ(symlink(outside.c_str(), localPath.c_str()), 0);
         return ticketPath;
       }},
      {"fifo en la ruta del documento",
       [&] {
         issue("x");
         EXPECT_EQ(mkfifo(localPath.c_str(), 0600), 0);
         return ticketPath;
       }},
      // Only the ticket's own name gives the document's: a folder named
      // like a ticket, beside a link named like its document, changes nothing.
      {"carpeta x.vldoc",
       [&] {
         EXPECT_EQ(symlink(autostart.c_str(), dir.file("x.doc").c_str()), 0);
         const std::string id = service->issue(bytesOf("x"), "doc", "7", "i.doc");
         return dir.write("x.vldoc/informe.vldoc", ticketText(id));
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dialogs->clear();
    const std::size_t downloads = service->downloads();
    const std::size_t calls = service->calls().size();
    const std::string path = c.ticket();
    desktop->probes = {S::Held, S::Free, S::Free};
    const auto opened = runRecordingOpens(path);
    if (!c.refused) {
      EXPECT_TRUE(platform::folderEntries(autostart).empty());
      EXPECT_EQ(opened, std::vector<std::string>{dir.file("x.vldoc/informe.doc")});
      continue;
    }
    EXPECT_EQ(dialogs->titles(), std::vector<std::string>{"No se puede abrir el ticket."});
    EXPECT_NE(dialogs->alerts().at(0).second.find(path), std::string::npos);
    EXPECT_TRUE(opened.empty());
    EXPECT_EQ(service->downloads(), downloads);
    EXPECT_EQ(service->calls().size(), calls);
    EXPECT_NE(platform::pathKind(path), platform::PathKind::Absent);
    EXPECT_EQ(testsupport::readText(outside), "secreto");
    platform::removeItem(path);
    platform::removeItem(localPath);
  }
}

TEST_F(OpeningTest, a_failed_download_tells_its_cause_opens_and_sends_nothing_and_touches_no_file) {
  using ticketservice::DownloadCut;
  struct Case {
    ticketservice::TransportBehaviour transport;
    std::string cause;
  };
  for (const Case& c : {Case{{404, DownloadCut::None, {}, ""}, "el servidor respondió con el estado 404"},
                        Case{{500, DownloadCut::None, std::chrono::milliseconds(1500), ""},
                             "el servidor respondió con el estado 500"},
                        Case{{200, DownloadCut::WrongLength, {}, ""}, "el documento llegó incompleto"}}) {
    SCOPED_TRACE(c.cause);
    service->setTransportBehaviour(c.transport);
    dialogs->clear();
    issue("el documento del servidor");
    dir.write("informe.doc", "mío");
    bool opened = false;
    desktop->onOpen = [&](const std::string&) { return opened = true; };
    open(ticketPath);
    // The download does not hold the main thread.
    if (c.transport.downloadDelay.count() > 0) {
      EXPECT_TRUE(dialogs->alerts().empty());
    }
    runUntilAllEnded();
    ASSERT_EQ(dialogs->titles(), std::vector<std::string>{"No se ha podido descargar el documento."});
    EXPECT_NE(dialogs->alerts()[0].second.find(c.cause), std::string::npos);
    EXPECT_FALSE(opened);
    EXPECT_TRUE(service->calls().empty());
    EXPECT_EQ(testsupport::readText(localPath), "mío");
    auto left = platform::folderEntries(dir.path());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"informe.doc", "informe.vldoc"}));
    EXPECT_TRUE(platform::fileExists(ticketPath));
  }
}

TEST_F(OpeningTest, a_file_vla_did_not_make_stays_untouched_and_the_document_goes_beside_it) {
  for (bool otherTicketsEdit : {false, true}) {
    SCOPED_TRACE(otherTicketsEdit ? "edición de otro ticket" : "fichero del usuario");
    dialogs->clear();
    issue("original");
    dir.write("informe.doc", "mío");
    if (otherTicketsEdit) {
      ASSERT_TRUE(record("otro", localPath, EstadoTicket::Conservado));
    }
    const std::string beside = dir.file("informe (2).doc");
    desktop->probeHook = [&](const std::string& p, int look) { return editorThatSaves(p, look, "cambiado"); };
    EXPECT_EQ(runRecordingOpens(ticketPath), std::vector<std::string>{beside});
    EXPECT_EQ(testsupport::readText(localPath), "mío");
    ASSERT_EQ(dialogs->titles(), std::vector<std::string>{"El documento se ha guardado con otro nombre."});
    const std::string told = dialogs->alerts()[0].second;
    EXPECT_NE(told.find(localPath + ","), std::string::npos);
    EXPECT_NE(told.find(beside + "."), std::string::npos);
    const auto calls = callsFor(ticketId);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].file, bytesOf("cambiado"));
    platform::removeItem(localPath);
  }
}

TEST_F(OpeningTest, a_kept_edit_of_this_ticket_is_reopened_not_downloaded_and_uploaded_unsaved) {
  struct Case {
    EstadoTicket estado;
    bool savedElsewhere;
  };
  for (const Case& c : {Case{EstadoTicket::Editando, false}, Case{EstadoTicket::Subiendo, false},
                        Case{EstadoTicket::Conservado, true}}) {
    SCOPED_TRACE(nombreEstado(c.estado));
    issue("el documento del servidor");
    const std::string edit = c.savedElsewhere ? dir.write("copias/mi copia.doc", "mi edición")
                                              : dir.write("informe.doc", "mi edición");
    ASSERT_TRUE(record(ticketId, localPath, c.estado, c.savedElsewhere ? edit : "", ticketPath));
    // The editor is closed without saving again.
    desktop->probeHook = [&](const std::string& p, int look) { return editorThatSaves(p, look, std::nullopt); };
    const std::size_t downloads = service->downloads();
    EXPECT_EQ(runRecordingOpens(ticketPath), std::vector<std::string>{edit});
    EXPECT_EQ(service->downloads(), downloads);
    EXPECT_FALSE(c.savedElsewhere && platform::fileExists(localPath));
    const auto calls = callsFor(ticketId);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].operation, "SubirFichero");
    EXPECT_EQ(calls[0].file, bytesOf("mi edición"));
  }
  EXPECT_TRUE(dialogs->alerts().empty());
}

TEST_F(OpeningTest, pendientes_lists_every_edit_not_ended_with_where_it_is) {
  std::ostringstream none;
  EXPECT_EQ(listarPendientes(none), 0);
  EXPECT_EQ(none.str(), "No hay ediciones pendientes.\n");

  ASSERT_TRUE(record("T-0", "/u/hecho.doc", EstadoTicket::Terminado));
  ASSERT_TRUE(record("T-1", "/u/a.doc", EstadoTicket::Conservado, "/u/copias/a.doc", "/u/a.vldoc",
                     "el servidor rechazó la subida"));
  ASSERT_TRUE(record("T-2", "/u/b.odt", EstadoTicket::Editando, "", "/u/b.vldoc"));
  std::ostringstream out;
  EXPECT_EQ(listarPendientes(out), 0);
  const std::string text = out.str();
  EXPECT_EQ(text.rfind("Ediciones pendientes:\n", 0), 0u);
  for (const char* shown : {"Ticket: T-1\n  Estado: conservado\n  Documento: /u/copias/a.doc\n"
                            "  Descargado en: /u/a.doc\n  Fichero vldoc: /u/a.vldoc\n"
                            "  Motivo: el servidor rechazó la subida\n",
                            "Ticket: T-2\n  Estado: editando\n  Documento: /u/b.odt\n  Fichero vldoc: /u/b.vldoc\n"}) {
    EXPECT_NE(text.find(shown), std::string::npos) << text;
  }
  EXPECT_EQ(text.find("T-0"), std::string::npos) << text;
}

}  // namespace
