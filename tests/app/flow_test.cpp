// A whole ticket, from the open request to the web service's answer, against
// the stand-in ticket service running in this process. The desktop is stood
// in for by FakeDesktop: the default editor, its launch (a workspace
// notification, or the scripted editor run as a real process) and, where a
// test needs exact sequences, the looks at the document.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <deque>
#include <functional>
#include <stdexcept>

#include "app/Envelopes.h"
#include "app/vlaAppDelegate.h"
#include "platform/Dialogs.h"
#include "platform/FileURL.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"
#include "testsupport/TestSupport.h"
#include "ticketservice/TicketService.h"

extern char** environ;

using namespace app;
using platform::ModalResponse;

namespace {

constexpr char kEditorName[] = "Editor de prueba";

class ScriptedDialogs : public platform::DialogPresenter {
 public:
  std::vector<std::pair<std::string, std::string>> alerts;
  std::deque<ModalResponse> alertAnswers;  // OK once these run out
  std::deque<platform::SavePanelOutcome> saveAnswers;
  std::vector<std::vector<std::string>> savePanels;  // allowed types of each panel shown

  ModalResponse runAlert(const std::string& m, const std::string& i) override {
    alerts.emplace_back(m, i);
    if (alertAnswers.empty()) return ModalResponse::OK;
    ModalResponse r = alertAnswers.front();
    alertAnswers.pop_front();
    return r;
  }
  platform::SavePanelOutcome runSavePanel(const std::vector<std::string>& types, const std::string&,
                                          const std::string&) override {
    savePanels.push_back(types);
    if (saveAnswers.empty()) return {ModalResponse::Cancel, ""};
    auto r = saveAnswers.front();
    saveAnswers.pop_front();
    return r;
  }
  std::vector<std::string> titles() const {
    std::vector<std::string> t;
    for (const auto& a : alerts) t.push_back(a.first);
    return t;
  }
};

class FakeDesktop : public SystemDesktop {
 public:
  std::optional<platform::ApplicationRef> editor;
  std::function<bool(const std::string&)> onOpen;
  // Looks at the document: a hook, else scripted answers, else the real probe.
  std::function<DocumentProbe(const std::string&, int)> probeHook;
  std::deque<DocumentState> probes;
  std::deque<std::optional<bool>> running;  // the last answer repeats
  int looks = 0;

  std::optional<platform::ApplicationRef> editorFor(const std::string&) override { return editor; }
  bool openFile(const std::string& path) override { return onOpen ? onOpen(path) : false; }
  DocumentProbe probeDocument(const std::string& path) override {
    ++looks;
    if (probeHook) return probeHook(path, looks);
    if (!probes.empty()) {
      DocumentState s = probes.front();
      probes.pop_front();
      return {s, s == DocumentState::Held ? "retenido por la prueba" : ""};
    }
    return SystemDesktop::probeDocument(path);
  }
  std::optional<bool> isProcessRunning(pid_t pid) override {
    if (running.empty()) return SystemDesktop::isProcessRunning(pid);
    auto r = running.front();
    if (running.size() > 1) running.pop_front();
    return r;
  }
};

platform::Data bytesOf(const std::string& s) { return platform::dataFromString(s); }

class FlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setLogToStandardError(false);
    ticketservice::TicketService::Options o;
    o.placeholderPath = platform::pathForResource("caducado.doc").value_or("");
    service = std::make_unique<ticketservice::TicketService>(o);
    ASSERT_TRUE(service->start());

    dialogs = std::make_shared<ScriptedDialogs>();
    previousPresenter = platform::setDialogPresenter(dialogs);

    desktop = std::make_shared<FakeDesktop>();
    bundle = dir.path() + "/editor";
    desktop->editor = platform::ApplicationRef{bundle, kEditorName, "editor-de-prueba.desktop"};
    // By default the editor is launched as a workspace notification only.
    desktop->onOpen = [this](const std::string&) {
      announceLaunch(4242, bundle + "/bin/editor", kEditorName);
      return true;
    };

