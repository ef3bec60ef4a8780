// The ticket flow, one ticket and several side by side (fixture in
// FlowFixture.h).
#include "FlowFixture.h"

using namespace flowtest;

TEST_F(FlowTest, one_ticket_runs_its_steps_in_order_and_sends_its_own_request) {
  struct Case {
    std::optional<std::string> saved;
    std::vector<std::string> steps;
  };
  const std::vector<std::string> common = {"1", "Vamos a realizar el resto del proceso", "TERMINADO",
                                           "Esperaremos por el fichero", "Fin de espera. Comprobaremos el fichero",
                                           "Fichero desbloqueado", "Cerrado"};
  for (const Case& c : {Case{std::nullopt, {"No subiremos el fichero", "recibida respuesta",
                                            "Terminamos de recibir la respuesta"}},
                        Case{"cambiado \xC3\xB1", {"Subiremos el fichero", "Vamos a hacer el envio",
                                                   "recibida respuesta", "datos recibidos",
                                                   "Terminamos de recibir la respuesta"}}}) {
    SCOPED_TRACE(c.saved.value_or("sin cambios"));
    log.clear();
    issue("original");
    desktop->looks.clear();
    desktop->probeHook = [&](const std::string& p, int look) { return editorThatSaves(p, look, c.saved); };
    runTicket(ticketPath);
    std::vector<std::string> all = common;
    all.insert(all.end(), c.steps.begin(), c.steps.end());
    all.insert(all.end(), {"Subiremos el fichero", "No subiremos el fichero", "Vamos a hacer el envio",
                           "datos recibidos"});
    std::vector<std::string> expected = common;
    expected.insert(expected.end(), c.steps.begin(), c.steps.end());
    EXPECT_EQ(logSteps(all), expected);
    EXPECT_TRUE(log.contains("fileP es " + localPath));
    auto calls = callsFor(ticketId);
    ASSERT_EQ(calls.size(), 1u);
    if (c.saved) {
      EXPECT_EQ(calls[0].soapAction, "http://tempuri.org/SubirFichero");
      EXPECT_EQ(calls[0].body, sobreSubirFichero("7", ticketId, "Y2FtYmlhZG8gw7E="));
      EXPECT_EQ(service->ticket(ticketId)->document, bytesOf(*c.saved));
    } else {
      EXPECT_EQ(calls[0].body, sobreBorrarTicket("7", ticketId));
    }
    EXPECT_FALSE(platform::fileExists(localPath));
    EXPECT_FALSE(platform::fileExists(ticketPath));
    EXPECT_TRUE(dialogs->alerts().empty());
  }
  EXPECT_EQ(platform::Application::sharedApplication().activeCount(), 0);
}

TEST_F(FlowTest, an_upload_not_confirmed_offers_a_copy_and_loses_nothing_unasked) {
  using ticketservice::UploadMode;
  struct Case {
    UploadMode mode;
    bool serviceGone;
    platform::SavePanelOutcome answer;
    std::optional<std::string> copy;  // where the edit must end up; none: deleted
  };
  const std::string copy = dir.file("copia.doc");
  const std::string kept = dir.file("informe.doc");
  for (const Case& c : {Case{UploadMode::Refuse, false, {ModalResponse::OK, copy}, copy},
                        Case{UploadMode::Refuse, false, {ModalResponse::Cancel, ""}, std::nullopt},
                        Case{UploadMode::NotXml, false, {ModalResponse::NotShown, ""}, kept},
                        Case{UploadMode::Fault, false, {ModalResponse::NotShown, ""}, kept},
                        Case{UploadMode::Drop, false, {ModalResponse::NotShown, ""}, kept},
                        Case{UploadMode::Accept, true, {ModalResponse::OK, copy}, copy}}) {
    SCOPED_TRACE(ticketservice::nameOfUploadMode(c.mode) + (c.serviceGone ? " sin servicio" : ""));
    service->setBehaviour({c.mode, "Ticket bloqueado", {}});
    issue("original");
    dialogs->clear();
    dialogs->saveAnswers.push_back(c.answer);
    desktop->looks.clear();
    desktop->probeHook = [&](const std::string& p, int look) {
      if (look == 1 && c.serviceGone) service->stop();
      return editorThatSaves(p, look, std::string("cambiado"));
    };
    runTicket(ticketPath);
    ASSERT_EQ(dialogs->alerts().size(), 1u);
    EXPECT_EQ(dialogs->alerts()[0],
              std::make_pair(std::string("Error subiendo el fichero"),
                             std::string("No se puede acceder al fichero original.\xE2\x80\xA8 Guarde una copia de "
                                         "seguridad y vuelva a adjuntarlo a Velmora Web.")));
    EXPECT_EQ(dialogs->savePanels(), std::vector<std::vector<std::string>>{{"doc"}});
    EXPECT_TRUE(log.contains("Fichero no accesible en este momento"));
    if (c.copy) {
      EXPECT_EQ(testsupport::readText(*c.copy), "cambiado");
    }
    if (c.copy != kept) {
      EXPECT_FALSE(platform::fileExists(localPath));
    }
    EXPECT_FALSE(platform::fileExists(ticketPath));
    platform::removeItem(copy);
    platform::removeItem(localPath);
  }
}

