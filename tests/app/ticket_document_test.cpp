#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "app/TicketDocument.h"
#include "app/vlaAppDelegate.h"
#include "platform/Dialogs.h"
#include "platform/Log.h"
#include "testsupport/TestSupport.h"

using namespace app;

TEST(TicketDocument, only_crlf_separates_lines_and_a_final_crlf_gives_an_empty_line) {
  EXPECT_EQ(splitCRLF("a\r\nb\r\n"), (std::vector<std::string>{"a", "b", ""}));
  EXPECT_EQ(splitCRLF("a\nb\rc"), (std::vector<std::string>{"a\nb\rc"}));
  EXPECT_EQ(splitCRLF("a\r\r\nb"), (std::vector<std::string>{"a\r", "b"}));
  EXPECT_EQ(splitCRLF(""), (std::vector<std::string>{""}));
}

TEST(TicketDocument, every_marker_is_removed_and_nothing_else) {
  EXPECT_EQ(removeMarkers("ab###cd"), "abcd");
  EXPECT_EQ(removeMarkers("###x###"), "x");
  EXPECT_EQ(removeMarkers("##a####b"), "##a#b");
  EXPECT_EQ(removeMarkers(" ## x "), " ## x ");
}

TEST(TicketDocument, derived_addresses_and_local_path) {
  EXPECT_EQ(downloadAddress("B", "T", "7"), "B/Paginas/Tickets/DescargarTicket.aspx?t=T&i=7");
  // Query values cannot add parameters or break the address.
  EXPECT_EQ(downloadAddress("B", "X&i=999&t=Y", "7 #/é"),
            "B/Paginas/Tickets/DescargarTicket.aspx?t=X%26i%3D999%26t%3DY&i=7%20%23%2F%C3%A9");
  EXPECT_EQ(percentEncode("aZ09-._~+%"), "aZ09-._~%2B%25");
  EXPECT_EQ(soapEndpoint("B"), "B/Paginas/Tickets/SubirTicket.asmx");
  // Only the file name's last ".vldoc" is replaced; folders are never rewritten.
  const std::pair<const char*, const char*> paths[] = {
      {"/u/x.vldoc", "/u/x.docx"},
      {"/u/a.vldoc.d/x.vldoc", "/u/a.vldoc.d/x.docx"},
      {"/u/x.vldoc/y.vldoc", "/u/x.vldoc/y.docx"},
      {"/u/x.vldoc.vldoc", "/u/x.vldoc.docx"},
      {"/u/x.vldoc/notes", "/u/x.vldoc/notes.docx"},
      {"/u/x.VLDOC", "/u/x.VLDOC.docx"},
      {"x.vldoc", "x.docx"},
  };
  for (const auto& [ticket, local] : paths) EXPECT_EQ(localDocumentPath(ticket, "docx"), local) << ticket;
}

TEST(TicketDocument, ticket_text_is_checked_before_use) {
  const std::string tail = "\r\nhttp://h\r\ndoc\r\n7\r\n";
  const std::pair<std::string, TicketProblem> cases[] = {
      {"T###1" + tail, TicketProblem::None},
      {"\xEF\xBB\xBFT" + tail, TicketProblem::None},
      {"T\xFF" + tail, TicketProblem::NotUTF8},
      {"T\r\nhttp://h\r\ndoc", TicketProblem::TooFewLines},
      {"T\r\nhttp://h\r\n../x\r\n7", TicketProblem::BadExtension},
      {"T\r\nhttp://h\r\nVLDOC\r\n7", TicketProblem::BadExtension},
      {"T\r\nfile:///etc\r\ndoc\r\n7", TicketProblem::BadAddress},
      {"T\x01" + tail, TicketProblem::ControlCharacters},
      {"T\nX" + tail, TicketProblem::ControlCharacters},
      {"T\xC2\x85" + tail, TicketProblem::ControlCharacters},
      {"T\r\nhttp://h\r\ndoc\r\n7\x7F", TicketProblem::ControlCharacters},
      {"###" + tail, TicketProblem::ControlCharacters},
      {" T" + tail, TicketProblem::ControlCharacters},
  };
  for (const auto& [text, expected] : cases) {
    TicketReading reading = interpretTicketText(text);
    EXPECT_EQ(reading.problem, expected) << text;
    EXPECT_EQ(reading.fields.has_value(), expected == TicketProblem::None) << text;
    EXPECT_EQ(reading.reason.empty(), expected == TicketProblem::None) << text;
  }
  EXPECT_EQ(interpretTicketText("T###1" + tail).fields->guid, "T1");
}

