// Feeds arbitrary bytes to the readers of the service's replies, under a
// status and completeness taken from the first byte, and checks that an
// upload is only ever confirmed by a complete 2xx reply that ends with its
// Envelope's closing tag.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/Envelopes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const long statuses[] = {200, 204, 302, 307, 404, 500, 0, 299};
  const long status = statuses[data[0] & 7];
  const bool complete = (data[0] & 8) != 0;
  const platform::Data reply(data + 1, data + size);

  app::UploadVerdict verdict = app::leerRespuestaSubida(reply, status, complete);
  if (verdict.accepted) {
    std::string_view text = platform::stringView(reply);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r' || text.back() == '\t')) {
      text.remove_suffix(1);
    }
    if (!complete || status < 200 || status > 299 || !verdict.resultText.empty() || !verdict.reason.empty() ||
        text.empty() || text.back() != '>' || text.find("Envelope") == std::string_view::npos) {
      std::abort();
    }
  } else if (verdict.reason.empty()) {
    std::abort();
  }
  app::RespuestaBorrado deletion = app::leerRespuestaBorrado(reply, status, complete);
  if (deletion.ok != deletion.reason.empty()) std::abort();
  if (deletion.ok && (!complete || status < 200 || status > 299)) std::abort();
  return 0;
}
