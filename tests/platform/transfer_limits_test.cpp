#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/Files.h"
#include "platform/Http.h"
#include "platform/LaunchServices.h"
#include "testsupport/LocalHttpServer.h"
#include "testsupport/TestSupport.h"

using namespace platform;

TEST(TransferLimits, each_policy_limit_fails_the_exchange) {
  std::atomic<int> elsewhereHits{0};
  testsupport::LocalHttpServer elsewhere([&](httplib::Server& s) {
    s.Post("/x", [&](const httplib::Request&, httplib::Response& res) {
      ++elsewhereHits;
      res.set_content("ok", "text/plain");
    });
  });
  std::string seenEncoding, seenBody;
  testsupport::LocalHttpServer server([&](httplib::Server& s) {
    s.Post("/echo", [&](const httplib::Request& req, httplib::Response& res) {
      seenEncoding = req.get_header_value("Accept-Encoding");
      seenBody = req.body;
      res.set_content("fine", "text/plain");
    });
    s.Post("/big", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(5000, 'b'), "text/plain");
    });
    s.Post("/gzip", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("Content-Encoding", "gzip");
      res.set_content("not really gzip", "text/plain");
    });
    s.Post("/moved", [&](const httplib::Request&, httplib::Response& res) {
      res.status = 307;
      res.set_header("Location", elsewhere.url("/x"));
    });
  });

  TransferPolicy policy;
  policy.followRedirects = false;
  policy.identityEncodingOnly = true;
  policy.maxReplyBytes = 1000;
  struct Case {
    const char* path;
    long long error;  // 0: no error
    long status;
  };
  const Case cases[] = {
      {"/echo", 0, 200},
      {"/big", NSURLErrorDataLengthExceedsMaximum, 0},
      {"/gzip", NSURLErrorCannotDecodeContentData, 0},
      {"/moved", 0, 307},
  };
  for (const auto& c : cases) {
    URLRequest request(server.url(c.path));
    request.setHTTPMethod("POST");
    request.setValue("application/octet-stream", "Content-Type");
    request.setTransferPolicy(policy);
    // A body of 100000 bytes handed over in pieces of at most 1000.
    auto source = std::make_shared<BodySource>();
    source->length = 100000;
    auto given = std::make_shared<std::size_t>(0);
    source->pull = [given](std::uint8_t* out, std::size_t capacity) -> std::optional<std::size_t> {
      std::size_t n = std::min<std::size_t>({capacity, 1000, 100000 - *given});
      for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>('a' + (*given + i) % 26);
      *given += n;
      return n;
    };
    request.setHTTPBodySource(source);
    SendResult r = sendSynchronousRequest(request);
    EXPECT_EQ(r.error ? r.error->code : 0, c.error) << c.path;
    EXPECT_EQ(r.complete, c.error == 0) << c.path;
    if (c.status) {
      EXPECT_EQ(r.response ? r.response->statusCode : 0, c.status) << c.path;
    }
  }
  EXPECT_EQ(seenEncoding, "identity");
  ASSERT_EQ(seenBody.size(), 100000u);
  EXPECT_EQ(seenBody.substr(0, 3), "abc");
  EXPECT_EQ(elsewhereHits, 0);

  // A source that runs short fails the exchange instead of sending less.
  URLRequest shortBody(server.url("/echo"));
  shortBody.setHTTPMethod("POST");
  auto source = std::make_shared<BodySource>();
  source->length = 10;
  source->pull = [](std::uint8_t*, std::size_t) -> std::optional<std::size_t> { return 0; };
  shortBody.setHTTPBodySource(source);
  SendResult r = sendSynchronousRequest(shortBody);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, NSURLErrorRequestBodyStreamExhausted);
}

TEST(TransferLimits, files_are_never_read_or_replaced_through_a_link) {
  testsupport::TempDir dir;
  const std::string target = dir.write("target", "secret");
  const std::string link = dir.file("link");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(pathKind(link), PathKind::SymbolicLink);
  EXPECT_EQ(pathKind(target), PathKind::Regular);
  EXPECT_EQ(pathKind(dir.file("none")), PathKind::Absent);
  EXPECT_FALSE(isAbsentOrRegularFile(link));
  EXPECT_FALSE(isAbsentOrRegularFile(dir.path()));
  EXPECT_EQ(ReadableFile::open(link).second, OpenFailure::NotRegular);

  // A move never replaces what is at the destination, a link included.
  const std::string from = dir.write("from", "new");
  EXPECT_EQ(moveWithoutReplacing(from, link), MoveOutcome::DestinationExists);
  EXPECT_EQ(moveWithoutReplacing(from, target), MoveOutcome::DestinationExists);
  EXPECT_EQ(readFile(target), dataFromString("secret"));
  EXPECT_EQ(moveWithoutReplacing(from, dir.file("to")), MoveOutcome::Moved);
  EXPECT_FALSE(fileExists(from));

  // A temporary file is gone unless committed; commit never replaces.
  std::string tempPath;
  {
    auto temp = TemporaryFile::createBeside(target);
    ASSERT_TRUE(temp);
    tempPath = temp->path();
    EXPECT_EQ(temp->write(reinterpret_cast<const std::uint8_t*>("x"), 1), 0);
    EXPECT_EQ(temp->commit(target), MoveOutcome::DestinationExists);
  }
  EXPECT_FALSE(fileExists(tempPath));
  EXPECT_EQ(readFile(target), dataFromString("secret"));
}

TEST(TransferLimits, types_the_desktop_would_run_are_told_apart_from_documents) {
  for (const char* runnable : {"desktop", "sh", "SH", "exe", "py", "pl", "jar", "msi", "bat"}) {
    EXPECT_TRUE(isExecutableExtension(runnable)) << runnable;
  }
  for (const char* document : {"doc", "docx", "odt", "pdf", "txt", "csv", "xml", "html", "xlsx", "png"}) {
    EXPECT_FALSE(isExecutableExtension(document)) << document;
  }
}
