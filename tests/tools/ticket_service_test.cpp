#include <gtest/gtest.h>
#include <httplib.h>

#include "platform/Resources.h"
#include "testsupport/TestSupport.h"
#include "ticketservice/TicketService.h"

using namespace ticketservice;

namespace {

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string placeholderText() {
  return testsupport::readText(platform::pathForResource("caducado.doc").value());
}

std::string envelope(const std::string& op, const std::string& ticket, const std::string& instance,
                     const std::string& file) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<soap:Envelope \n"
         "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" \n"
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" \n"
         "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"> \n<soap:Body> \n<" +
         op + " xmlns=\"http://tempuri.org/\" > \n  <instancia>" + instance + "</instancia> \n  <ticket>" +
         ticket + "</ticket> " + (op == "SubirFichero" ? "\n  <file>" + file + "</file>" : "") + "\n</" + op +
         "> \n</soap:Body> \n</soap:Envelope>";
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TicketService::Options o;
    o.dataDir = dir.path();
    o.placeholderPath = platform::pathForResource("caducado.doc").value_or("");
    service = std::make_unique<TicketService>(o);
    ASSERT_TRUE(service->start());
    client = std::make_unique<httplib::Client>(service->baseURL());
    client->set_read_timeout(10, 0);
  }
  httplib::Result soap(const std::string& op, const std::string& body) {
    httplib::Headers h{{"SOAPAction", std::string(kServiceNamespace) + op}};
    return client->Post(kSoapPath, h, body, "text/xml; charset=utf-8");
  }
  testsupport::TempDir dir;
  std::unique_ptr<TicketService> service;
  std::unique_ptr<httplib::Client> client;
};

}  // namespace

TEST(TicketServiceHelpers, strict_base64_and_element_text) {
  EXPECT_EQ(decodeBase64("aG9sYQ=="), bytesOf("hola"));
  EXPECT_EQ(decodeBase64(""), Bytes{});
  EXPECT_EQ(decodeBase64("YWJj"), bytesOf("abc"));
  for (const char* bad : {"aG9sYQ=", "aG9s\nYQ==", "a=bc", "YW=j", "YWJj===="}) {
    EXPECT_FALSE(decodeBase64(bad)) << bad;
  }
  EXPECT_EQ(elementText("<a><s:b>x &amp; &#233;</s:b></a>", "b"), "x & \xC3\xA9");
  EXPECT_EQ(elementText("<a><b/></a>", "b"), "");
  EXPECT_EQ(elementText("<a><bc>1</bc></a>", "b"), std::nullopt);
}

TEST_F(ServiceTest, download_serves_the_document_of_an_open_ticket_and_the_placeholder_otherwise) {
  std::string id = service->issue(bytesOf("contenido"), "doc", "7", "x.doc");
  auto doc = client->Get(std::string(kDownloadPath) + "?t=" + id + "&i=7");
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->body, "contenido");
  for (const std::string& q : std::vector<std::string>{"?t=nadie&i=7", "?t=" + id + "&i=8", ""}) {
    auto res = client->Get(std::string(kDownloadPath) + q);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, placeholderText()) << q;
  }
  EXPECT_EQ(service->ticketDocument(id), id + "\r\n" + service->baseURL() + "\r\ndoc\r\n7\r\n");
}

TEST_F(ServiceTest, accepted_upload_is_stored_and_closes_the_ticket) {
  std::string id = service->issue(bytesOf("viejo"), "doc", "7");
  auto res = soap("SubirFichero", envelope("SubirFichero", id, "7", "bnVldm8="));
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, uploadResponse(""));
  EXPECT_NE(res->body.find("<SubirFicheroResult />"), std::string::npos);
  auto calls = service->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].outcome, "ok");
  EXPECT_EQ(calls[0].file, bytesOf("nuevo"));
  EXPECT_EQ(testsupport::readText(calls[0].storedPath), "nuevo");
  EXPECT_FALSE(service->ticket(id)->open);
  // A closed ticket downloads as expired and refuses a second upload.
  EXPECT_EQ(client->Get(std::string(kDownloadPath) + "?t=" + id + "&i=7")->body, placeholderText());
  auto again = soap("SubirFichero", envelope("SubirFichero", id, "7", "bnVldm8="));
  EXPECT_NE(again->body.find("<SubirFicheroResult>El ticket no existe o ha caducado</SubirFicheroResult>"),
            std::string::npos);
  EXPECT_NE(testsupport::readText(dir.file("journal.log")).find("SubirFichero ticket=" + id), std::string::npos);

  std::string other = service->issue(bytesOf("x"), "doc", "7");
  auto deleted = soap("BorrarTicket", envelope("BorrarTicket", other, "7", ""));
  ASSERT_TRUE(deleted);
  EXPECT_EQ(deleted->body, deleteResponse());
  EXPECT_FALSE(service->ticket(other)->open);
}

TEST_F(ServiceTest, told_failures_are_answered_as_told) {
  std::string id = service->issue(bytesOf("x"), "doc", "7");
  std::string body = envelope("SubirFichero", id, "7", "eA==");

  service->setBehaviour({UploadMode::Refuse, "No & no", {}});
  auto refused = soap("SubirFichero", body);
  EXPECT_NE(refused->body.find("<SubirFicheroResult>No &amp; no</SubirFicheroResult>"), std::string::npos);

  service->setBehaviour({UploadMode::Fault, "", {}});
  auto fault = soap("SubirFichero", body);
  EXPECT_EQ(fault->status, 500);
  EXPECT_NE(fault->body.find("<soap:Fault><faultcode>soap:Server</faultcode>"), std::string::npos);

  service->setBehaviour({UploadMode::NotXml, "", {}});
  auto text = soap("SubirFichero", body);
  EXPECT_EQ(text->status, 200);
  EXPECT_EQ(text->body.find('<'), std::string::npos);

  service->setBehaviour({UploadMode::Drop, "", {}});
  auto dropped = soap("SubirFichero", body);
  EXPECT_FALSE(dropped) << "a dropped reply must not arrive complete";

  // None of them stored anything or closed the ticket.
  EXPECT_TRUE(service->ticket(id)->open);
  EXPECT_EQ(service->ticket(id)->document, bytesOf("x"));

  // A file that is not Base64, and an unknown action, are faults.
  service->setBehaviour({});
  EXPECT_EQ(soap("SubirFichero", envelope("SubirFichero", id, "7", "no base64!"))->status, 500);
  EXPECT_EQ(soap("Otra", body)->status, 500);
}
