#include <gtest/gtest.h>
#include <httplib.h>

#include "platform/Resources.h"
#include "testsupport/TestSupport.h"
#include "ticketservice/TicketService.h"

using namespace ticketservice;

namespace {

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string envelope(const std::string& op, const std::string& ticket, const std::string& file) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<soap:Envelope "
         "\nxmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"> \n"
         "<soap:Body> \n<" +
         op + " xmlns=\"http://tempuri.org/\" > \n  <instancia>7</instancia> \n  <ticket>" + ticket + "</ticket> " +
         (op == "SubirFichero" ? "\n  <file>" + file + "</file>" : "") + "\n</" + op +
         "> \n</soap:Body> \n</soap:Envelope>";
}

}  // namespace

TEST(TicketService, serves_documents_and_answers_uploads_as_told) {
  testsupport::TempDir dir;
  const std::string placeholder = testsupport::readText(platform::pathForResource("caducado.doc").value());
  TicketService service({"127.0.0.1", 0, dir.path(), platform::pathForResource("caducado.doc").value()});
  ASSERT_TRUE(service.start());
  httplib::Client client(service.baseURL());
  client.set_read_timeout(10, 0);
  const auto soap = [&](const std::string& op, const std::string& body) {
    return client.Post(kSoapPath, {{"SOAPAction", std::string(kServiceNamespace) + op}}, body,
                       "text/xml; charset=utf-8");
  };
  const auto download = [&](const std::string& query) { return client.Get(std::string(kDownloadPath) + query)->body; };

  const std::string id = service.issue(bytesOf("x"), "doc", "7", "x.doc");
  EXPECT_EQ(service.ticketDocument(id), id + "\r\n" + service.baseURL() + "\r\ndoc\r\n7\r\n");
  EXPECT_EQ(download("?t=" + id + "&i=7"), "x");
  for (const std::string& q : {std::string("?t=nadie&i=7"), "?t=" + id + "&i=8", std::string()})
    EXPECT_EQ(download(q), placeholder) << q;

  // Told refusals (the flow tests go through the others), a file that is not
  // strict Base64 and an unknown action store nothing and leave the ticket open.
  const std::string body = envelope("SubirFichero", id, "bnVldm8=");
  // clang-format off
  const std::tuple<Behaviour, std::string, std::string, int, std::string> cases[] = {
      {{UploadMode::Refuse, "No & no", {}}, "SubirFichero", body, 200,
       "<SubirFicheroResult>No &amp; no</SubirFicheroResult>"},
      {{UploadMode::NotXml, "", {}}, "SubirFichero", body, 200, "Service Unavailable: the upload"},
      {{}, "SubirFichero", envelope("SubirFichero", id, "bnVldm8"), 500,
       "<soap:Fault><faultcode>soap:Server</faultcode>"},
      {{}, "SubirFichero", envelope("SubirFichero", id, "bnVl\nZG8="), 500, "<soap:Fault>"},
      {{}, "Otra", body, 500, "<soap:Fault>"}};
  // clang-format on
  for (const auto& [behaviour, op, request, status, says] : cases) {
    service.setBehaviour(behaviour);
    auto res = soap(op, request);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, status) << request;
    EXPECT_NE(res->body.find(says), std::string::npos) << res->body;
  }
  EXPECT_TRUE(service.ticket(id)->open);
  EXPECT_EQ(service.ticket(id)->document, bytesOf("x"));

  // An accepted upload is stored and closes the ticket: it then downloads as
  // expired and refuses a second upload. A deletion closes its ticket.
  service.setBehaviour({});
  auto res = soap("SubirFichero", body);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->body, uploadResponse(""));
  EXPECT_EQ(testsupport::readText(service.calls().back().storedPath), "nuevo");
  EXPECT_FALSE(service.ticket(id)->open);
  EXPECT_EQ(download("?t=" + id + "&i=7"), placeholder);
  EXPECT_NE(soap("SubirFichero", body)
                ->body.find("<SubirFicheroResult>El ticket no existe o ha caducado</SubirFicheroResult>"),
            std::string::npos);
  EXPECT_NE(testsupport::readText(dir.file("journal.log")).find("SubirFichero ticket=" + id), std::string::npos);
  const std::string other = service.issue(bytesOf("x"), "doc", "7");
  EXPECT_EQ(soap("BorrarTicket", envelope("BorrarTicket", other, ""))->body, deleteResponse());
  EXPECT_FALSE(service.ticket(other)->open);
}