TEST_F(FlowTest, a_ticket_that_never_reaches_an_editor_tells_why_and_keeps_the_ticket) {
  const std::string placeholder = testsupport::readText(platform::pathForResource("caducado.doc").value());
  struct Case {
    const char* what;
    std::string title;
  };
  for (const Case& c : {Case{"caducado", "El fichero vldoc está caducado."},
                        Case{"sin descarga", "No se ha podido descargar el documento."},
                        Case{"sin editor", "No se puede abrir el documento."},
                        Case{"sin lanzamiento", "No se puede abrir el documento."}}) {
    SCOPED_TRACE(c.what);
    const std::string what = c.what;
    issue("original", "informe", what == "sin descarga" ? "http://127.0.0.1:9" : "");
    // A ticket the service does not know is served the placeholder.
    if (what == "caducado") dir.write("informe.vldoc", "desconocido\r\n" + service->baseURL() + "\r\ndoc\r\n7\r\n");
    dialogs->clear();
    if (what == "sin editor") desktop->editor.reset();
    bool opened = false;
    desktop->onOpen = [&](const std::string&) {
      opened = true;
      return false;
    };
    runTicket(ticketPath);
    EXPECT_EQ(dialogs->titles(), std::vector<std::string>{c.title});
    EXPECT_EQ(opened, what == "sin lanzamiento");
    EXPECT_TRUE(service->calls().empty());
    EXPECT_TRUE(platform::fileExists(ticketPath));
    if (what == "caducado") {
      EXPECT_EQ(testsupport::readText(localPath), placeholder);
    }
    platform::removeItem(localPath);
    desktop->editor = platform::ApplicationRef{bundle, kEditorName, "x.desktop"};
  }
  EXPECT_EQ(platform::Workspace::sharedWorkspace().notificationCenter().observerCount(), 0u);

  // One byte away from the placeholder is a document like any other.
  std::string almost = placeholder;
  almost.back() ^= 1;
  issue(almost);
  dialogs->clear();
  desktop->onOpen = [this](const std::string&) {
    announceLaunch(4242, bundle + "/bin/editor", kEditorName);
    return true;
  };
  desktop->probes = {S::Held, S::Free, S::Free};
  runTicket(ticketPath);
  EXPECT_TRUE(dialogs->alerts().empty());
  EXPECT_EQ(callsFor(ticketId).at(0).operation, "BorrarTicket");
}

