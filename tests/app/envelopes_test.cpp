#include <gtest/gtest.h>

#include "app/Envelopes.h"
#include "platform/Files.h"
#include "testsupport/TestSupport.h"

using namespace app;

TEST(Envelopes, both_envelopes_byte_for_byte) {
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<soap:Envelope \nxmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" \n"
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" \n"
      "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"> \n<soap:Body> \n";
  const auto body = [&](const std::string& op, const std::string& file) {
    return head + "<" + op + " xmlns=\"http://tempuri.org/\" > \n  <instancia>7</instancia> \n  <ticket>T</ticket> \n" +
           file + "</" + op + "> \n</soap:Body> \n</soap:Envelope>";
  };
  EXPECT_EQ(sobreSubirFichero("7", "T", "aG9sYQ=="), body("SubirFichero", "  <file>aG9sYQ==</file>\n"));
  EXPECT_EQ(sobreSubirFichero("7", "T", ""), body("SubirFichero", "  <file></file>\n"));
  EXPECT_EQ(sobreBorrarTicket("7", "T"), body("BorrarTicket", ""));
  // Sent once as it is, never waited for without end, its reply bounded.
  const auto policy = solicitudSOAP("http://h/s", "BorrarTicket", sobreBorrarTicket("7", "T")).transferPolicy();
  EXPECT_TRUE(!policy.followRedirects && policy.identityEncodingOnly && policy.maxReplyBytes == kLimiteRespuesta &&
              policy.deadlineSeconds >= 600 && policy.deadlineBytesPerSecond > 0 && policy.lowSpeedSeconds > 0);
  // Ids that would break the envelope are refused.
  testsupport::TempDir dir;
  auto file = std::shared_ptr<platform::ReadableFile>(platform::ReadableFile::open(dir.write("x", "x")).first);
  EXPECT_FALSE(sobreSubirFicheroEnPiezas("7", "T\x01", file));
}

// What the service's own replies and SOAP faults give is checked by the flow;
// here, the other forms a reply may take.
TEST(Envelopes, only_an_empty_result_found_in_a_whole_good_reply_confirms_the_upload) {
  const auto aspnet = [](const std::string& inner) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
           "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>" +
           inner + "</soap:Body></soap:Envelope>";
  };
  const std::string ns = " xmlns=\"http://tempuri.org/\"", ok = aspnet("<SubirFicheroResponse" + ns +
                                                                       "><SubirFicheroResult />"
                                                                       "</SubirFicheroResponse>");
  const std::pair<std::string, bool> cases[] = {
      {ok, true},
      {"<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><m:SubirFicheroResponse "
       "xmlns:m=\"http://tempuri.org/\"><m:SubirFicheroResult></m:SubirFicheroResult></m:SubirFicheroResponse></s:Body>"
       "</s:Envelope>",
       true},
      {aspnet("<SubirFicheroResponse" + ns + "><SubirFicheroResult>No</SubirFicheroResult></SubirFicheroResponse>"),
       false},
      {"", false},
      {aspnet("<SubirFicheroResponse" + ns + " />"), false},
      {"<soap:Envelope xmlns:soap=\"x\"></soap:Envelope>", false},
      {ok.substr(0, ok.find("<SubirFicheroResult")) + "<SubirFicheroResult>", false},
      {ok.substr(0, ok.size() - 16), false},
      {ok + "<x/>", false},
      {ok + std::string(kLimiteRespuesta, ' '), false}};
  for (const auto& [reply, accepted] : cases) {
    UploadVerdict v = leerRespuestaSubida(platform::dataFromString(reply), 200, true);
    EXPECT_EQ(v.accepted, accepted) << reply.substr(0, 300);
    EXPECT_EQ(v.reason.empty(), accepted) << reply.substr(0, 300) << ": " << v.reason;
  }
  EXPECT_EQ(leerRespuestaSubida(platform::dataFromString(cases[2].first), 200).resultText, "No");
  EXPECT_FALSE(leerRespuestaSubida(platform::dataFromString(ok), 200, false).accepted);  // not the whole transfer
  EXPECT_FALSE(leerRespuestaSubida(platform::dataFromString(ok), 500, true).accepted);
}
