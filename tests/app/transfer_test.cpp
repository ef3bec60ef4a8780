#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app/Envelopes.h"
#include "app/TicketDocument.h"
#include "platform/Files.h"
#include "platform/Resources.h"
#include "testsupport/TestSupport.h"
#include "ticketservice/TicketService.h"

using namespace app;
using ticketservice::DownloadCut;

namespace {

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ticketservice::TicketService::Options o;
    o.placeholderPath = platform::pathForResource("caducado.doc").value_or("");
    service = std::make_unique<ticketservice::TicketService>(o);
    ASSERT_TRUE(service->start());
  }

  std::vector<std::string> folder() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::unique_ptr<ticketservice::TicketService> service;
  testsupport::TempDir dir;
};

}  // namespace

TEST_F(TransferTest, a_download_reaches_its_path_only_whole_and_never_replaces_a_file) {
  const std::string document(300000, 'd');
  struct Case {
    const char* what;
    ticketservice::TransportBehaviour behaviour;
    std::uint64_t limit;
    platform::DownloadFailure failure;
  };
  ticketservice::TransportBehaviour status;
  status.downloadStatus = 404;
  ticketservice::TransportBehaviour noLength;
  noLength.downloadCut = DownloadCut::NoLength;
  ticketservice::TransportBehaviour wrongLength;
  wrongLength.downloadCut = DownloadCut::WrongLength;
  const std::vector<Case> cases = {
      {"whole", {}, platform::kDefaultDownloadLimit, platform::DownloadFailure::None},
      {"error status", status, platform::kDefaultDownloadLimit, platform::DownloadFailure::HttpStatus},
      {"cut under its Content-Length", wrongLength, platform::kDefaultDownloadLimit,
       platform::DownloadFailure::Truncated},
      {"over the limit", {}, 1000, platform::DownloadFailure::TooLarge},
  };
  for (const auto& c : cases) {
    const std::string id = service->issue(platform::dataFromString(document), "odt", "7");
    service->setTransportBehaviour(c.behaviour);
    const std::string local = dir.file(std::string(c.what) + ".odt");
    platform::DownloadLimits limits;
    limits.maxBytes = c.limit;
    platform::DownloadResult r = platform::downloadToFile(downloadAddress(service->baseURL(), id, "7"), local, limits);
    EXPECT_EQ(r.failure, c.failure) << c.what << ": " << r.detail;
    EXPECT_EQ(r.ok, c.failure == platform::DownloadFailure::None) << c.what;
    EXPECT_EQ(platform::fileExists(local), r.ok) << c.what;
    EXPECT_FALSE(describirFalloDescarga(r).empty());
  }
  EXPECT_EQ(folder(), (std::vector<std::string>{"whole.odt"}));  // no temporary file left behind
  EXPECT_EQ(platform::readFile(dir.file("whole.odt")), platform::dataFromString(document));

  // A body without Content-Length, cut short, cannot be told from a whole
  // one; the size and hash tell the flow what arrived.
  service->setTransportBehaviour(noLength);
  const std::string id = service->issue(platform::dataFromString("abcdef"), "odt", "7");
  platform::DownloadResult cut = platform::downloadToFile(downloadAddress(service->baseURL(), id, "7"),
                                                          dir.file("cut.odt"));
  EXPECT_EQ(cut.size, 3u);
  EXPECT_EQ(cut.sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");  // "abc"

  // Something already at the path is left as it was.
  service->setTransportBehaviour({});
  const std::string mine = dir.write("mine.odt", "my work");
  platform::DownloadResult taken = platform::downloadToFile(downloadAddress(service->baseURL(), id, "7"), mine);
  EXPECT_EQ(taken.failure, platform::DownloadFailure::DestinationExists);
  EXPECT_EQ(platform::readFile(mine), platform::dataFromString("my work"));

  EXPECT_EQ(describirFalloDescarga({false, platform::DownloadFailure::HttpStatus, 404, "", 0, ""}),
            "el servidor respondió con el estado 404");
}

TEST_F(TransferTest, a_slow_download_fails_at_its_deadline) {
  ticketservice::TransportBehaviour slow;
  slow.downloadDelay = std::chrono::milliseconds(3000);
  service->setTransportBehaviour(slow);
  const std::string id = service->issue(platform::dataFromString("x"), "odt", "7");
  platform::DownloadLimits limits;
  limits.deadlineSeconds = 1;
  platform::DownloadResult r =
      platform::downloadToFile(downloadAddress(service->baseURL(), id, "7"), dir.file("slow.odt"), limits);
  EXPECT_EQ(r.failure, platform::DownloadFailure::TimedOut) << r.detail;
  EXPECT_TRUE(folder().empty());
}