    delegate = std::make_shared<vlaAppDelegate>();
    delegate->setDesktop(desktop);
    delegate->timing = Timing{0.0, 0.0, 0.02, 0.3, 0.02};
  }

  void TearDown() override {
    platform::Workspace::sharedWorkspace().notificationCenter().removeObserver(delegate.get());
    // Let the requests in flight finish and their callbacks run here.
    testsupport::runMainLoopUntil([] { return false; }, std::chrono::milliseconds(50));
    platform::setDialogPresenter(previousPresenter);
    service->stop();
    platform::setLogToStandardError(true);
  }

  void announceLaunch(pid_t pid, const std::string& executable, std::optional<std::string> name) {
    auto app = std::make_shared<platform::RunningApplication>();
    app->processIdentifier = pid;
    app->executableURL = platform::fileURLForPath(executable);
    app->localizedName = name.value_or("");
    platform::Workspace::sharedWorkspace().postApplicationLaunched(app);
  }

  // Issues a ticket for the document and writes its ticket document.
  std::string issue(const std::string& contents, const std::string& base = "") {
    ticketId = service->issue(bytesOf(contents), "doc", "7", "informe.doc");
    std::string text = service->ticketDocument(ticketId);
    if (!base.empty()) text.replace(text.find(service->baseURL()), service->baseURL().size(), base);
    ticketPath = dir.write("informe.vldoc", text);
    localPath = dir.file("informe.doc");
    return ticketPath;
  }

  // Opens the ticket and turns the main loop until the ticket has ended and
  // the service has seen the expected number of SOAP calls.
  void runTicket(std::size_t soapCalls) {
    delegate->applicationOpenFile(platform::Application::sharedApplication(), ticketPath);
    ASSERT_TRUE(testsupport::runMainLoopUntil(
        [&] { return !delegate->ticketInProgress() && service->calls().size() >= soapCalls; },
        std::chrono::seconds(30)));
    // The deletion's reply is only logged; let it arrive.
    testsupport::runMainLoopUntil([&] { return log.contains("Terminamos de recibir la respuesta"); },
                                  std::chrono::seconds(soapCalls ? 10 : 0));
  }

  // Writes new contents over the document the way an editor saves.
  static void save(const std::string& path, const std::string& contents) {
    ASSERT_TRUE(platform::writeAtomically(path, bytesOf(contents)));
  }

  testsupport::TempDir dir;
  platform::LogCapture log;
  std::unique_ptr<ticketservice::TicketService> service;
  std::shared_ptr<ScriptedDialogs> dialogs;
  std::shared_ptr<platform::DialogPresenter> previousPresenter;
  std::shared_ptr<FakeDesktop> desktop;
  std::shared_ptr<vlaAppDelegate> delegate;
  std::string bundle, ticketId, ticketPath, localPath;
};

// An editor that has the document for a few looks, saving it on the way
// when contents are given, then lets go.
std::function<DocumentProbe(const std::string&, int)> editorThatSaves(std::optional<std::string> contents,
                                                                        int heldLooks = 3) {
  return [contents, heldLooks](const std::string& path, int look) -> DocumentProbe {
    if (look == 1 && contents) {
      EXPECT_TRUE(platform::writeAtomically(path, platform::dataFromString(*contents)));
    }
    if (look <= heldLooks) return {DocumentState::Held, "abierto por el editor"};
    return {platform::fileExists(path) ? DocumentState::Free : DocumentState::Missing, ""};
  };
}

}  // namespace

TEST_F(FlowTest, unchanged_document_deletes_the_ticket_and_both_local_files) {
  issue("original");
  desktop->probeHook = editorThatSaves(std::nullopt);
  runTicket(1);
  auto calls = service->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].operation, "BorrarTicket");
  EXPECT_EQ(calls[0].ticket, ticketId);
  EXPECT_EQ(calls[0].instance, "7");
  EXPECT_EQ(calls[0].body, sobreBorrarTicket("7", ticketId));
  EXPECT_FALSE(platform::fileExists(localPath));
  EXPECT_FALSE(platform::fileExists(ticketPath));
  EXPECT_TRUE(dialogs->alerts.empty());
  EXPECT_TRUE(delegate->abierto);
  for (const char* line : {"TERMINADO", "Esperaremos por el fichero", "Fin de espera. Comprobaremos el fichero",
                           "Fichero desbloqueado", "Cerrado", "No subiremos el fichero"}) {
    EXPECT_TRUE(log.contains(line)) << line;
  }
  EXPECT_FALSE(log.contains("Subiremos el fichero"));
}

