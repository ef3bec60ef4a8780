// The ticket flow, one ticket and several side by side.
#include <unistd.h>

#include "FlowFixture.h"
#include "testsupport/LocalHttpServer.h"

using namespace flowtest;

// Every way a ticket ends. Uploaded, or unchanged and deleted: nothing is left.
// Refused, never sent, or with no whole answer: the edit stays (where the user
// chose, or where it was) unless the user throws it away, and so does the
// ticket document. Another connection's reply is not the upload's; only the
// editor's launch counts; a document one byte off the expiry placeholder is
// a document like any other.
TEST_F(FlowTest, the_edit_stays_until_the_server_confirms_it_or_the_user_drops_it_and_says_where) {
  const std::string error = "Error subiendo el fichero",
                    unknown = "Puede que el documento no haya llegado a Velmora Web.";
  const std::string refused = "el servicio rechaza el fichero: Ticket bloqueado", lost = "resultado desconocido";
  const std::string fault =
      "fallo SOAP: Server was unable to process request. ---> Simulated failure. (estado HTTP 500)";
  const std::string copy = dir.file("otra/copia.doc"), edit = "cambiado \xC3\xB1" + std::string(100000, 'x');
  testsupport::LocalHttpServer other([](httplib::Server& s) {
    s.Get("/", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(ticketservice::uploadResponse(""), "text/xml");
    });
  });
  // Named, and copied into the table: GCC 12 at -O3 reports its own
  // clean-up code as reading uninitialised strings when each case builds its
  // behaviour in place.
  const Behaviour accept, refusal{UploadMode::Refuse, "Ticket bloqueado", std::chrono::milliseconds(300)};
  const Behaviour fault500{UploadMode::Fault, ""}, drop{UploadMode::Drop, ""}, cut{UploadMode::Cut, ""};
  const Behaviour status404{UploadMode::Accept, "", {}, 404}, status503{UploadMode::Accept, "", {}, 503};
  const Behaviour late{UploadMode::Accept, "", std::chrono::milliseconds(1500)};
  // where: of the edit at the end (empty: none left, "-": the document path);
  // motivo: the start of the record's, or the outcome of a ticket that ended.
  struct Twist {
    bool deletes = false;     // the editor closes without saving: the ticket is to be deleted
    bool sent = false;        // the upload is confirmed
    bool late = false;        // the reply comes after vla's deadline
    bool redirected = false;  // the service answers with a redirect to another server
    bool discards = false;    // the user throws the edit away at the second question
    bool linked = false;      // at the editor's first look the document becomes a link to a file elsewhere
    bool unserved = false;    // at the editor's first look the service goes away
  };
  struct Case {
    std::string what;
    Behaviour behaviour;
    std::vector<std::string> titles;
    std::string where, motivo;
    Twist twist = {};
    platform::SavePanelOutcome save = {};
  };
  const std::string deleteNotConfirmed = "sin cambios; el borrado no se ha confirmado (";
  // clang-format off
  const Case cases[] = {
      {"subido", accept, {}, "", "subido", {.sent = true}},
      {"borrado", accept, {}, "", "borrado", {.deletes = true}},
      {"guardada en otra carpeta", refusal, {error}, copy, refused, {}, {ModalResponse::OK, copy}},
      {"carpeta elegida inexistente", refusal, {error}, "-", refused, {},
       {ModalResponse::OK, dir.file("no/hay/copia.doc")}},
      {"borrado sin confirmar", status404, {}, "", deleteNotConfirmed + "estado HTTP 404)", {.deletes = true}},
      {"borrado con fallo", fault500, {}, "", deleteNotConfirmed + fault + ")", {.deletes = true}},
      {"cancelada", refusal, {error, "*"}, "-", refused, {}, {ModalResponse::Cancel, ""}},
      {"descartada", refusal, {error, "*"}, "", "cambios descartados por el usuario", {.discards = true},
       {ModalResponse::Cancel, ""}},
      {"fault", fault500, {error}, "-", "fallo SOAP: Server was unable"},
      {"aceptada con estado 503", status503, {error}, "-", "estado HTTP 503"},
      {"tardía", late, {unknown}, "-", lost, {.late = true}},
      {"conexión cortada", drop, {unknown}, "-", lost},
      {"respuesta cortada", cut, {unknown}, "-", lost},
      {"redirigida", accept, {error}, "-", "la respuesta no es XML (estado HTTP 307)", {.redirected = true}},
      {"enlace", accept, {"No se puede enviar el documento."}, "-", "es un enlace", {.linked = true}},
      {"sin servicio", accept, {error}, "-", "error de conexión", {.unserved = true}}};
  // clang-format on
  // clang-format off
  std::vector<std::string> steps = {"1", "Vamos a realizar el resto del proceso", "TERMINADO",
      "Esperaremos por el fichero", "Fin de espera. Comprobaremos el fichero", "Fichero desbloqueado", "Cerrado",
      "Subiremos el fichero", "Vamos a hacer el envio", "recibida respuesta", "datos recibidos",
      "Terminamos de recibir la respuesta"};
  // clang-format on
  std::vector<std::string> deleting(steps.begin(), steps.begin() + 7), all = steps;
  deleting.insert(deleting.end(),
                  {"No subiremos el fichero", "recibida respuesta", "Terminamos de recibir la respuesta"});
  all.push_back("No subiremos el fichero");
  std::string almost = testsupport::readText(platform::pathForResource("caducado.doc").value());
  almost.back() ^= 1;
  desktop->onOpen = [this](const std::string&) {
    announceLaunch(1, "/usr/bin/otro", "Otro");                             // another application
    announceLaunch(2, bundle + "/bin/editor", std::string("Otro nombre"));  // name does not pass
    platform::Workspace::sharedWorkspace().notificationCenter().postNotificationName("Otra", nullptr, {});
    announceLaunch(3, bundle + "-vecino/bin/editor", std::nullopt);  // a text prefix is enough
    return true;
  };
  const std::string outside = dir.write("fuera.txt", "de otro");
  int n = 0;
  for (const Case& c : cases) {
    const Twist& t = c.twist;
    SCOPED_TRACE(c.what);
    const bool saved = !t.deletes, done = t.deletes || t.sent;
    dir.write("otra/copia.doc", "viejo");  // the dialog asked before replacing it
    service->setBehaviour(c.behaviour);
    service->setTransportBehaviour({200, {}, {}, t.redirected ? other.url("") : ""});
    delegate->timing.replyDeadline = t.late ? std::optional(0.3) : std::nullopt;
    delegate->timing.waitLogInterval = t.late ? 0.1 : 30;
    const std::string name = "r" + std::to_string(++n);
    issue(almost, name);
    const std::string where = c.where == "-" ? localPath : c.where;
    dialogs->saveAnswer = c.save;
    dialogs->button = t.discards ? 1 : 0;  // "Descartar los cambios" / "Conservar"
    desktop->probeHook = [&](const std::string& p, int look) {
      if (look == 1 && t.unserved) service->stop();
      // While the editor has it, the record says so: a reopen after a crash finds the edit.
      EXPECT_TRUE(look != 1 || recordFor(ticketId).value_or(RegistroTicket{}).estado == EstadoTicket::Editando);
      DocumentProbe probe = editorThatSaves(p, look, saved ? std::optional(edit) : std::nullopt);
      if (look == 1 && t.linked) {  // the saved document replaced by a link to a file elsewhere
        dir.write("fuera.txt", "de otro");
        EXPECT_TRUE(platform::removeItem(p) && symlink(outside.c_str(), p.c_str()) == 0);
      }
      return probe;
    };
    open(ticketPath);
    if (c.behaviour.delay.count() == 300) {  // an accepting reply of another connection comes first
      ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return log.contains("Vamos a hacer el envio"); }));
      platform::URLConnection::start(platform::URLRequest(other.url("/")), delegate->session(ticketPath));
    }
    runUntilAllEnded();

    std::vector<std::string> titles = c.titles, extras;
    if (titles.size() > 1) titles[1] = "El documento se conserva en " + localPath;
    EXPECT_EQ(dialogs->titles(), titles);
    if (!titles.empty() && titles[0] == error) {
      const std::string text = dialogs->alerts()[0].second;
      EXPECT_EQ(text.rfind("No se puede acceder al fichero original.\xE2\x80\xA8 Guarde una copia", 0), 0u);
      EXPECT_NE(text.find(t.discards ? refused : c.motivo), std::string::npos);
      EXPECT_NE(text.find(localPath), std::string::npos);
      extras.push_back("guardar " + dir.path() + " | " + name + ".doc | doc");
    }
    if (titles.size() > 1) extras.push_back("botones Conservar | Descartar los cambios");
    EXPECT_EQ(dialogs->recorded(), extras);
    // A link's target is untouched.
    if (!where.empty()) {
      EXPECT_EQ(testsupport::readText(where), t.linked ? "de otro" : edit);
    }
    EXPECT_EQ(platform::fileExists(localPath), where == localPath);
    EXPECT_EQ(platform::fileExists(ticketPath), !done);
    const auto record = recordFor(ticketId);
    ASSERT_TRUE(record);
    EXPECT_EQ(std::pair(record->estado, record->keptPath),
              std::pair(where.empty() ? EstadoTicket::Terminado : EstadoTicket::Conservado, where));
    EXPECT_TRUE(done || record->motivo.starts_with(c.motivo)) << record->motivo;
    std::vector<testsupport::RecordingNotifier::Notice> notified;
    if (!where.empty()) notified = {{kAvisoEdicionConservada, avisoEdicionConservada(where)}};
    if (t.sent) notified = {{kAvisoDocumentoEnviado, avisoDocumentoEnviado(name + ".doc")}};
    if (!saved) notified = {{kAvisoTicketDescartado, avisoTicketDescartado(name + ".doc", true)}};
    EXPECT_EQ(notices->notices(), notified);
    EXPECT_EQ(lastLine(), "Ticket " + ticketId + " terminado: " +
                              (where.empty() ? c.motivo : "conservado en " + where + " (" + record->motivo + ")"));
    EXPECT_EQ(log.count("fileP es " + localPath), 1u);
    EXPECT_TRUE(linesStarting("Se recibe una notificación ") >= 4 && linesStarting("Key de la aplicación ") >= 4);
    EXPECT_EQ(linesStarting("Esperando la respuesta del servidor (") > 0, t.late);
    EXPECT_EQ(linesStarting("No se sabe si la subida ha llegado: ") > 0, c.motivo == lost);
    EXPECT_EQ(log.contains("Fichero guardado en " + copy), where == copy);
    EXPECT_EQ(log.contains("No se ha podido mover el fichero a " + c.save.filename + "; se conserva en " + localPath),
              c.save.response == ModalResponse::OK && where != c.save.filename);
    EXPECT_EQ(delegate->exitStatus(), n <= 2 ? 0 : 1);
    if (done) {
      EXPECT_EQ(logSteps(all), saved ? steps : deleting);
      EXPECT_EQ(service->ticket(ticketId)->document, bytesOf(saved ? edit : almost));
    }
    if (t.linked || t.unserved) {
      EXPECT_TRUE(callsFor(ticketId).empty());
      continue;
    }
    // A late answer is journalled once given; the streamed document arrives whole.
    ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return !callsFor(ticketId).empty(); }));
    const auto call = callsFor(ticketId).at(0);
    EXPECT_EQ(call.contentType + " " + call.soapAction,
              "text/xml; charset=utf-8 http://tempuri.org/" + std::string(saved ? "SubirFichero" : "BorrarTicket"));
    EXPECT_EQ(call.file.value_or(ticketservice::Bytes{}),
              saved && !t.redirected ? bytesOf(edit) : ticketservice::Bytes{});
    EXPECT_TRUE(saved || call.body == sobreBorrarTicket("7", ticketId));
  }
  EXPECT_EQ(delegate->exitStatus(), 1);
  EXPECT_EQ(platform::Application::sharedApplication().activeCount(), 0);
}

