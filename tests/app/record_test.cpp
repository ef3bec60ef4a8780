// The record of tickets as hostile input: the folder must be the user's,
// records planted, linked, oversized or filed under another ticket are not
// obeyed, a record that cannot be written stops the ticket, and a vla killed
// at any step of a ticket's life loses no edit and sends nothing unsaved.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "FlowFixture.h"
#include "app/Pendientes.h"
#include "platform/PrivateFolder.h"
#include "platform/Resources.h"
#include "platform/Signals.h"

using namespace flowtest;

namespace {

class RecordTest : public FlowTest {
 protected:
  std::string recordFile(const std::string& key) const { return dir.file("estado/vla/" + key + ".ticket"); }
  // A record of the ticket document informe.vldoc in the sub-folder (none:
  // the test's folder) of the stand-in service's ticket.
  RegistroTicket recordIn(const std::string& sub, const std::string& ticket) const {
    RegistroTicket r;
    r.servidor = service->baseURL(), r.ticket = ticket, r.instancia = "7", r.carpeta = folder(sub);
    r.ticketPath = r.carpeta + "/informe.vldoc", r.documentPath = r.carpeta + "/informe.doc";
    return r;
  }
  // The ticket handling in a process of its own (see crash_child.cpp), its
  // log in steps + ".log".
  pid_t startChild(const std::string& ticket, const std::string& mode, long killAt, const std::string& steps) {
    const pid_t pid = spawn({VLA_PRUEBA_CORTES, ticket, mode},
                            {"XDG_STATE_HOME=" + dir.file("estado"), "HOME=" + dir.path(), "VLA_PRUEBA_PASOS=" + steps,
                             "VLA_PRUEBA_MATAR_EN=" + std::to_string(killAt)},
                            steps + ".log");
    EXPECT_GT(pid, 0);
    return pid;
  }
};

// The records' folder is used only when it is a folder of this user that no
// one else may enter; otherwise no ticket starts and the user is told why.
TEST_F(RecordTest, a_records_folder_that_is_not_the_users_alone_stops_every_ticket) {
  const std::string state = dir.file("estado");
  struct Case {
    std::string what;
    std::function<void()> prepare;  // makes what is at state/vla
    std::string told;               // in the alert; empty: the folder is fine
  };
  const Case cases[] = {
      {"ausente", [] {}, ""},
      {"abierta a todos", [&] { mkdir((state + "/vla").c_str(), 0777), chmod((state + "/vla").c_str(), 0777); },
       "otros usuarios pueden entrar en ella (permisos 0777)"},
      {"de otro usuario",
       [&] {
         mkdir((state + "/vla").c_str(), 0700);
         ASSERT_EQ(chown((state + "/vla").c_str(), 65534, 65534), 0);
       },
       "pertenece a otro usuario (uid 65534)"},
      {"enlace",
       [&] {
         mkdir(dir.file("real").c_str(), 0700);
         ASSERT_EQ(symlink(dir.file("real").c_str(), (state + "/vla").c_str()), 0);
       },
       "es un enlace simbólico"},
      {"fichero", [&] { dir.write("estado/vla", "x"); }, "no es una carpeta"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(state);
    std::filesystem::remove_all(dir.file("real"));
    ASSERT_TRUE(platform::createFolder(state, 0700));
    c.prepare();
    issue("el documento del servidor", c.what + "/informe");
    desktop->probeHook = [](const std::string& p, int look) { return editorThatSaves(p, look, "cambiado", 1); };
    const std::size_t downloads = service->downloads();
    runTicket(ticketPath);
    if (c.told.empty()) {
      struct stat st {};
      EXPECT_TRUE(lstat((state + "/vla").c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 07777) == 0700);
      EXPECT_EQ(operationFor(ticketId), "SubirFichero");
      continue;
    }
    ASSERT_EQ(dialogs->titles(), std::vector<std::string>{"No se puede abrir el ticket."});
    EXPECT_NE(dialogs->alerts()[0].second.find(c.told), std::string::npos) << dialogs->alerts()[0].second;
    EXPECT_EQ(service->downloads(), downloads);
    EXPECT_TRUE(platform::fileExists(ticketPath) && !platform::fileExists(localPath));
    EXPECT_TRUE(!std::filesystem::exists(dir.file("real")) || std::filesystem::is_empty(dir.file("real")));
  }
  EXPECT_EQ(delegate->exitStatus(), 1);
  std::ostringstream out, err;
  EXPECT_EQ(listarPendientes(out, err), 1);
  EXPECT_NE(err.str().find("no es una carpeta"), std::string::npos);

  // Without HOME or XDG_STATE_HOME the account's home folder is used, never /tmp.
  const std::optional<std::string> home =
      std::getenv("HOME") ? std::optional<std::string>(std::getenv("HOME")) : std::nullopt;
  unsetenv("HOME"), setenv("XDG_STATE_HOME", "relativa", 1);
  const std::optional<std::string> where = carpetaRegistros();
  home ? setenv("HOME", home->c_str(), 1) : unsetenv("HOME");
  ASSERT_TRUE(where);
  EXPECT_TRUE(where->starts_with("/") && !where->starts_with("/tmp") && where->ends_with("/.local/state/vla"))
      << *where;
}

// What a ticket finds in the records' folder is used only when it is a sound
// record of this very ticket document whose file is the one vla recorded;
// anything else is left untouched and never uploaded or removed.
TEST_F(RecordTest, planted_foreign_linked_and_oversized_records_are_not_obeyed) {
  const std::string secret = dir.write("Documentos/secreto.doc", "secreto");
  // How the record reaches the records' folder: written by vla under its own
  // key, moved to this ticket's key, linked there from elsewhere, or too large.
  enum class Plant { Written, UnderThisKey, Linked, Oversized };
  struct Case {
    std::string what;
    std::string text;                        // of the file the record keeps (none: the secret, its identity made up)
    std::string opened = "informe (2).doc";  // file name opened in the editor
    Plant plant = Plant::Written;
    std::function<void(RegistroTicket&)> moved = {};  // makes it another ticket document's record
    std::function<void(RegistroTicket&)> twist = {};  // once the file's identity is in the record
  };
  // clang-format off
  const Case cases[] = {
      {"conservado en un fichero cualquiera", "", "informe.doc"},
      {"otro servidor, otra carpeta", "edición para A", "informe.doc", Plant::Written,
       [&](auto& r) { r = recordIn("A", r.ticket), r.servidor = "http://127.0.0.1:9"; }},
      {"el mismo ticket en otra carpeta", "edición en A", "informe.doc", Plant::Written,
       [&](auto& r) { r = recordIn("A", r.ticket); }},
      {"registro de otro ticket con este nombre", "edición de otro", "informe (2).doc", Plant::UnderThisKey,
       [](auto& r) { r.ticket = "otro"; }},
      {"enlace al registro", "edición", "informe (2).doc", Plant::Linked},
      {"demasiado grande", "edición", "informe (2).doc", Plant::Oversized},
      {"fichero cambiado por otro", "lo que había", "informe (2).doc", Plant::Written, {},
       [&](auto& r) { std::filesystem::rename(dir.write("otro.tmp", "puesto por otro"), r.documentPath); }},
      {"otro fichero en el mismo inodo", "lo que había", "informe (2).doc", Plant::Written, {},
       [](auto& r) {
         r.fichero->birth += 1;  // as a later file that reused the inode would be
         std::ofstream(r.documentPath) << "otro contenido";
       }},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(dir.file("estado"));
    for (const char* f : {"informe.doc", "informe (2).doc", "A/informe.doc"}) platform::removeItem(dir.file(f));
    issue("el documento del servidor");
    ASSERT_TRUE(platform::createFolder(dir.file("estado/vla"), 0700));
    const RegistroTicket own = recordIn("", ticketId);
    const std::string key = claveRegistro(own);
    RegistroTicket planted = own;
    if (c.moved) c.moved(planted);
    const std::string& document = planted.documentPath;
    planted.estado = EstadoTicket::Conservado, planted.sha256 = std::string(64, 'a');
    planted.keptPath = c.text.empty() ? secret : document;
    planted.fichero = c.text.empty() ? platform::FileIdentity{1, 2, 3, 7, std::string(64, 'b')}
                                     : platform::identifyFile(dir.write(document.substr(folder().size() + 1), c.text));
    if (c.twist) c.twist(planted);
    if (c.plant == Plant::Linked) {
      dir.write("fuera.ticket", textoRegistro(planted));
      ASSERT_EQ(symlink(dir.file("fuera.ticket").c_str(), recordFile(key).c_str()), 0);
    } else if (c.plant == Plant::Oversized) {
      dir.write("estado/vla/" + key + ".ticket",
                textoRegistro(planted) + "motivo=" + std::string(kMaxRegistro, 'x') + "\n");
    } else {
      ASSERT_FALSE(guardarRegistro(planted));
      if (c.plant == Plant::UnderThisKey) std::filesystem::rename(recordFile(claveRegistro(planted)), recordFile(key));
    }
    std::map<std::string, std::string> before;
    for (const auto& f : std::filesystem::recursive_directory_iterator(dir.path())) {
      if (f.is_regular_file() && f.path().filename() != "informe.vldoc" &&
          f.path().string().find("/estado/") == std::string::npos) {
        before[f.path()] = testsupport::readText(f.path());
      }
    }
    // Another ticket's record stays as it was.
    std::map<std::string, std::string> others;
    for (const auto& r : registros()) {
      if (claveRegistro(r) != key) others[claveRegistro(r)] = nombreEstado(r.estado) + r.keptPath;
    }
    desktop->probeHook = [](const std::string& p, int look) { return editorThatSaves(p, look, "cambiado", 1); };
    runTicket(ticketPath);
    for (const auto& r : registros()) {
      if (others.count(claveRegistro(r))) {
        EXPECT_EQ(others[claveRegistro(r)], nombreEstado(r.estado) + r.keptPath);
      }
    }
    EXPECT_EQ(opened, std::vector<std::string>{folder(c.opened)});
    ASSERT_EQ(callsFor(ticketId).size(), 1u);
    EXPECT_EQ(callsFor(ticketId)[0].file, bytesOf("cambiado"));
    // Whatever was there before is there still, as it was.
    for (const auto& [path, text] : before) EXPECT_EQ(testsupport::readText(path), text) << path;
  }
}

// A record that cannot be written stops the ticket before anything is
// downloaded; partial downloads and record temporaries a killed vla left are
// removed, and its complete download is taken for what it is.
TEST_F(RecordTest, an_unwritable_record_stops_the_ticket_and_leftovers_are_cleared) {
  issue("el documento del servidor");
  RegistroTicket r = recordIn("", ticketId);  // killed while downloading
  const std::string key = claveRegistro(r);
  ASSERT_TRUE(platform::createFolder(dir.file("estado/vla"), 0700));
  dir.write("estado/vla/" + key + ".ticket/bloquea", "");  // a folder where the record goes
  runTicket(ticketPath);
  ASSERT_EQ(dialogs->titles(), std::vector<std::string>{"No se puede abrir el ticket."});
  EXPECT_NE(dialogs->alerts()[0].second.find("No se ha podido anotar el ticket"), std::string::npos)
      << dialogs->alerts()[0].second;
  EXPECT_TRUE(service->downloads() == 0 && platform::fileExists(ticketPath) && !platform::fileExists(localPath));
  EXPECT_EQ(delegate->exitStatus(), 1);
  std::filesystem::remove_all(dir.file("estado/vla/" + key + ".ticket"));

  // Killed after the download was in place, before the record said so.
  ASSERT_EQ(guardarRegistro(r), std::nullopt);
  dir.write("informe.doc", "el documento del servidor");
  const std::string part = dir.write("." + std::string(200, 'n') + ".doc.part-0123456789abcdef", "a medias");
  const std::string ours = dir.write(".informe.doc.part-0123456789abcdef", "a medias");
  const std::string theirs = dir.write(".informe.doc.part-fedcba9876543210", "de otro");
  chmod(ours.c_str(), 0600), chmod(theirs.c_str(), 0644);
  const std::string temporary = dir.write("estado/vla/." + key + ".ticket.tmp-0123456789abcdef", "a medias");
  std::filesystem::last_write_time(temporary, std::filesystem::file_time_type::clock::now() - std::chrono::minutes(5));
  desktop->probeHook = [](const std::string& p, int look) { return editorThatSaves(p, look, "cambiado", 1); };
  runTicket(ticketPath);
  EXPECT_EQ(opened, std::vector<std::string>{folder("informe.doc")});
  EXPECT_EQ(callsFor(ticketId).at(0).file, bytesOf("cambiado"));
  EXPECT_FALSE(platform::fileExists(ours) || platform::fileExists(temporary) ||
               platform::fileExists(dir.file("informe (2).doc")));
  EXPECT_TRUE(platform::fileExists(theirs) && platform::fileExists(part));  // not this ticket's, or not ours
  // The same beside a file that is not this ticket's: its own "(2)" is taken again.
  issue("el documento del servidor", "beside/informe");
  dir.write("beside/informe.doc", "del usuario");
  r = recordIn("beside", ticketId), r.documentPath = folder("beside/informe (2).doc");
  ASSERT_EQ(guardarRegistro(r), std::nullopt);
  dir.write("beside/informe (2).doc", "el documento del servidor");
  runTicket(ticketPath);
  EXPECT_EQ(opened, std::vector<std::string>{folder("beside/informe (2).doc")});
  EXPECT_EQ(entries(dir.file("beside")), std::vector<std::string>{"informe.doc"});
  EXPECT_EQ(testsupport::readText(dir.file("beside/informe.doc")), "del usuario");
  // Killed while the deletion of an unchanged ticket was on its way, and it
  // had reached the server: the unchanged download left behind goes, and the
  // server's notice that the ticket is gone comes in its place, not beside it.
  issue("el documento del servidor", "ended/informe");
  const std::string gone = ticketId + "-borrado";
  std::string text = testsupport::readText(ticketPath);
  text.replace(text.find(ticketId), ticketId.size(), gone);
  dir.write("ended/informe.vldoc", text);
  const std::string left = dir.write("ended/informe.doc", "el documento del servidor");
  r = recordIn("ended", gone), r.documentPath = left, r.estado = EstadoTicket::Terminado;
  r.size = platform::identifyFile(left)->size, r.sha256 = platform::identifyFile(left)->sha256;
  ASSERT_EQ(guardarRegistro(r), std::nullopt);
  runTicket(ticketPath);
  EXPECT_EQ(entries(dir.file("ended")), (std::vector<std::string>{"informe.doc", "informe.vldoc"}));
  EXPECT_EQ(testsupport::readText(left), testsupport::readText(platform::pathForResource("caducado.doc").value()));
  // A document name of 246 bytes still has room for its partial download's name.
  const std::string partial = platform::partialDownloadPrefix(dir.file(std::string(246, 'n') + ".doc"));
  EXPECT_LE(platform::lastPathComponent(partial).size() + 16, 255u);
}

// The crash test: vla is killed (SIGKILL) at every step of a ticket's life
// that its record guards, then the ticket is opened again and closed without
// saving. Whatever the step, the user's edit reached the server or is still
// on disk, only what the user saved was ever uploaded (never the download as
// it was, never the expired-ticket placeholder), and nothing is left behind.
TEST_F(RecordTest, a_vla_killed_at_any_step_loses_no_edit_and_sends_nothing_unsaved) {
  const std::string state = dir.file("estado");
  const auto run = [&](const std::string& ticket, const std::string& mode, long killAt, const std::string& steps) {
    int status = 0;
    const pid_t pid = startChild(ticket, mode, killAt, steps);
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return status;
  };
  struct Scenario {
    std::string what;
    Behaviour first;   // the service's answer to the first upload
    std::string mode;  // what the editor does in the first run
    int status;        // vla's exit status when not killed
    bool stored;       // the service stores the first upload
  };
  const Scenario scenarios[] = {{"aceptada", {}, "guarda", 0, true},
                                {"rechazada", {UploadMode::Refuse}, "guarda", 1, false},
                                {"cortada", {UploadMode::Cut}, "guarda", 1, false},
                                {"sin cambios", {}, "nada", 0, false}};
  const auto stepsOf = [](const std::string& file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  };
  const std::string placeholder = testsupport::readText(platform::pathForResource("caducado.doc").value());
  int kills = 0;
  std::set<std::string> killedAt;
  std::map<std::string, int> outcomes;
  for (const Scenario& sc : scenarios) {
    // The whole life once, to learn its steps.
    service->setBehaviour(sc.first);
    issue("ORIGINAL", sc.what + "/completo/informe");
    ASSERT_EQ(WEXITSTATUS(run(ticketPath, sc.mode, 0, dir.file(sc.what + "/pasos"))), sc.status);
    const std::vector<std::string> life = stepsOf(dir.file(sc.what + "/pasos"));
    ASSERT_GE(life.size(), 6u);
    for (std::size_t n = 1; n <= life.size(); ++n) {
      const std::string where = sc.what + "/" + std::to_string(n);
      SCOPED_TRACE(where + " " + life[n - 1]);
      service->setBehaviour(sc.first);
      issue("ORIGINAL", where + "/informe");
      const std::string id = ticketId, steps = dir.file(where + "/pasos");
      const int status = run(ticketPath, sc.mode, static_cast<long>(n), steps);
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
      ++kills, killedAt.insert(life[n - 1]);
      const auto done = stepsOf(steps);
      const bool saved = std::find(done.begin(), done.end(), "guardado") != done.end();
      service->setBehaviour({});
      run(ticketPath, "nada", 0, dir.file(where + "/pasos-2"));

      // The upload the server had stored, sent again, is reported as most
      // likely arrived, and the edit stays.
      if (life[n - 1] == "respuesta" && sc.stored) {
        const std::string again = testsupport::readText(dir.file(where + "/pasos-2.log"));
        EXPECT_NE(again.find("probablemente el envío anterior llegó"), std::string::npos);
      }
      for (const auto& call : callsFor(id)) {
        if (call.operation == "SubirFichero") {
          EXPECT_EQ(call.file, bytesOf("EDICION"));
        }
      }
      std::vector<std::string> left = entries(dir.file(where));
      std::erase_if(left, [](auto& f) { return f.starts_with("pasos"); });
      const bool onServer = service->ticket(id) && service->ticket(id)->document == bytesOf("EDICION");
      const bool onDisk = platform::fileExists(dir.file(where + "/informe.doc")) &&
                          testsupport::readText(dir.file(where + "/informe.doc")) == "EDICION";
      EXPECT_TRUE(!saved || onServer || onDisk);
      const std::set<std::string> allowed = {"informe.doc", "informe.vldoc"};
      EXPECT_TRUE(std::all_of(left.begin(), left.end(), [&](auto& f) { return allowed.count(f) > 0; }))
          << testing::PrintToString(left);
      // What stays at the document path is the edit, or the server's notice
      // that the ticket is gone (its deletion had reached it before the kill).
      const bool notice = platform::fileExists(dir.file(where + "/informe.doc")) &&
                          testsupport::readText(dir.file(where + "/informe.doc")) == placeholder;
      EXPECT_TRUE(!platform::fileExists(dir.file(where + "/informe.doc")) || onDisk || notice)
          << "a kept file is the edit";
      for (const std::string& f : entries(state + "/vla")) EXPECT_FALSE(f.starts_with(".")) << f;
      ++outcomes[onDisk ? "edición conservada" : onServer ? "subida" : saved ? "?" : "sin subir nada"];
    }
  }
  EXPECT_GE(kills, 40);
  std::string summary;
  for (const auto& [o, count] : outcomes) summary += o + ": " + std::to_string(count) + "; ";
  std::cout << "[ cortes ] " << kills << " muertes en " << killedAt.size() << " pasos distintos; " << summary << "\n";
}

// SIGTERM, SIGINT and SIGHUP while the editor has the document end vla with
// status 1 and a line that says why; the edit, the ticket and the record stay
// and the ticket opens again where it was.
TEST_F(RecordTest, a_termination_signal_keeps_the_edit_and_the_record) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    const std::string name = platform::signalName(signal);
    SCOPED_TRACE(name);
    issue("ORIGINAL", name + "/informe");
    const std::string steps = dir.file(name + "/pasos");
    const pid_t pid = startChild(ticketPath, "espera", 0, steps);
    ASSERT_TRUE(testsupport::runMainLoopUntil([&] {
      const auto r = recordFor(ticketId);
      return r && r->estado == EstadoTicket::Editando;
    })) << testsupport::readText(steps + ".log");
    ASSERT_EQ(kill(pid, signal), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(testsupport::readText(steps + ".log")
                  .find("Se ha recibido " + name + ": vla termina sin enviar nada; el documento se conserva en "),
              std::string::npos);
    EXPECT_EQ(recordFor(ticketId)->estado, EstadoTicket::Editando);
    EXPECT_TRUE(platform::fileExists(ticketPath) && platform::fileExists(localPath));
    EXPECT_TRUE(callsFor(ticketId).empty());
  }
}

// Server texts and file names reach the log, the alerts, the notices and
// --pendientes with their control characters escaped; a refusal whose text is
// not UTF-8 is still a refusal.
TEST_F(RecordTest, server_texts_and_file_names_are_shown_escaped) {
  const auto raw = [](const std::string& t) {
    return std::any_of(t.begin(), t.end(),
                       [](char c) { return c == '\x1b' || c == '\x07' || c == '\r' || c == '\xff'; }) ||
           t.find("\xc2\x9b") != std::string::npos;
  };
  const std::pair<std::string, std::string> cases[] = {{"no\x1b]0;t\x07 \xc2\x9b"
                                                        "31m\r\nvla: falso",
                                                        "no\\x1b]0;t\\x07 \\xc2\\x9b31m\\r\\nvla: falso"},
                                                       {"no \xff\xfe", "(texto que no es UTF-8)"}};
  for (const auto& [refusal, shown] : cases) {
    SCOPED_TRACE(shown);
    service->setBehaviour({UploadMode::Refuse, refusal});
    issue("ORIGINAL", "in\x1b[2Jforme");
    desktop->probeHook = [](const std::string& p, int look) { return editorThatSaves(p, look, "cambiado", 1); };
    runTicket(ticketPath);
    ASSERT_FALSE(dialogs->alerts().empty());
    for (const auto& [title, text] : dialogs->alerts()) EXPECT_FALSE(raw(title) || raw(text)) << text;
    for (const auto& n : notices->notices()) EXPECT_FALSE(raw(n.summary) || raw(n.body)) << n.body;
    for (const auto& line : log.lines()) EXPECT_FALSE(raw(line) || line.find('\n') != std::string::npos) << line;
    EXPECT_TRUE(log.contains("La subida no se ha confirmado: el servicio rechaza el fichero: " + shown));
    EXPECT_EQ(testsupport::readText(localPath), "cambiado");
    std::ostringstream out, err;
    EXPECT_EQ(listarPendientes(out, err), 0);
    EXPECT_FALSE(raw(out.str()));
    EXPECT_NE(out.str().find("in\\x1b[2Jforme.doc"), std::string::npos) << out.str();
  }
}

}  // namespace