TEST_F(FlowTest, saved_document_is_uploaded_and_both_local_files_removed) {
  issue("original");
  desktop->probeHook = editorThatSaves(std::string("cambiado \xC3\xB1"));
  runTicket(1);
  auto calls = service->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].operation, "SubirFichero");
  EXPECT_EQ(calls[0].soapAction, "http://tempuri.org/SubirFichero");
  EXPECT_EQ(calls[0].outcome, "ok");
  EXPECT_EQ(calls[0].file, bytesOf("cambiado \xC3\xB1"));
  EXPECT_EQ(calls[0].body, sobreSubirFichero("7", ticketId, "Y2FtYmlhZG8gw7E="));
  EXPECT_EQ(service->ticket(ticketId)->document, bytesOf("cambiado \xC3\xB1"));
  EXPECT_FALSE(platform::fileExists(localPath));
  EXPECT_FALSE(platform::fileExists(ticketPath));
  EXPECT_TRUE(dialogs->alerts.empty());
  for (const char* line : {"Subiremos el fichero", "Vamos a hacer el envio", "recibida respuesta",
                           "datos recibidos", "Terminamos de recibir la respuesta"}) {
    EXPECT_TRUE(log.contains(line)) << line;
  }
}

TEST_F(FlowTest, refused_upload_offers_to_save_a_copy_then_removes_the_ticket_document) {
  service->setBehaviour({ticketservice::UploadMode::Refuse, "Ticket bloqueado", {}});
  issue("original");
  desktop->probeHook = editorThatSaves(std::string("cambiado"));
  const std::string copy = dir.file("copia.doc");
  dialogs->saveAnswers.push_back({ModalResponse::OK, copy});
  runTicket(1);
  ASSERT_EQ(dialogs->alerts.size(), 1u);
  EXPECT_EQ(dialogs->alerts[0].first, "Error subiendo el fichero");
  EXPECT_EQ(dialogs->alerts[0].second,
            "No se puede acceder al fichero original.\xE2\x80\xA8 Guarde una copia de seguridad y vuelva a "
            "adjuntarlo a Velmora Web.");
  ASSERT_EQ(dialogs->savePanels.size(), 1u);
  EXPECT_EQ(dialogs->savePanels[0], std::vector<std::string>{"doc"});
  EXPECT_EQ(testsupport::readText(copy), "cambiado");
  EXPECT_FALSE(platform::fileExists(localPath));
  EXPECT_FALSE(platform::fileExists(ticketPath));
  EXPECT_TRUE(log.contains("Fichero no accesible en este momento"));
}

TEST_F(FlowTest, refused_upload_and_the_users_cancel_removes_the_document) {
  service->setBehaviour({ticketservice::UploadMode::Refuse, "No", {}});
  issue("original");
  desktop->probeHook = editorThatSaves(std::string("cambiado"));
  dialogs->saveAnswers.push_back({ModalResponse::Cancel, ""});
  runTicket(1);
  EXPECT_EQ(dialogs->titles(), std::vector<std::string>{"Error subiendo el fichero"});
  EXPECT_FALSE(platform::fileExists(localPath));
  EXPECT_FALSE(platform::fileExists(ticketPath));
}

TEST_F(FlowTest, failed_replies_take_the_refused_path_and_lose_nothing) {
  using ticketservice::UploadMode;
  for (UploadMode mode : {UploadMode::NotXml, UploadMode::Fault, UploadMode::Drop}) {
    SCOPED_TRACE(ticketservice::nameOfUploadMode(mode));
    service->setBehaviour({mode, "", {}});
    issue("original");
    dialogs->alerts.clear();
    dialogs->savePanels.clear();
    desktop->looks = 0;
    desktop->probeHook = editorThatSaves(std::string("cambiado"));
    // No save dialog can be shown: the document must stay where it is.
    dialogs->saveAnswers.push_back({ModalResponse::NotShown, ""});
    delegate->applicationOpenFile(platform::Application::sharedApplication(), ticketPath);
    ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return !delegate->ticketInProgress(); },
                                              std::chrono::seconds(30)));
    EXPECT_EQ(dialogs->titles(), std::vector<std::string>{"Error subiendo el fichero"});
    EXPECT_EQ(dialogs->savePanels.size(), 1u);
    EXPECT_EQ(testsupport::readText(localPath), "cambiado");
    EXPECT_TRUE(log.contains("No se ha podido mostrar el diálogo para guardar; el fichero se conserva en " +
                             localPath));
    EXPECT_FALSE(platform::fileExists(ticketPath));
    EXPECT_TRUE(service->ticket(ticketId)->open);
    platform::removeItem(localPath);
  }
}

