#include <gtest/gtest.h>

#include "app/Envelopes.h"
#include "codec/Compression.h"
#include "platform/Log.h"
#include "testsupport/TestSupport.h"

using namespace app;

namespace {
const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<soap:Envelope \n"
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" \n"
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" \n"
    "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"> \n"
    "<soap:Body> \n";

platform::Data bytes(const std::string& s) { return platform::dataFromString(s); }

std::string aspnet(const std::string& inner) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
         "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
         "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><soap:Body>" +
         inner + "</soap:Body></soap:Envelope>";
}
}  // namespace

TEST(Envelopes, upload_envelope_byte_for_byte) {
  const std::string expected = kHead +
                               "<SubirFichero xmlns=\"http://tempuri.org/\" > \n"
                               "  <instancia>7</instancia> \n"
                               "  <ticket>T</ticket> \n"
                               "  <file>aG9sYQ==</file>\n"
                               "</SubirFichero> \n"
                               "</soap:Body> \n"
                               "</soap:Envelope>";
  EXPECT_EQ(sobreSubirFichero("7", "T", "aG9sYQ=="), expected);
  // A document of zero bytes gives an empty file element.
  EXPECT_NE(sobreSubirFichero("7", "T", "").find("\n  <file></file>\n"), std::string::npos);
}

TEST(Envelopes, deletion_envelope_has_twelve_lines_and_no_file) {
  const std::string expected = kHead +
                               "<BorrarTicket xmlns=\"http://tempuri.org/\" > \n"
                               "  <instancia>7</instancia> \n"
                               "  <ticket>T</ticket> \n"
                               "</BorrarTicket> \n"
                               "</soap:Body> \n"
                               "</soap:Envelope>";
  const std::string envelope = sobreBorrarTicket("7", "T");
  EXPECT_EQ(envelope, expected);
  EXPECT_EQ(std::count(envelope.begin(), envelope.end(), '\n'), 11);
}

TEST(Envelopes, only_an_empty_result_found_in_a_good_reply_confirms_the_upload) {
  const std::string ok = "<SubirFicheroResponse xmlns=\"http://tempuri.org/\"><SubirFicheroResult />"
                         "</SubirFicheroResponse>";
  struct Case {
    const char* what;
    std::string reply;
    long status;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"ASP.NET empty result", aspnet(ok), 200, true},
      {"empty result with open and close tags",
       aspnet("<SubirFicheroResponse xmlns=\"http://tempuri.org/\"><SubirFicheroResult>"
              "</SubirFicheroResult></SubirFicheroResponse>"),
       200, true},
      {"other body prefix",
       "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>" + ok + "</s:Body></s:Envelope>",
       200, true},
      {"prefixed response elements",
       aspnet("<m:SubirFicheroResponse xmlns:m=\"http://tempuri.org/\"><m:SubirFicheroResult/>"
              "</m:SubirFicheroResponse>"),
       200, true},
      {"refusal text",
       aspnet("<SubirFicheroResponse xmlns=\"http://tempuri.org/\"><SubirFicheroResult>No</SubirFicheroResult>"
              "</SubirFicheroResponse>"),
       200, false},
      {"not XML", "Service Unavailable", 200, false},
      {"empty reply", "", 200, false},
      {"SOAP Fault",
       aspnet("<soap:Fault><faultcode>soap:Server</faultcode><faultstring>boom</faultstring></soap:Fault>"), 500,
       false},
      {"no result element", aspnet("<SubirFicheroResponse xmlns=\"http://tempuri.org/\" />"), 200, false},
      {"no body", "<soap:Envelope xmlns:soap=\"x\"></soap:Envelope>", 200, false},
      {"error status with an empty result", aspnet(ok), 500, false},
      {"redirect status with an empty result", aspnet(ok), 307, false},
      {"cut inside the accepting envelope", aspnet(ok).substr(0, aspnet(ok).find("<SubirFicheroResult")) +
                                                "<SubirFicheroResult>", 200, false},
      {"closing Envelope missing", aspnet(ok).substr(0, aspnet(ok).size() - 16), 200, false},
      {"text after the envelope", aspnet(ok) + "<x/>", 200, false},
      {"over the reply limit", aspnet(ok) + std::string(kLimiteRespuesta, ' '), 200, false},
  };
  for (const auto& c : cases) {
    UploadVerdict v = leerRespuestaSubida(bytes(c.reply), c.status, true);
    EXPECT_EQ(v.accepted, c.accepted) << c.what;
    EXPECT_EQ(v.reason.empty(), c.accepted) << c.what << ": " << v.reason;
  }
  EXPECT_EQ(leerRespuestaSubida(bytes(cases[4].reply), 200).resultText, "No");
  EXPECT_FALSE(leerRespuestaSubida(bytes(cases[0].reply), 200, false).accepted);  // not the whole transfer
}

TEST(Envelopes, streamed_upload_envelope_is_byte_for_byte_the_whole_one) {
  testsupport::TempDir dir;
  // Sizes around the Base64 groups and the 48 KiB read blocks.
  for (std::size_t size : {0u, 1u, 2u, 3u, 49151u, 49152u, 49153u, 150001u}) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 7919 % 251);
    const std::string path = dir.write("d" + std::to_string(size), content);
    const std::string whole =
        sobreSubirFichero("7", "T&1", KDXML_Compression::base64Encoding(bytes(content)));

    auto file = std::shared_ptr<platform::ReadableFile>(platform::ReadableFile::open(path).first);
    ASSERT_TRUE(file);
    EXPECT_EQ(lineaConstruimosEnvio("7", "T&1", *file), platform::limitLogLine("Construimos envio " + whole));
    auto source = sobreSubirFicheroEnPiezas("7", "T&1", file);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->length, whole.size());
    std::string streamed;
    std::uint8_t buffer[16411];  // an odd capacity, as libcurl's varies
    for (std::size_t round = 0;; ++round) {
      const std::size_t capacity = 1 + round * 977 % sizeof buffer;
      auto n = source->pull(buffer, capacity);
      ASSERT_TRUE(n);
      if (*n == 0) break;
      streamed.append(reinterpret_cast<char*>(buffer), *n);
    }
    EXPECT_EQ(streamed, whole) << size;
  }
  // Ids that would break the envelope are refused.
  auto file = std::shared_ptr<platform::ReadableFile>(platform::ReadableFile::open(dir.write("x", "x")).first);
  EXPECT_FALSE(sobreSubirFicheroEnPiezas("7", "T\x01", file));
}