// Three tickets edited at once in scripted editors holding their documents as an
// office suite does; the third goes to an editor already running (the process
// launched for it ends at once); the first is opened twice.
TEST_F(FlowTest, three_tickets_edited_at_once_each_reach_their_own_ticket) {
  struct Ticket {
    std::string name, text, seconds;
    bool handedOver;
  };
  const Ticket tickets[] = {
      {"alfa", "línea de alfa", "0.3", false}, {"beta", "", "0.9", false}, {"gamma", "línea de gamma", "0.6", true}};
  std::map<std::string, std::string> paths;
  for (const auto& t : tickets) paths[t.name] = issue("original de " + t.name + "\n", t.name);
  desktop->onOpen = [&](const std::string& path) {
    for (const auto& t : tickets) {
      if (path != dir.file(t.name + ".doc")) continue;
      const pid_t editor = spawn({std::string(VLA_SOURCE_DIR) + "/tools/scripted-editor.sh", path},
                                 {"SCRIPTED_EDITOR_TEXT=" + t.text, "SCRIPTED_EDITOR_OPEN_SECONDS=" + t.seconds,
                                  "SCRIPTED_EDITOR_AFTER_SECONDS=0.2", "SCRIPTED_EDITOR_LOG=/dev/null"});
      const pid_t launched = t.handedOver ? spawn({"/bin/true"}, {}) : editor;
      EXPECT_TRUE(editor > 0 && launched > 0);
      children.insert(children.end(), {editor, launched});
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
    EXPECT_EQ(operationFor(ids[paths[t.name]]), t.text.empty() ? "BorrarTicket" : "SubirFichero");
    EXPECT_EQ(callsFor(ids[paths[t.name]]).at(0).file.value_or(ticketservice::Bytes{}),
              t.text.empty() ? ticketservice::Bytes{} : bytesOf("original de " + t.name + "\n" + t.text + "\n"));
    for (const auto& left : {paths[t.name], dir.file(t.name + ".doc"), dir.file(".~lock." + t.name + ".doc#")})
      EXPECT_FALSE(platform::fileExists(left));
  }
  EXPECT_TRUE(dialogs->alerts().empty() && delegate->exitStatus() == 0);
  EXPECT_EQ(platform::Application::sharedApplication().activeCount(), 0);
}

// Tickets opened during another's upload reply and during another's question
// each run on their own; the answer decides only its own ticket. A question
// goes with its session.
TEST_F(FlowTest, tickets_opened_during_a_reply_and_during_a_question_run_on_their_own) {
  service->setBehaviour({UploadMode::Accept, "", std::chrono::milliseconds(300)});
  const std::string a = issue("documento a", "a"), b = issue("documento b", "b"), c = issue("documento c", "c"),
                    d = issue("documento d", "d");
  desktop->probeHook = [&](const std::string& path, int look) {
    if (path == dir.file("a.doc")) return editorThatSaves(path, look, std::string("a editado"));
    if (path == dir.file("b.doc") || path == dir.file("d.doc"))
      return DocumentProbe{S::Free, ""};  // never held: the user is asked
    return editorThatSaves(path, look, std::nullopt);
  };
  // Each launched process hands its document to an editor already running.
  desktop->elsewhere = {5000};
  desktop->treeHook = [](const std::vector<pid_t>& known, int) {
    auto running = known;
    std::erase(running, 4242);
    return std::optional(running);
  };

  open(a);
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return log.contains("Vamos a hacer el envio"); }));
  open(b);  // while a's reply is awaited
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return questions->live() == 1; }));
  EXPECT_EQ(questions->seen().at(0), "¿Ha terminado de editar «b.doc»? [Enviar ahora | Descartar]");
  open(c);  // while b's question is up
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return !delegate->session(c) && !delegate->session(a); }));
  EXPECT_TRUE(delegate->session(b));
  EXPECT_EQ(operationFor(ids[c]), "BorrarTicket");
  EXPECT_TRUE(!platform::fileExists(c) && callsFor(ids[b]).empty());
  EXPECT_TRUE(questions->click(0));
  runUntilAllEnded();

  EXPECT_EQ(callsFor(ids[a]).at(0).file, bytesOf("a editado"));
  EXPECT_EQ(operationFor(ids[b]), "BorrarTicket");
  EXPECT_TRUE(dialogs->alerts().empty());
  for (const auto& p : {a, b, c}) EXPECT_FALSE(platform::fileExists(p));

  // The application goes away while a question is up: the question goes too.
  open(d);
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return questions->live() == 1; }));
  delegate.reset();
  EXPECT_EQ(questions->live(), 0u);
  EXPECT_FALSE(questions->click(0));
  testsupport::runMainLoopUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(log.count("El usuario ha terminado de editar"), 1u);
  EXPECT_TRUE(platform::fileExists(d));
}