TEST_F(FlowTest, upload_transport_failure_takes_the_refused_path) {
  issue("original");
  auto saves = editorThatSaves(std::string("cambiado"));
  // The service goes away while the document is being edited.
  desktop->probeHook = [&](const std::string& path, int look) {
    if (look == 1) service->stop();
    return saves(path, look);
  };
  const std::string copy = dir.file("copia.doc");
  dialogs->saveAnswers.push_back({ModalResponse::OK, copy});
  runTicket(0);
  EXPECT_EQ(dialogs->titles(), std::vector<std::string>{"Error subiendo el fichero"});
  EXPECT_EQ(testsupport::readText(copy), "cambiado");
  EXPECT_FALSE(platform::fileExists(localPath));
  EXPECT_FALSE(platform::fileExists(ticketPath));
  bool logged = false;
  for (const auto& l : log.lines()) logged |= l.rfind("La subida no se ha confirmado: error de conexión", 0) == 0;
  EXPECT_TRUE(logged);
}

TEST_F(FlowTest, expired_ticket_shows_the_expiry_alert_and_nothing_else) {
  issue("original");
  ASSERT_FALSE(service->ticketDocument(ticketId).empty());
  // A ticket the service does not know is served the placeholder.
  dir.write("informe.vldoc", "desconocido\r\n" + service->baseURL() + "\r\ndoc\r\n7\r\n");
  bool opened = false;
  desktop->onOpen = [&](const std::string&) { return opened = true; };
  runTicket(0);
  EXPECT_EQ(dialogs->titles(), std::vector<std::string>{"El fichero vldoc está caducado."});
  EXPECT_FALSE(opened);
  EXPECT_TRUE(service->calls().empty());
  EXPECT_EQ(testsupport::readText(localPath),
            testsupport::readText(platform::pathForResource("caducado.doc").value()));
  EXPECT_TRUE(platform::fileExists(ticketPath));
  EXPECT_TRUE(delegate->fileP.empty());
}

TEST_F(FlowTest, a_download_differing_from_the_placeholder_in_one_byte_is_opened) {
  std::string almost = testsupport::readText(platform::pathForResource("caducado.doc").value());
  almost.back() ^= 1;
  issue(almost);
  desktop->probeHook = editorThatSaves(std::nullopt);
  runTicket(1);
  EXPECT_TRUE(dialogs->alerts.empty());
  EXPECT_EQ(service->calls().at(0).operation, "BorrarTicket");
}

TEST_F(FlowTest, nothing_downloaded_and_no_local_file_tells_the_user_and_keeps_the_ticket) {
  issue("original", "http://127.0.0.1:9");
  bool opened = false;
  desktop->onOpen = [&](const std::string&) { return opened = true; };
  runTicket(0);
  EXPECT_EQ(dialogs->titles(), std::vector<std::string>{"No se ha podido descargar el documento."});
  EXPECT_FALSE(opened);
  EXPECT_TRUE(platform::fileExists(ticketPath));
  EXPECT_FALSE(platform::fileExists(localPath));
}

TEST_F(FlowTest, no_editor_or_a_failed_launch_tells_the_user_and_keeps_the_ticket) {
  issue("original");
  desktop->editor.reset();
  runTicket(0);
  EXPECT_EQ(dialogs->titles(), std::vector<std::string>{"No se puede abrir el documento."});
  EXPECT_TRUE(platform::fileExists(ticketPath));

  dialogs->alerts.clear();
  issue("original");
  desktop->editor = platform::ApplicationRef{bundle, kEditorName, "x.desktop"};
  desktop->onOpen = [](const std::string&) { return false; };
  runTicket(0);
  EXPECT_EQ(dialogs->titles(), std::vector<std::string>{"No se puede abrir el documento."});
  EXPECT_TRUE(platform::fileExists(ticketPath));
  EXPECT_EQ(platform::Workspace::sharedWorkspace().notificationCenter().observerCount(), 0u);
}

