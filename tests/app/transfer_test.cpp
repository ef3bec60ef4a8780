#include <gtest/gtest.h>

#include "app/Envelopes.h"
#include "app/TicketDocument.h"
#include "platform/Files.h"
#include "platform/Resources.h"
#include "testsupport/TestSupport.h"
#include "ticketservice/TicketService.h"

using namespace app;
using ticketservice::DownloadCut;
using F = platform::DownloadFailure;

// Error statuses and bodies cut under their length are checked through the
// flow (opening_test.cpp); here, the bounds and the file already there.
TEST(Transfer, a_download_reaches_its_path_only_whole_within_its_bounds_and_never_replaces_a_file) {
  ticketservice::TicketService service({"127.0.0.1", 0, "", platform::pathForResource("caducado.doc").value_or("")});
  ASSERT_TRUE(service.start());
  testsupport::TempDir dir;
  const std::string document(300000, 'd'), mine = dir.write("mine.odt", "my work");
  platform::DownloadLimits small, quick;
  small.maxBytes = 1000;
  quick.deadlineSeconds = 1;
  struct Case {
    std::string what;
    ticketservice::TransportBehaviour behaviour;
    platform::DownloadLimits limits;
    F failure;
  };
  const Case cases[] = {{"whole.odt", {}, {}, F::None},
                        {"large.odt", {}, small, F::TooLarge},
                        {"slow.odt", {200, DownloadCut::None, std::chrono::milliseconds(3000), ""}, quick, F::TimedOut},
                        {"mine.odt", {}, {}, F::DestinationExists}};
  for (const auto& c : cases) {
    service.setTransportBehaviour(c.behaviour);
    const std::string id = service.issue(platform::dataFromString(document), "odt", "7");
    platform::DownloadResult r =
        platform::downloadToFile(downloadAddress(service.baseURL(), id, "7"), dir.file(c.what), c.limits);
    EXPECT_EQ(r.failure, c.failure) << c.what << ": " << r.detail;
    EXPECT_EQ(r.ok, c.failure == F::None) << c.what;
  }
  // Nothing but the whole document, and no temporary file, is left behind.
  EXPECT_EQ(platform::readFile(dir.file("whole.odt")), platform::dataFromString(document));
  EXPECT_EQ(platform::readFile(mine), platform::dataFromString("my work"));
  auto left = platform::folderEntries(dir.path());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"mine.odt", "whole.odt"}));

  // A body without Content-Length, cut short, cannot be told from a whole
  // one; the size and hash tell the flow what arrived.
  service.setTransportBehaviour({200, DownloadCut::NoLength, {}, ""});
  const std::string id = service.issue(platform::dataFromString("abcdef"), "odt", "7");
  platform::DownloadResult cut = platform::downloadToFile(downloadAddress(service.baseURL(), id, "7"), dir.file("n.odt"));
  EXPECT_EQ(cut.size, 3u);
  EXPECT_EQ(cut.sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");  // "abc"
}