TEST(TicketDocument, only_a_small_regular_file_is_read_as_a_ticket) {
  testsupport::TempDir dir;
  const std::string good = dir.write("t.vldoc", "T\r\nhttp://h\r\nodt\r\n7\r\n");
  const std::string fifo = dir.file("fifo.vldoc");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string link = dir.file("link.vldoc");
  ASSERT_EQ(::symlink(good.c_str(), link.c_str()), 0);
  const std::string zero = dir.file("zero.vldoc");
  ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
  const std::string big = dir.write("big.vldoc", std::string(kMaxTicketBytes + 1, 'x'));
  const std::pair<std::string, TicketProblem> cases[] = {
      {good, TicketProblem::None},
      {fifo, TicketProblem::NotRegularFile},  // would block for ever if opened plainly
      {link, TicketProblem::NotRegularFile},
      {zero, TicketProblem::NotRegularFile},
      {"/dev/zero", TicketProblem::NotRegularFile},
      {dir.path(), TicketProblem::NotRegularFile},
      {big, TicketProblem::TooLarge},
      {dir.file("none.vldoc"), TicketProblem::Missing},
      {dir.write("sh.vldoc", "T\r\nhttp://h\r\nsh\r\n7"), TicketProblem::ExecutableType},
      {dir.write("desk.vldoc", "T\r\nhttp://h\r\nDesktop\r\n7"), TicketProblem::ExecutableType},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(readTicket(path).problem, expected) << path;
}

TEST(TicketDocument, input_checks) {
  EXPECT_TRUE(isPlainExtension("docx"));
  EXPECT_TRUE(isPlainExtension("ODT2"));
  for (const char* bad : {"", "../x", "d/oc", "do c", "doc\n", ".."}) {
    EXPECT_FALSE(isPlainExtension(bad)) << bad;
  }
  EXPECT_TRUE(isWebAddress("http://127.0.0.1:8080"));
  EXPECT_TRUE(isWebAddress("https://velmora.example/web"));
  for (const char* bad : {"file:///etc", "ftp://x", "http://", "http:///x", "http://a b", "127.0.0.1",
                          "http://h/x?y", "http://h/x#y", "http://evil@h"}) {
    EXPECT_FALSE(isWebAddress(bad)) << bad;
  }
}

namespace {

// Answers every dialog at once and remembers what was shown.
// Dialogs are shown on a thread of their own.
class RecordingPresenter : public platform::DialogPresenter {
 public:
  platform::ModalResponse runAlert(const std::string& m, const std::string&) override {
    std::lock_guard lock(mutex);
    alerts.push_back(m);
    return platform::ModalResponse::OK;
  }
  std::size_t alertCount() {
    std::lock_guard lock(mutex);
    return alerts.size();
  }
  void clear() {
    std::lock_guard lock(mutex);
    alerts.clear();
  }
  std::mutex mutex;
  std::vector<std::string> alerts;
  platform::SavePanelOutcome runSavePanel(const std::vector<std::string>&, const std::string&,
                                          const std::string&) override {
    return {platform::ModalResponse::Cancel, ""};
  }
};

class DelegateTest : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = platform::setDialogPresenter(presenter); }
  void TearDown() override { platform::setDialogPresenter(previous_); }

  std::shared_ptr<RecordingPresenter> presenter = std::make_shared<RecordingPresenter>();
  std::shared_ptr<vlaAppDelegate> delegate = std::make_shared<vlaAppDelegate>();
  testsupport::TempDir dir;
  platform::LogCapture logs;

  // Opens the ticket; returns its session while it runs.
  std::shared_ptr<TicketSession> open(const std::string& ticket) {
    delegate->abrirVLdoc(ticket);
    return delegate->session(ticket);
  }
  void runUntilEnded() {
    ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return delegate->sessionCount() == 0; }));
  }

 private:
  std::shared_ptr<platform::DialogPresenter> previous_;
};

}  // namespace