TEST_F(FlowTest, a_document_kept_by_its_holder_is_waited_for_until_it_is_let_go) {
  issue("original");
  using S = DocumentState;
  // Held; free once; held again at the second look; then free twice.
  desktop->probes = {S::Held, S::Held, S::Free, S::Held, S::Held, S::Free, S::Free};
  runTicket(1);
  const auto lines = log.lines();
  std::vector<std::string> steps;
  for (const auto& l : lines) {
    if (l == "Esperaremos por el fichero" || l == "Fin de espera. Comprobaremos el fichero" ||
        l == "Fichero bloqueado" || l == "Fichero desbloqueado" || l == "Cerrado") {
      steps.push_back(l);
    }
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"Esperaremos por el fichero", "Fin de espera. Comprobaremos el fichero",
                                             "Fichero bloqueado", "Esperaremos por el fichero",
                                             "Fin de espera. Comprobaremos el fichero", "Fichero desbloqueado",
                                             "Cerrado"}));
  EXPECT_EQ(service->calls().at(0).operation, "BorrarTicket");
}

TEST_F(FlowTest, an_editor_that_never_holds_the_document_is_followed_to_its_exit) {
  issue("original");
  desktop->probeHook = [](const std::string&, int) { return DocumentProbe{DocumentState::Free, ""}; };
  // Running when the grace period ends, then gone.
  desktop->running = {true, true, true, false};
  runTicket(1);
  EXPECT_TRUE(log.contains("El editor ha terminado (proceso 4242)"));
  EXPECT_TRUE(dialogs->alerts.empty());
  EXPECT_EQ(service->calls().at(0).operation, "BorrarTicket");
}

TEST_F(FlowTest, an_editor_gone_at_once_makes_the_user_say_when_editing_is_done) {
  issue("original");
  desktop->probeHook = [](const std::string& path, int look) {
    if (look == 1) {
      EXPECT_TRUE(platform::writeAtomically(path, platform::dataFromString("nuevo")));
    }
    return DocumentProbe{DocumentState::Free, ""};
  };
  desktop->running = {false};
  runTicket(1);
  EXPECT_EQ(dialogs->titles(), std::vector<std::string>{"¿Ha terminado de editar el documento?"});
  EXPECT_EQ(service->calls().at(0).operation, "SubirFichero");
  EXPECT_EQ(service->calls().at(0).file, bytesOf("nuevo"));
}

TEST_F(FlowTest, when_nobody_can_be_asked_only_the_editor_taking_and_leaving_the_document_ends_the_wait) {
  issue("original");
  desktop->running = {false};
  dialogs->alertAnswers.push_back(ModalResponse::NotShown);
  int heldLooks = 0;
  desktop->probeHook = [&](const std::string&, int) {
    // Nothing holds the document until the question could not be shown.
    if (dialogs->alerts.empty() || heldLooks >= 3) return DocumentProbe{DocumentState::Free, ""};
    ++heldLooks;
    return DocumentProbe{DocumentState::Held, "abierto por fin"};
  };
  runTicket(1);
  EXPECT_EQ(dialogs->titles(), std::vector<std::string>{"¿Ha terminado de editar el documento?"});
  EXPECT_TRUE(log.contains("No se puede preguntar al usuario; esperaremos a que el editor tome y deje el fichero"));
  EXPECT_EQ(heldLooks, 3);
  EXPECT_EQ(service->calls().at(0).operation, "BorrarTicket");
}

TEST_F(FlowTest, a_document_that_disappears_ends_the_wait_and_keeps_the_ticket) {
  issue("original");
  desktop->probeHook = [](const std::string& path, int look) {
    if (look == 2) platform::removeItem(path);
    return look < 2 ? DocumentProbe{DocumentState::Held, "x"} : DocumentProbe{DocumentState::Missing, ""};
  };
  runTicket(0);
  EXPECT_EQ(dialogs->titles(), std::vector<std::string>{"El documento ha desaparecido."});
  EXPECT_TRUE(service->calls().empty());
  EXPECT_TRUE(platform::fileExists(ticketPath));
  EXPECT_FALSE(log.contains("Cerrado"));
}

