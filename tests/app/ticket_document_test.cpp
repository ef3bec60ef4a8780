#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/TicketDocument.h"
#include "testsupport/TestSupport.h"

using namespace app;
using P = TicketProblem;

TEST(TicketDocument, lines_markers_addresses_and_the_local_path) {
  EXPECT_EQ(splitCRLF("a\r\nb\r\n"), (std::vector<std::string>{"a", "b", ""}));
  EXPECT_EQ(splitCRLF("a\nb\r\r\nc"), (std::vector<std::string>{"a\nb\r", "c"}));
  EXPECT_EQ(removeMarkers("###a####b ## c"), "a#b ## c");
  EXPECT_EQ(downloadAddress("B", "T", "7"), "B/Paginas/Tickets/DescargarTicket.aspx?t=T&i=7");
  // Query values cannot add parameters or break the address.
  EXPECT_EQ(downloadAddress("B", "X&i=9&t=Y", "7 #/é+%~"),
            "B/Paginas/Tickets/DescargarTicket.aspx?t=X%26i%3D9%26t%3DY&i=7%20%23%2F%C3%A9%2B%25~");
  EXPECT_EQ(soapEndpoint("B"), "B/Paginas/Tickets/SubirTicket.asmx");
  // Only the file name's last ".vldoc" is replaced; folders are never rewritten.
  // clang-format off
  for (const auto& [ticket, local] : std::vector<std::pair<std::string, std::string>>{
           {"/u/a.vldoc.d/x.vldoc", "/u/a.vldoc.d/x.docx"}, {"/u/x.vldoc/y.vldoc", "/u/x.vldoc/y.docx"},
           {"/u/x.vldoc.vldoc", "/u/x.vldoc.docx"}, {"/u/x.vldoc/notes", "/u/x.vldoc/notes.docx"},
           {"/u/x.VLDOC", "/u/x.VLDOC.docx"}, {"x.vldoc", "x.docx"}}) {
    // clang-format on
    EXPECT_EQ(localDocumentPath(ticket, "docx"), local) << ticket;
  }
}

TEST(TicketDocument, ticket_text_is_checked_before_use) {
  const std::string tail = "\r\nhttp://h\r\ndoc\r\n7\r\n";
  const auto with = [](const std::string& base, const std::string& ext) {
    return "T\r\n" + base + "\r\n" + ext + "\r\n7";
  };
  // clang-format off
  std::vector<std::pair<std::string, P>> cases = {
      {"T###1" + tail, P::None}, {"\xEF\xBB\xBFT" + tail, P::None}, {with("https://v.example/web", "ODT2"), P::None},
      {"T\xFF" + tail, P::NotUTF8}, {"T\r\nhttp://h\r\ndoc", P::TooFewLines}, {"T\x01" + tail, P::ControlCharacters},
      {"T\nX" + tail, P::ControlCharacters}, {"T\xC2\x85" + tail, P::ControlCharacters},
      {"T\r\nhttp://h\r\ndoc\r\n7\x7F", P::ControlCharacters}, {"###" + tail, P::ControlCharacters},
      {" T" + tail, P::ControlCharacters}};
  // clang-format on
  for (const char* ext : {"", "../x", "d/oc", "do c", "..", "VLDOC"})
    cases.push_back({with("http://h", ext), P::BadExtension});
  for (const char* base : {"file:///etc", "ftp://x", "http://", "http:///x", "http://a b", "127.0.0.1", "http://h/x?y",
                           "http://h/x#y", "http://evil@h"}) {
    cases.push_back({with(base, "doc"), P::BadAddress});
  }
  for (const auto& [text, expected] : cases) {
    TicketReading reading = interpretTicketText(text);
    EXPECT_EQ(reading.problem, expected) << text;
    EXPECT_EQ(reading.fields.has_value(), expected == P::None) << text;
    EXPECT_EQ(reading.reason.empty(), expected == P::None) << text;
  }
  EXPECT_EQ(interpretTicketText("\xEF\xBB\xBFT###1" + tail).fields->guid, "T1");
}

TEST(TicketDocument, only_a_small_regular_file_is_read_as_a_ticket) {
  testsupport::TempDir dir;
  const std::string good = dir.write("t.vldoc", "T\r\nhttp://h\r\nodt\r\n7\r\n");
  const std::string fifo = dir.file("fifo.vldoc"), link = dir.file("link.vldoc"), zero = dir.file("zero.vldoc");
  ASSERT_TRUE(::mkfifo(fifo.c_str(), 0600) == 0 && ::symlink(good.c_str(), link.c_str()) == 0 &&
              ::symlink("/dev/zero", zero.c_str()) == 0);
  // clang-format off
  const std::pair<std::string, P> cases[] = {
      {good, P::None}, {fifo, P::NotRegularFile} /* would block for ever if opened plainly */,
      {link, P::NotRegularFile}, {zero, P::NotRegularFile}, {"/dev/zero", P::NotRegularFile},
      {dir.path(), P::NotRegularFile}, {dir.write("big.vldoc", std::string(kMaxTicketBytes + 1, 'x')), P::TooLarge},
      {dir.file("none.vldoc"), P::Missing},
      {dir.write("sh.vldoc", "T\r\nhttp://h\r\nsh\r\n7"), P::ExecutableType},
      {dir.write("desk.vldoc", "T\r\nhttp://h\r\nDesktop\r\n7"), P::ExecutableType}};
  // clang-format on
  for (const auto& [path, expected] : cases) EXPECT_EQ(readTicket(path).problem, expected) << path;
}