TEST_F(DelegateTest, reading_a_ticket_logs_each_line_then_the_download_address) {
  // Port 9 (discard) on loopback: nothing answers, so nothing is downloaded.
  std::string ticket = dir.write("x.vldoc", "T###1\r\nhttp://127.0.0.1:9\r\ndoc\r\n7\r\n");
  auto session = open(ticket);
  ASSERT_TRUE(session);
  auto lines = logs.lines();
  std::vector<std::string> expected = {"Vamos a abrir el fichero " + ticket,
                                       "T###1",
                                       "http://127.0.0.1:9",
                                       "doc",
                                       "7",
                                       "",
                                       "Vamos a recuperar la aplicación para abrir docs"};
  ASSERT_GE(lines.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 7), expected);
  EXPECT_TRUE(logs.contains("http://127.0.0.1:9/Paginas/Tickets/DescargarTicket.aspx?t=T1&i=7"));
  EXPECT_EQ(session->fileN, ticket);
  EXPECT_EQ(session->guid, "T1");
  EXPECT_EQ(session->instancia, "7");
  EXPECT_EQ(session->uploadURL, "http://127.0.0.1:9/Paginas/Tickets/SubirTicket.asmx");
}

TEST_F(DelegateTest, a_byte_order_mark_is_not_part_of_the_ticket_id) {
  std::string ticket = dir.write("x.vldoc", "\xEF\xBB\xBFT1\r\nhttp://127.0.0.1:9\r\ndoc\r\n7");
  EXPECT_EQ(open(ticket)->guid, "T1");
}

TEST_F(DelegateTest, unusable_tickets_are_refused_with_an_alert_and_left_untouched) {
  struct Case {
    const char* name;
    std::string contents;
    const char* reason;
  };
  std::vector<Case> cases = {
      {"short.vldoc", "T\r\nhttp://h\r\ndoc", "el fichero del ticket tiene menos de cuatro líneas"},
      {"latin1.vldoc", "T\xE9\r\nhttp://h\r\ndoc\r\n7", "el fichero del ticket no está en UTF-8"},
      {"ext.vldoc", "T\r\nhttp://h\r\n../../x\r\n7", "la extensión del documento del ticket no es válida"},
      {"base.vldoc", "T\r\nfile:///etc\r\ndoc\r\n7", "la dirección del servidor del ticket no es válida"},
  };
  for (const auto& c : cases) {
    presenter->clear();
    logs.clear();
    std::string ticket = dir.write(c.name, c.contents);
    open(ticket);
    runUntilEnded();
    EXPECT_EQ(presenter->alertCount(), 1u) << c.name;
    EXPECT_TRUE(logs.contains("No se puede abrir el ticket " + ticket + ": " + c.reason)) << c.name;
    EXPECT_FALSE(logs.contains("Vamos a recuperar la aplicación para abrir docs")) << c.name;
    EXPECT_EQ(testsupport::readText(ticket), c.contents) << c.name;
  }
  presenter->clear();
  open(dir.file("missing.vldoc"));
  runUntilEnded();
  EXPECT_TRUE(logs.contains("Error reading file"));
  EXPECT_EQ(presenter->alertCount(), 1u);
}

TEST_F(DelegateTest, open_file_request_always_answers_true_and_starts_a_session_with_clear_flags) {
  const std::string ticket = dir.write("x.vldoc", "T\r\nhttp://127.0.0.1:9\r\ndoc\r\n7");
  EXPECT_TRUE(delegate->applicationOpenFile(platform::Application::sharedApplication(), ticket));
  auto session = delegate->session(ticket);
  ASSERT_TRUE(session);
  EXPECT_FALSE(session->abierto);
  EXPECT_FALSE(session->first);
  auto lines = logs.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "1");
  EXPECT_EQ(lines[1], "Vamos a realizar el resto del proceso");
  EXPECT_TRUE(delegate->applicationOpenFile(platform::Application::sharedApplication(),
                                            dir.file("missing.vldoc")));
  runUntilEnded();
}

TEST_F(DelegateTest, open_without_user_interface_does_nothing) {
  std::string ticket = dir.write("x.vldoc", "T\r\nhttp://127.0.0.1:9\r\ndoc\r\n7");
  EXPECT_TRUE(delegate->applicationOpenFileWithoutUI(platform::Application::sharedApplication(), ticket));
  EXPECT_EQ(delegate->sessionCount(), 0u);
  EXPECT_TRUE(logs.lines().empty());
  EXPECT_EQ(delegate->window, nullptr);
}
