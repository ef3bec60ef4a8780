// The end of editing, editor by editor: what the looks at the document and at
// the editor's processes show, look after look, and what vla decides, at which
// look, through which states, and what it asks.
#include "FlowFixture.h"

using namespace flowtest;

namespace {

// What one look shows. The last step of a script holds for every later look.
struct Step {
  DocumentProbe probe;
  std::vector<pid_t> tree = {4242};                // the editor's processes now running (empty: all ended)
  std::string write = {};                          // the editor saves this into the document
  std::map<std::string, std::string> create = {};  // files that appear beside it (name -> contents)
  int click = -1;                                  // the user clicks this button of the question up
  bool remove = false;                             // the document goes
};

const DocumentProbe kFree{S::Free, ""};
const DocumentProbe kLockFile{S::Held, "fichero de bloqueo", HoldSign::LockFile};
DocumentProbe openBy(pid_t pid) {
  return {S::Held, "abierto por el proceso " + std::to_string(pid), HoldSign::Open, {pid}};
}

class EndOfEditingTest : public FlowTest {};

// Lock-file protocol first; while the editor's processes run nothing else ends
// the wait (a plug-in that reads or writes, a document let go unchanged); their
// end decides at the next look; a hand-off to a running editor, or a launch
// without a process, asks the user quietly at once and follows what it can.
TEST_F(EndOfEditingTest, each_editor_behaviour_ends_the_wait_only_on_its_strongest_sign) {
  const std::string q = "¿Ha terminado de editar «informe.doc»? [Enviar ahora | Descartar]";
  const std::string otro = "El documento del ticket es «informe.doc» [Enviar ahora | Descartar]";
  const std::string otroDoc =
      "El documento del ticket es «informe.doc» [Enviar «informe-v2.doc» en su lugar | Enviar ahora | Descartar]";
  // The rarer settings and outcomes, named where a case sets them.
  struct Also {
    pid_t pid = 4242;                       // the launched process (0: the launch gave none)
    std::vector<pid_t> elsewhere = {};      // the editor running in processes vla did not launch
    bool canAsk = true;                     // a question can be shown
    std::string program = "";               // the launched program when not the editor's (with the document named)
    int offerLooks = 0;                     // looks with nothing held before the user is offered to end (0: never)
    std::vector<std::string> alerts = {};   // the alerts shown
    std::vector<std::string> notices = {};  // the summaries of the notices given
    int graceLooks = 0;                     // looks before a hand-off is asked about (0: at once)
    int quitLooks = 1;                      // looks after a lock file went unchanged before asking
    int reminders = 0;                      // "still waiting, nobody to ask" lines, one a look at most
  };
  struct Case {
    std::string what;
    std::vector<Step> steps;
    std::string operation;            // what reached the service
    int decidedAt;                    // the look at which "Cerrado" was logged (0: never)
    std::vector<std::string> states;  // from the first look on
    std::vector<std::string> questions = {};
    std::string uploaded = "";                     // the document sent, for SubirFichero
    std::map<std::string, std::string> left = {};  // files beside the ticket afterwards (name -> contents)
    Also also = {};
  };
  // clang-format off
  const Case cases[] = {
      {"lock file, then none as the editor ends", {{kLockFile}, {kLockFile}, {kLockFile}, {kFree, {}}},
       "BorrarTicket", 5, {"Siguiendo", "Protocolo", "Comprobando", "Decidido"}},
      {"lock file gone unchanged while the editor runs (saved elsewhere, or closed)",
       {{kLockFile}, {kLockFile}, {kFree}, {kFree}, {kFree}, {kFree}, {kFree, {}}}, "BorrarTicket", 8,
       {"Siguiendo", "Protocolo", "Siguiendo", "Comprobando", "Decidido"}, {q + " (retirada)"}},
      {"lock file gone unchanged a moment before the editor ends (closed unsaved): nothing asked",
       {{kLockFile}, {kLockFile}, {kFree}, {kFree}, {kFree}, {kFree, {}}}, "BorrarTicket", 7,
       {"Siguiendo", "Protocolo", "Siguiendo", "Comprobando", "Decidido"}, {}, "", {}, {.quitLooks = 3}},
      {"lock file, saved, closed", {{kLockFile, {4242}, "editado"}, {kLockFile}, {kFree}}, "SubirFichero", 4,
       {"Siguiendo", "Protocolo", "Comprobando", "Decidido"}, {}, "editado"},
      {"lock file back within the interval", {{kLockFile}, {kFree, {}}, {kLockFile, {}}, {kFree, {}}},
       "BorrarTicket", 5, {"Siguiendo", "Protocolo", "Comprobando", "Protocolo", "Comprobando", "Decidido"}},
      {"save as another format; the user discards",
       {{kLockFile}, {kFree, {4242}, "", {{".~lock.informe.odt#", ""}, {"informe.odt", "odt"}}}, {kFree}, {kFree},
        {kFree}, {kFree, {}}, {kFree, {}}, {kFree, {}, "", {}, 1}, {kFree, {}}},
       "BorrarTicket", 8, {"Siguiendo", "Protocolo", "OtroFichero", "Decidido"}, {otro + " (retirada)"}, "",
       {{"informe.odt", "odt"}}},
      {"save as another format; \"send\" with nothing to send asks again; the user discards",
       {{kLockFile}, {kFree, {4242}, "", {{".~lock.informe.odt#", ""}, {"informe.odt", "odt"}}}, {kFree},
        {kFree, {4242}, "", {}, 0}, {kFree}, {kFree, {4242}, "", {}, 1}, {kFree}},
       "BorrarTicket", 6, {"Siguiendo", "Protocolo", "OtroFichero", "Decidido"},
       {otro + " (retirada)", otro + " (retirada)"}, "", {{"informe.odt", "odt"}}},
      {"save as another format, the ticket's document saved too, editor ends: that document is sent",
       {{kLockFile}, {kFree, {4242}, "", {{".~lock.informe.odt#", ""}, {"informe.odt", "odt"}}}, {kFree},
        {kFree, {4242}, "editado"}, {kFree}, {kFree, {}}},
       "SubirFichero", 7, {"Siguiendo", "Protocolo", "OtroFichero", "Comprobando", "Decidido"}, {otro + " (retirada)"},
       "editado", {{"informe.odt", "odt"}}},
      {"save as with the ticket's extension; sent instead",
       {{kLockFile}, {kFree, {4242}, "", {{".~lock.informe-v2.doc#", ""}, {"informe-v2.doc", "versión 2"}}},
        {kFree}, {kFree, {4242}, "", {}, 0}, {kFree}},
       "SubirFichero", 4, {"Siguiendo", "Protocolo", "OtroFichero", "Decidido"}, {otroDoc + " (retirada)"},
       "versión 2", {{"informe-v2.doc", "versión 2"}}},
      {"another document opened beside it in the same editor",
       {{kLockFile, {4242}, "", {{".~lock.otro.doc#", ""}, {"otro.doc", "otro"}}}, {kLockFile}, {kFree, {}}},
       "BorrarTicket", 4, {"Siguiendo", "Protocolo", "Comprobando", "Decidido"}, {}, "", {{"otro.doc", "otro"}}},
      {"save as a name with a control character: shown escaped",
       {{kLockFile}, {kFree, {4242}, "", {{".~lock.v\x1b[2J.doc#", ""}, {"v\x1b[2J.doc", "v"}}}, {kFree},
        {kFree, {4242}, "", {}, 2}, {kFree}},
       "BorrarTicket", 4, {"Siguiendo", "Protocolo", "OtroFichero", "Decidido"},
       {"El documento del ticket es «informe.doc» "
        "[Enviar «v\\x1b[2J.doc» en su lugar | Enviar ahora | Descartar] (retirada)"},
       "", {{"v\x1b[2J.doc", "v"}}},
      {"a new file with the document's stem, no lock file; \"send\" with nothing to send, then discard",
       {{kFree}, {kFree, {4242}, "", {{"informe.docx", "docx"}}}, {kFree}, {kFree, {}}, {kFree, {}, "", {}, 0},
        {kFree, {}}, {kFree, {}, "", {}, 1}, {kFree, {}}},
       "BorrarTicket", 7, {"Siguiendo", "OtroFichero", "Decidido"}, {otro + " (retirada)", otro + " (retirada)"},
       "", {{"informe.docx", "docx"}}},
      {"image editor: a plug-in reads it, two exports, then quits",
       {{openBy(4243), {4242, 4243}}, {kFree}, {kFree, {4242}, "exportado 1"}, {kFree}, {kFree, {4242}, "exportado 2"},
        {kFree}, {kFree}, {kFree, {}}},
       "SubirFichero", 9, {"Siguiendo", "Comprobando", "Decidido"}, {}, "exportado 2"},
      {"image editor kept open after an export; the user sends it",
       {{openBy(4243), {4242, 4243}}, {kFree}, {kFree, {4242}, "exportado"}, {kFree}, {kFree}, {kFree},
        {kFree, {4242}, "", {}, 0}, {kFree}},
       "SubirFichero", 7, {"Siguiendo", "Decidido"}, {q + " (retirada)"}, "exportado", {}, {.offerLooks = 3}},
      {"let go unchanged while the editor runs",
       {{openBy(4242)}, {kFree}, {kFree}, {kFree}, {kFree}, {kFree}, {kFree}, {kFree}, {kFree}, {kFree, {}}},
       "BorrarTicket", 11, {"Siguiendo", "Comprobando", "Decidido"}},
      {"quick close, nothing ever held", {{kFree}, {kFree}, {kFree, {}}}, "BorrarTicket", 4,
       {"Siguiendo", "Comprobando", "Decidido"}},
      {"editor ended, document still open elsewhere",
       {{openBy(4242)}, {openBy(4300), {}}, {openBy(4300), {}}, {kFree, {}}},
       "BorrarTicket", 5, {"Siguiendo", "Soltando", "Comprobando", "Decidido"}, {q + " (retirada)"}},
      {"handed to a running editor; the user says done",
       {{kFree, {}}, {kFree, {5000}, "editado"}, {kFree, {5000}}, {kFree, {5000}, "", {}, 0}, {kFree, {5000}}},
       "SubirFichero", 4, {"Siguiendo", "SinSenal", "Decidido"}, {q + " (retirada)"}, "editado", {},
       {.elsewhere = {5000}}},
      {"handed to a running editor that then ends",
       {{kFree, {}}, {kFree, {5000}}, {kFree, {5000}}, {kFree, {5000}}, {kFree, {5000}}, {kFree, {}}},
       "BorrarTicket", 7, {"Siguiendo", "SinSenal", "Comprobando", "Decidido"}, {q + " (retirada)"}, "", {},
       {.elsewhere = {5000}}},
      {"handed to a running office suite whose lock file comes soon: nothing asked",
       {{kFree, {}}, {kFree, {5000}}, {kLockFile, {5000}}, {kLockFile, {5000}}, {kFree, {}}},
       "BorrarTicket", 6, {"Siguiendo", "SinSenal", "Protocolo", "Comprobando", "Decidido"}, {}, "", {},
       {.elsewhere = {5000}, .graceLooks = 3}},
      {"handed to a running office suite: its lock file comes",
       {{kFree, {}}, {kLockFile, {5000}}, {kLockFile, {5000}}, {kFree, {}}},
       "BorrarTicket", 5, {"Siguiendo", "SinSenal", "Protocolo", "Comprobando", "Decidido"}, {q + " (retirada)"},
       "", {}, {.elsewhere = {5000}}},
      {"no process, nobody to ask: only the lock file decides", {{kFree}, {kFree}, {kLockFile}, {kFree}},
       "BorrarTicket", 5, {"Siguiendo", "SinSenal", "Protocolo", "Comprobando", "Decidido"}, {q + " (retirada)"},
       "", {}, {.pid = 0, .canAsk = false, .reminders = 2}},
      {"no process; the user discards an edit, which is kept",
       {{kFree, {}, "editado"}, {kFree}, {kFree, {}, "", {}, 1}, {kFree}}, "BorrarTicket", 3,
       {"Siguiendo", "SinSenal", "Decidido"}, {q + " (retirada)"}, "", {{"informe.doc", "editado"}},
       {.pid = 0, .notices = {kAvisoEdicionConservada}}},
      {"terminal editor with a swap file",
       {{kFree, {4242}}, {kLockFile, {4242, 4300}}, {kLockFile, {4242, 4300}}, {kFree, {}}}, "BorrarTicket", 5,
       {"Siguiendo", "Protocolo", "Comprobando", "Decidido"}, {}, "", {},
       {.program = "/usr/bin/x-terminal-emulator"}},
      {"document gone", {{kLockFile}, {{S::Missing, ""}, {4242}, "", {}, -1, true}}, "0 llamadas", 0,
       {"Siguiendo", "Protocolo", "Decidido"}, {}, "", {{"informe.vldoc", "*"}},
       {.alerts = {"El documento ha desaparecido."}}},
      {"save as another format, nobody to ask, editor ends: nothing sent, the ticket kept",
       {{kLockFile}, {kFree, {4242}, "", {{".~lock.informe.odt#", ""}, {"informe.odt", "odt"}}}, {kFree}, {kFree},
        {kFree, {}}},
       "0 llamadas", 0, {"Siguiendo", "Protocolo", "OtroFichero", "Decidido"}, {otro + " (retirada)"}, "",
       {{"informe.doc", "original"}, {"informe.odt", "odt"}, {"informe.vldoc", "*"}},
       {.canAsk = false, .notices = {kAvisoTicketConservado}, .reminders = 2}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    issue("original");
    questions->canShow = c.also.canAsk;
    delegate->timing.offerAfter = c.also.offerLooks ? c.also.offerLooks * delegate->timing.probeInterval : 600;
    delegate->timing.handOffGrace = c.also.graceLooks * delegate->timing.probeInterval;
    delegate->timing.quitGrace = c.also.quitLooks * delegate->timing.probeInterval;
    delegate->timing.waitLogInterval = delegate->timing.probeInterval;
    desktop->elsewhere = c.also.elsewhere;
    desktop->onOpen = [&](const std::string& path) {
      opened.push_back(path);
      announceLaunch(c.also.pid, c.also.program.empty() ? bundle + "/bin/editor" : c.also.program, kEditorName,
                     c.also.program.empty() ? "" : path);
      return true;
    };
    auto step = [&](int look) -> const Step& { return c.steps.at(std::min<std::size_t>(look, c.steps.size()) - 1); };
    desktop->probeHook = [&](const std::string& p, int look) {
      const Step& s = step(look);
      if (look <= static_cast<int>(c.steps.size())) {
        if (!s.write.empty()) {
          EXPECT_TRUE(platform::writeAtomically(p, bytesOf(s.write)));
        }
        for (const auto& [name, contents] : s.create) dir.write(name, contents);
        if (s.remove) platform::removeItem(p);
        if (s.click >= 0) {
          EXPECT_TRUE(questions->click(static_cast<std::size_t>(s.click)));
        }
      }
      return s.probe;
    };
    // The editor's processes are looked at just before the document.
    desktop->treeHook = [&](const std::vector<pid_t>&, int) {
      return std::optional(step(desktop->looks[localPath] + 1).tree);
    };
    int decidedAt = 0;
    int reminders = 0;
    std::vector<std::string> states;
    {
      platform::ScopedLogSink sink([&](std::string_view line) {
        if (line == "Cerrado") decidedAt = desktop->looks[localPath];
        if (line.starts_with("ESTADO: ")) states.emplace_back(line.substr(line.rfind(' ') + 1));
        if (line.starts_with("Seguimos esperando al editor de ")) ++reminders;
      });
      runTicket(ticketPath);
    }
    std::erase_if(states, [](const std::string& s) {
      return s == "Lanzando" || s == "Arrancando" || s == "Observando" || s == "Terminado";
    });
    EXPECT_EQ(states, c.states);
    EXPECT_EQ(decidedAt, c.decidedAt);
    EXPECT_EQ(reminders, c.also.reminders);
    EXPECT_EQ(operationFor(ticketId), c.operation);
    EXPECT_EQ(questions->seen(), c.questions);
    EXPECT_EQ(dialogs->titles(), c.also.alerts);
    std::vector<std::string> summaries;
    for (const auto& n : notices->notices()) {
      if (n.summary != kAvisoTicketDescartado && n.summary != kAvisoDocumentoEnviado) summaries.push_back(n.summary);
    }
    EXPECT_EQ(summaries, c.also.notices);
    if (!c.uploaded.empty()) {
      EXPECT_EQ(callsFor(ticketId).at(0).file, bytesOf(c.uploaded));
    }
    std::map<std::string, std::string> left;
    for (const auto& name : platform::folderEntries(dir.path())) {
      if (name == "estado" || name.starts_with(".~lock.")) continue;
      left[name] = name.ends_with(".vldoc") ? "*" : testsupport::readText(dir.file(name));
    }
    EXPECT_EQ(left, c.left);
    for (const auto& name : platform::folderEntries(dir.path())) {
      if (name != "estado") platform::removeItem(dir.file(name));
    }
  }
}

// The notices that tell how a ticket ended, and the one that says the document
// is on its way when the reply takes a while (with its size).
TEST_F(EndOfEditingTest, every_ending_is_told_and_a_slow_upload_shows_its_size) {
  delegate->timing.sendingNotice = 0.05;
  service->setBehaviour({UploadMode::Accept, "", std::chrono::milliseconds(600)});
  issue("original");
  desktop->probeHook = [](const std::string& p, int look) {
    return editorThatSaves(p, look, std::string("1234567"), 1);
  };
  runTicket(ticketPath);
  EXPECT_EQ(notices->notices(), (std::vector<testsupport::RecordingNotifier::Notice>{
                                    {kAvisoEnviando, avisoEnviando("informe.doc", 7)},
                                    {kAvisoDocumentoEnviado, avisoDocumentoEnviado("informe.doc")}}));
  // The flow test sees this one given when an unchanged ticket is deleted.
  EXPECT_EQ(avisoTicketDescartado("informe.doc", true), "«informe.doc»: sin cambios: ticket descartado");
}

// A ticket opened again while its editor is followed says so; while a question
// waits it is shown again (it may have been closed unanswered).
TEST_F(EndOfEditingTest, a_ticket_opened_again_says_where_it_is_and_shows_its_question_again) {
  issue("original");
  desktop->elsewhere = {5000};
  desktop->treeHook = [](const std::vector<pid_t>& known, int) {
    auto running = known;
    std::erase(running, 4242);  // the launched process handed the document over and ended
    return std::optional(running);
  };
  desktop->probeHook = [](const std::string&, int) { return kFree; };
  open(ticketPath);
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return questions->live() == 1; }));
  desktop->windowsFound = 1;
  open(ticketPath);
  ASSERT_TRUE(
      testsupport::runMainLoopUntil([&] { return questions->seen().size() == 2 && !notices->notices().empty(); }));
  EXPECT_EQ(questions->live(), 1u);
  // The window of the editor that has it (the one running elsewhere) comes forward.
  EXPECT_EQ(desktop->broughtForward, std::vector<std::string>{"5000|informe.doc"});
  ASSERT_EQ(notices->notices().size(), 1u);
  EXPECT_EQ(notices->notices()[0].summary, "«informe.doc» ya está abierto");
  EXPECT_NE(notices->notices()[0].body.find(localPath), std::string::npos);
  EXPECT_NE(notices->notices()[0].body.find("traído al frente"), std::string::npos);
  EXPECT_TRUE(questions->click(0));
  runUntilAllEnded();
  EXPECT_EQ(operationFor(ticketId), "BorrarTicket");
  EXPECT_EQ(log.count("El ticket " + ticketPath + " ya está abierto"), 1u);
}

}  // namespace
