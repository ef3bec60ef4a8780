// Peak memory of vla's side of a round trip: a document of 1, 50 and 200 MB
// downloaded from the stand-in service into a file, then uploaded back in a
// streamed SubirFichero request and its reply read. The service runs in a
// process of its own (it holds documents in memory); each round trip runs in
// a fresh child, whose peak resident size (VmHWM) is reported beside that of
// a child that does nothing, and as a ratio to the document's size.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/Envelopes.h"
#include "app/TicketDocument.h"
#include "platform/Files.h"
#include "platform/Http.h"
#include "platform/Resources.h"
#include "ticketservice/TicketService.h"

namespace {

constexpr std::size_t kMB = 1000 * 1000;
const std::size_t kSizes[] = {1 * kMB, 50 * kMB, 200 * kMB};

long peakKiB() {
  long kib = -1;
  if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
      if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    }
    std::fclose(status);
  }
  return kib;
}

// Runs work in a child and returns its peak in KiB (negative on failure).
template <typename Work>
long inChild(Work work) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    long peak = work() ? peakKiB() : -1;
    if (::write(fds[1], &peak, sizeof peak) != sizeof peak) _exit(1);
    _exit(0);
  }
  ::close(fds[1]);
  long peak = -1;
  if (::read(fds[0], &peak, sizeof peak) != sizeof peak) peak = -1;
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  return peak;
}

}  // namespace

int main() {
  // The service process: issues one ticket per size and sends back its
  // address and the ids, then serves until killed.
  int fds[2];
  if (::pipe(fds) != 0) return 1;
  pid_t service = ::fork();
  if (service == 0) {
    ::close(fds[0]);
    ticketservice::TicketService::Options o;
    o.placeholderPath = platform::pathForResource("caducado.doc").value_or("");
    ticketservice::TicketService s(o);
    std::string error;
    if (!s.start(&error)) {
      std::fprintf(stderr, "service: %s\n", error.c_str());
      _exit(1);
    }
    std::string message = s.baseURL();
    for (std::size_t size : kSizes) {
      ticketservice::Bytes doc(size);
      for (std::size_t i = 0; i < size; ++i) doc[i] = static_cast<std::uint8_t>(i * 2654435761u >> 11);
      message += "\n" + s.issue(doc, "odt", "7");
    }
    message += "\n";
    if (::write(fds[1], message.data(), message.size()) != static_cast<ssize_t>(message.size())) _exit(1);
    ::close(fds[1]);
    s.wait();
    _exit(0);
  }
  ::close(fds[1]);
  std::string message;
  char buffer[512];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) message.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = message.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(message.substr(start, end - start));
  }
  if (lines.size() != 1 + std::size(kSizes)) {
    ::kill(service, SIGTERM);
    return 1;
  }
  const std::string base = lines[0];

  char folderTemplate[] = "/tmp/vla-roundtrip-XXXXXX";
  const std::string folder = ::mkdtemp(folderTemplate);

  const long idle = inChild([] { return true; });
  std::printf("%-10s %12s %12s %18s\n", "document", "peak (MB)", "over idle", "over idle / size");
  std::printf("%-10s %12.1f\n", "idle", idle / 1024.0);
  int status = 0;
  for (std::size_t k = 0; k < std::size(kSizes); ++k) {
    const std::string id = lines[1 + k];
    const std::string local = folder + "/doc" + std::to_string(k) + ".odt";
    const long peak = inChild([&] {
      platform::DownloadResult got = platform::downloadToFile(app::downloadAddress(base, id, "7"), local);
      if (!got.ok || got.size != kSizes[k]) return false;
      auto file = std::shared_ptr<platform::ReadableFile>(platform::ReadableFile::open(local).first);
      platform::SendResult sent = platform::sendSynchronousRequest(app::solicitudSOAP(
          app::soapEndpoint(base), "SubirFichero", app::sobreSubirFicheroEnPiezas("7", id, file)));
      const long code = sent.response ? sent.response->statusCode : 0;
      return app::leerRespuestaSubida(sent.body.value_or(platform::Data{}), code, sent.complete).accepted;
    });
    ::unlink(local.c_str());
    if (peak < 0) {
      std::printf("%-10s round trip failed\n", (std::to_string(kSizes[k] / kMB) + " MB").c_str());
      status = 1;
      continue;
    }
    const double overIdleMB = (peak - idle) / 1024.0;
    std::printf("%-10s %12.1f %12.1f %18.3f\n", (std::to_string(kSizes[k] / kMB) + " MB").c_str(), peak / 1024.0,
                overIdleMB, overIdleMB * 1024 * 1024 / static_cast<double>(kSizes[k]));
  }
  ::rmdir(folder.c_str());
  ::kill(service, SIGTERM);
  ::waitpid(service, nullptr, 0);
  return status;
}