TEST_F(FlowTest, missing_open_date_counts_as_changed) {
  issue("original");
  desktop->probeHook = editorThatSaves(std::nullopt);
  // The document cannot be dated right after the open request.
  desktop->onOpen = [this](const std::string& path) {
    platform::removeItem(path);
    announceLaunch(4242, bundle + "/bin/editor", kEditorName);
    return true;
  };
  desktop->probeHook = [](const std::string& path, int look) {
    if (look == 1) {
      EXPECT_TRUE(platform::writeAtomically(path, platform::dataFromString("restaurado")));
    }
    return look <= 2 ? DocumentProbe{DocumentState::Held, "x"} : DocumentProbe{DocumentState::Free, ""};
  };
  runTicket(1);
  EXPECT_EQ(service->calls().at(0).operation, "SubirFichero");
}

TEST_F(FlowTest, only_the_editors_launch_is_recognised) {
  issue("original");
  desktop->onOpen = [this](const std::string&) {
    announceLaunch(1, "/usr/bin/otro", "Otro");                          // another application
    announceLaunch(2, bundle + "/bin/editor", std::string("Otro nombre"));  // name does not pass
    platform::Workspace::sharedWorkspace().notificationCenter().postNotificationName("Otra", nullptr, {});
    announceLaunch(3, bundle + "-vecino/bin/editor", std::nullopt);      // a text prefix is enough
    return true;
  };
  desktop->probeHook = editorThatSaves(std::nullopt);
  runTicket(1);
  EXPECT_TRUE(log.contains("fileP es " + localPath));
  EXPECT_EQ(log.count("fileP es " + localPath), 1u);
  std::size_t received = 0;
  for (const auto& l : log.lines()) received += l.rfind("Se recibe una notificación ", 0) == 0;
  EXPECT_GE(received, 4u);
  EXPECT_EQ(service->calls().size(), 1u);
}

TEST_F(FlowTest, a_failure_in_the_chain_is_logged_and_leaves_abierto_false) {
  issue("original");
  desktop->probeHook = [](const std::string&, int) -> DocumentProbe { throw std::runtime_error("sonda rota"); };
  runTicket(0);
  EXPECT_TRUE(log.contains("error con la notificación sonda rota"));
  EXPECT_FALSE(delegate->abierto);
  EXPECT_TRUE(service->calls().empty());
  EXPECT_TRUE(platform::fileExists(localPath));
  EXPECT_TRUE(platform::fileExists(ticketPath));
}

// The scripted editor, run as a process of its own, holds the document the way
// an office suite does; the real probe follows it.
TEST_F(FlowTest, scripted_editor_process_holds_saves_and_lets_go) {
  const std::string script = std::string(VLA_SOURCE_DIR) + "/tools/scripted-editor.sh";
  issue("original\n");
  pid_t child = 0;
  desktop->onOpen = [&](const std::string& path) {
    std::vector<std::string> env = {"SCRIPTED_EDITOR_TEXT=una línea más", "SCRIPTED_EDITOR_OPEN_SECONDS=0.6",
                                    "SCRIPTED_EDITOR_AFTER_SECONDS=0.6", "PATH=/usr/bin:/bin"};
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string a0 = script, a1 = path;
    char* argv[] = {a0.data(), a1.data(), nullptr};
    if (posix_spawn(&child, script.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return false;
    announceLaunch(child, bundle + "/bin/editor", kEditorName);
    return true;
  };
  delegate->timing.editorGrace = 20.0;  // the editor takes the document long before
  runTicket(1);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  auto calls = service->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].operation, "SubirFichero");
  EXPECT_EQ(calls[0].file, bytesOf("original\nuna línea más\n"));
  EXPECT_FALSE(platform::fileExists(localPath));
  EXPECT_FALSE(platform::fileExists(ticketPath));
  EXPECT_FALSE(platform::fileExists(dir.file(".~lock.informe.doc#")));
}