TEST_F(FlowTest, the_wait_follows_the_document_then_the_editor_process_then_the_user) {
  struct Case {
    const char* what;
    std::deque<DocumentState> probes;
    std::deque<std::optional<bool>> running;
    std::deque<ModalResponse> answers;
    std::vector<std::string> titles;
    const char* logLine;
  };
  const std::vector<Case> cases = {
      // Held; free once; held again at the second look; then free twice.
      {"retenido", {S::Held, S::Held, S::Free, S::Held, S::Held, S::Free, S::Free}, {}, {}, {}, "Fichero bloqueado"},
      // Never held: running when the grace period ends, then gone.
      {"proceso", {}, {true, true, true, false}, {}, {}, "El editor ha terminado (proceso 4242)"},
      // Never held and the launched process gone at once: the user says when.
      {"pregunta", {}, {false}, {}, {kQuestion}, "El usuario ha terminado de editar"},
      // Nobody can be asked: the editor taking the document and letting go ends it.
      {"sin pregunta", {}, {false}, {ModalResponse::NotShown}, {kQuestion},
       "No se puede preguntar al usuario; esperaremos a que el editor tome y deje el fichero"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    issue("original");
    dialogs->clear();
    dialogs->alertAnswers = c.answers;
    desktop->running = c.running;
    desktop->probes = c.probes;
    const bool unheld = c.probes.empty();
    desktop->probeHook = nullptr;
    if (unheld) {
      // Held for three looks only once the question could not be shown.
      desktop->probeHook = [&, held = 0](const std::string&, int) mutable {
        if (held < 3 && log.contains(c.logLine) && !c.answers.empty()) {
          ++held;
          return DocumentProbe{S::Held, "abierto por fin"};
        }
        return DocumentProbe{S::Free, ""};
      };
    }
    log.clear();
    runTicket(ticketPath);
    EXPECT_EQ(dialogs->titles(), c.titles);
    EXPECT_TRUE(log.contains(c.logLine));
    EXPECT_EQ(callsFor(ticketId).at(0).operation, "BorrarTicket");
    if (std::string(c.what) == "retenido") {
      const std::string wait = "Esperaremos por el fichero", end = "Fin de espera. Comprobaremos el fichero";
      EXPECT_EQ(logSteps({wait, end, "Fichero bloqueado", "Fichero desbloqueado", "Cerrado"}),
                (std::vector<std::string>{wait, end, "Fichero bloqueado", wait, end, "Fichero desbloqueado",
                                          "Cerrado"}));
    }
  }
}

TEST_F(FlowTest, a_document_that_disappears_or_cannot_be_dated_and_a_broken_chain) {
  // Gone on two looks: nothing is sent and the ticket document stays.
  issue("original");
  desktop->probeHook = [](const std::string& path, int look) {
    if (look == 2) platform::removeItem(path);
    return look < 2 ? DocumentProbe{S::Held, "x"} : DocumentProbe{S::Missing, ""};
  };
  runTicket(ticketPath);
  EXPECT_EQ(dialogs->titles(), std::vector<std::string>{"El documento ha desaparecido."});
  EXPECT_TRUE(service->calls().empty());
  EXPECT_TRUE(platform::fileExists(ticketPath));
  EXPECT_FALSE(log.contains("Cerrado"));

  // No date right after the open request: the document counts as changed.
  issue("original");
  desktop->looks.clear();
  desktop->onOpen = [this](const std::string& path) {
    platform::removeItem(path);
    announceLaunch(4242, bundle + "/bin/editor", kEditorName);
    return true;
  };
  desktop->probeHook = [](const std::string& p, int look) { return editorThatSaves(p, look, "restaurado", 2); };
  runTicket(ticketPath);
  EXPECT_EQ(callsFor(ticketId).at(0).operation, "SubirFichero");

  // A failure in the chain is logged; the files stay and nothing is sent.
  issue("original");
  desktop->onOpen = [this](const std::string&) {
    announceLaunch(4242, bundle + "/bin/editor", kEditorName);
    return true;
  };
  desktop->probeHook = [](const std::string&, int) -> DocumentProbe { throw std::runtime_error("sonda rota"); };
  runTicket(ticketPath);
  EXPECT_TRUE(log.contains("error con la notificación sonda rota"));
  EXPECT_TRUE(callsFor(ticketId).empty());
  EXPECT_TRUE(platform::fileExists(localPath));
  EXPECT_TRUE(platform::fileExists(ticketPath));
}

TEST_F(FlowTest, only_the_editors_launch_is_recognised) {
  issue("original");
  desktop->onOpen = [this](const std::string&) {
    announceLaunch(1, "/usr/bin/otro", "Otro");                             // another application
    announceLaunch(2, bundle + "/bin/editor", std::string("Otro nombre"));  // name does not pass
    platform::Workspace::sharedWorkspace().notificationCenter().postNotificationName("Otra", nullptr, {});
    announceLaunch(3, bundle + "-vecino/bin/editor", std::nullopt);  // a text prefix is enough
    return true;
  };
  desktop->probes = {S::Held, S::Free, S::Free};
  runTicket(ticketPath);
  EXPECT_EQ(log.count("fileP es " + localPath), 1u);
  std::size_t received = 0;
  for (const auto& l : log.lines()) received += l.rfind("Se recibe una notificación ", 0) == 0;
  EXPECT_GE(received, 4u);
  EXPECT_EQ(service->calls().size(), 1u);
}

// Three tickets edited at the same time in scripted editors, each holding its
// document the way an office suite does, for different times. The third
// document goes to an editor that is already running: the process launched
// for it ends at once. The first ticket is opened twice.
TEST_F(FlowTest, three_tickets_edited_at_once_each_reach_their_own_ticket) {
  delegate->timing.editorGrace = 20.0;  // the editors take their documents long before
  struct Ticket {
    std::string name, text, seconds;
    bool handedOver;
  };
  const std::vector<Ticket> tickets = {
      {"alfa", "línea de alfa", "0.3", false}, {"beta", "", "0.9", false}, {"gamma", "línea de gamma", "0.6", true}};
  std::map<std::string, std::string> paths;
  for (const auto& t : tickets) paths[t.name] = issue("original de " + t.name + "\n", t.name);
  desktop->onOpen = [&](const std::string& path) {
    for (const auto& t : tickets) {
      if (path != dir.file(t.name + ".doc")) continue;
      const pid_t editor = runEditor(path, t.text, t.seconds);
      const pid_t launched = t.handedOver ? spawn({"/bin/true"}, {}) : editor;
      if (t.handedOver) children.push_back(launched);
      announceLaunch(launched, bundle + "/bin/editor", kEditorName);
    }
    return true;
  };
  for (const auto& t : tickets) open(paths[t.name]);
  open(paths["alfa"]);
  EXPECT_EQ(log.count("El ticket " + paths["alfa"] + " ya está abierto"), 1u);
  EXPECT_EQ(delegate->sessionCount(), 3u);
  runUntilAllEnded();

  EXPECT_EQ(service->downloads(), 3u);
  for (const auto& t : tickets) {
    SCOPED_TRACE(t.name);
    auto calls = callsFor(ids[paths[t.name]]);
    ASSERT_EQ(calls.size(), 1u);
    if (t.text.empty()) {
      EXPECT_EQ(calls[0].operation, "BorrarTicket");
    } else {
      EXPECT_EQ(calls[0].operation, "SubirFichero");
      EXPECT_EQ(calls[0].file, bytesOf("original de " + t.name + "\n" + t.text + "\n"));
    }
    EXPECT_FALSE(platform::fileExists(paths[t.name]));
    EXPECT_FALSE(platform::fileExists(dir.file(t.name + ".doc")));
    EXPECT_FALSE(platform::fileExists(dir.file(".~lock." + t.name + ".doc#")));
  }
  EXPECT_TRUE(dialogs->alerts().empty());
  EXPECT_EQ(platform::Application::sharedApplication().activeCount(), 0);
}

// A ticket opened while another's upload reply is on its way, and one opened
// while another's question is on screen: each runs and ends on its own, and
// the answer to the question decides only its own ticket.
TEST_F(FlowTest, tickets_opened_during_a_reply_and_during_a_question_run_on_their_own) {
  service->setBehaviour({ticketservice::UploadMode::Accept, "", std::chrono::milliseconds(300)});
  std::mutex gateMutex;
  std::condition_variable gateChanged;
  bool questionAnswered = false;
  dialogs->beforeAnswer = [&](const std::string& title) {
    if (title != kQuestion) return;
    std::unique_lock lock(gateMutex);
    gateChanged.wait(lock, [&] { return questionAnswered; });
  };
  const std::string a = issue("documento a", "a");
  const std::string b = issue("documento b", "b");
  const std::string c = issue("documento c", "c");
  desktop->probeHook = [&](const std::string& path, int look) {
    if (path == dir.file("a.doc")) return editorThatSaves(path, look, std::string("a editado"));
    if (path == dir.file("b.doc")) return DocumentProbe{S::Free, ""};  // never held: the user is asked
    return editorThatSaves(path, look, std::nullopt);
  };
  desktop->running = {false};

  open(a);
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return log.contains("Vamos a hacer el envio"); }));
  open(b);  // while a's reply is awaited
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return !dialogs->alerts().empty(); }));
  EXPECT_EQ(dialogs->alerts()[0].first, kQuestion);
  EXPECT_NE(dialogs->alerts()[0].second.find(dir.file("b.doc")), std::string::npos);
  open(c);  // while b's question is on screen
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return !delegate->session(c) && !delegate->session(a); }));
  EXPECT_TRUE(delegate->session(b));
  EXPECT_EQ(callsFor(ids[c]).at(0).operation, "BorrarTicket");
  EXPECT_FALSE(platform::fileExists(c));
  EXPECT_TRUE(callsFor(ids[b]).empty());
  {
    std::lock_guard lock(gateMutex);
    questionAnswered = true;
  }
  gateChanged.notify_all();
  runUntilAllEnded();

  EXPECT_EQ(callsFor(ids[a]).at(0).file, bytesOf("a editado"));
  EXPECT_EQ(callsFor(ids[b]).at(0).operation, "BorrarTicket");
  EXPECT_EQ(dialogs->titles(), std::vector<std::string>{kQuestion});
  for (const auto& p : {a, b, c}) EXPECT_FALSE(platform::fileExists(p));
}
