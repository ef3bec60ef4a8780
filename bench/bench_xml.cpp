// Parse throughput of the XML reader against pugixml, side by side in one
// run, on four documents: a ~600-byte SOAP reply, a 10 MB reply holding one
// large Base64 text, a 20 MB list of ~200,000 small elements with
// attributes, and a document nested 5,000 deep.
//
// Every contender pays for its own copy of the input: KDXML copies inside
// kdxmlWithXMLData; pugixml parses in place (load_buffer_inplace) a buffer
// the benchmark allocates and fills each iteration. Both free their tree in
// the loop. memchr and strlen over the same bytes are the floor.
//
// The allocator is told to keep freed memory (mallopt), so that every
// contender reuses the pages of its previous iteration: on virtual machines
// where a page fault is slow the runs would otherwise measure the kernel.
// After the usual output a table gives MB/s and the ratios against pugixml.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "BenchQuick.h"
#include "xml/KDXML.h"

namespace {

std::string soapReply() {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
         "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
         "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">\r\n"
         "  <soap:Header>\r\n"
         "    <Sesion xmlns=\"http://velmora.example/tickets/\">\r\n"
         "      <Id>8f14e45f-ceea-467f-a0e6-6ed3a4b2c1d9</Id>\r\n"
         "    </Sesion>\r\n"
         "  </soap:Header>\r\n"
         "  <soap:Body>\r\n"
         "    <SubirFicheroResponse xmlns=\"http://velmora.example/tickets/\">\r\n"
         "      <SubirFicheroResult>\r\n"
         "      </SubirFicheroResult>\r\n"
         "      <Ticket tipo=\"doc\" instancia=\"4711\">A7F3-99C2-11E0-B5D3</Ticket>\r\n"
         "      <Servidor>web.velmora.example</Servidor>\r\n"
         "    </SubirFicheroResponse>\r\n"
         "  </soap:Body>\r\n"
         "</soap:Envelope>\r\n";
}

std::string base64Reply() {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
      "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
      "<SubirFichero xmlns=\"http://velmora.example/tickets/\"><ticket>A7F3</ticket><fichero>";
  std::uint32_t state = 12345;
  const std::size_t size = 10u * 1000 * 1000;
  text.reserve(size + 200);
  while (text.size() < size) {
    state = state * 1103515245u + 12345u;
    text += alphabet[(state >> 16) & 63];
  }
  text += "==</fichero></SubirFichero></soap:Body></soap:Envelope>\r\n";
  return text;
}

std::string manySmallElements() {
  std::string text = "<?xml version=\"1.0\"?>\n<items count=\"200000\">\n";
  text.reserve(21u * 1000 * 1000);
  for (int i = 0; i < 200000; ++i) {
    const std::string n = std::to_string(i);
    text += "  <item id=\"" + n + "\" name='item" + n + "' kind=\"small\" flag=\"" + (i % 2 ? "yes" : "no") +
            "\">value " + n + "</item>\n";
  }
  text += "</items>\n";
  return text;
}

std::string deeplyNested() {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "<level depth=\"" + std::to_string(i) + "\">";
  text += "bottom";
  for (int i = 0; i < 5000; ++i) text += "</level>";
  return text;
}

struct Document {
  const char* name;
  std::string bytes;
  platform::Data data;
};

std::vector<Document>& documents() {
  static std::vector<Document> all = [] {
    std::vector<Document> out;
    for (auto [name, text] : {std::pair<const char*, std::string>{"soap_600B", soapReply()},
                              {"base64_10MB", base64Reply()},
                              {"small_elements_20MB", manySmallElements()},
                              {"nested_5000", deeplyNested()}}) {
      out.push_back({name, text, platform::dataFromString(text)});
    }
    return out;
  }();
  return all;
}

// Runs `work` once per benchmark iteration, a batch of `batch` times (so a
// sample of a tiny document lasts long enough to time), and keeps the best
// throughput of any sample: on a shared machine the fastest sample is the
// one least disturbed by others.
template <typename Work>
void measure(benchmark::State& state, const Document* doc, std::size_t batch, Work&& work) {
  const std::size_t size = doc->bytes.size();
  double best = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < batch; ++i) work();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (took.count() > 0) best = std::max(best, static_cast<double>(size * batch) / took.count() / 1e6);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * batch * size));
  state.counters["best_MBps"] = best;
}

// Parses of a document per sample: enough for about 64 KB.
std::size_t parseBatch(const Document* doc) { return std::max<std::size_t>(1, 65536 / doc->bytes.size()); }

void parseKDXML(benchmark::State& state, const Document* doc) {
  measure(state, doc, parseBatch(doc), [doc] {
    auto parsed = xml::KDXML::kdxmlWithXMLData(doc->data);
    benchmark::DoNotOptimize(parsed->rootXMLElement());
  });
}

void parsePugi(benchmark::State& state, const Document* doc, unsigned flags) {
  const std::size_t size = doc->bytes.size();
  measure(state, doc, parseBatch(doc), [&] {
    std::unique_ptr<char[]> buffer(new char[size]);
    std::memcpy(buffer.get(), doc->bytes.data(), size);
    pugi::xml_document parsed;
    pugi::xml_parse_result result = parsed.load_buffer_inplace(buffer.get(), size, flags, pugi::encoding_utf8);
    if (!result) state.SkipWithError(result.description());
    benchmark::DoNotOptimize(parsed.first_child());
  });
}

// The floors scan 64 KB or more per sample too.
void scanMemchr(benchmark::State& state, const Document* doc) {
  measure(state, doc, parseBatch(doc),
          [doc] { benchmark::DoNotOptimize(std::memchr(doc->bytes.data(), 0, doc->bytes.size())); });
}

void scanStrlen(benchmark::State& state, const Document* doc) {
  measure(state, doc, parseBatch(doc), [doc] { benchmark::DoNotOptimize(std::strlen(doc->bytes.c_str())); });
}

const char* const kContenders[] = {"KDXML", "pugixml_minimal", "pugixml_default", "memchr", "strlen"};

// Prints the console output and keeps each run's throughput for the table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0 || run.error_occurred) continue;
      const std::string name = run.benchmark_name();
      const std::size_t slash = name.find('/');
      const std::size_t second = name.find('/', slash + 1);
      if (slash == std::string::npos || second == std::string::npos) continue;
      const std::string doc = name.substr(slash + 1, second - slash - 1);
      const std::size_t third = name.find('/', second + 1);
      const std::string who =
          name.substr(second + 1, third == std::string::npos ? std::string::npos : third - second - 1);
      const auto counter = run.counters.find("best_MBps");
      if (counter == run.counters.end()) continue;
      double& best = mbPerSecond_[doc][who];
      best = std::max(best, counter->second.value);
    }
  }

  void printTable() const {
    std::printf(
        "\nParse throughput in MB/s (copy included; the best sample of all repetitions),\n"
        "and KDXML's ratio to each reference\n");
    std::printf("%-20s %9s %9s %9s %9s %9s   %8s %8s\n", "document", "KDXML", "pugi-min", "pugi-def", "memchr",
                "strlen", "/pugimin", "/pugidef");
    for (const Document& d : documents()) {
      auto it = mbPerSecond_.find(d.name);
      if (it == mbPerSecond_.end()) continue;
      const auto& row = it->second;
      const auto get = [&](const char* who) {
        auto found = row.find(who);
        return found == row.end() ? 0.0 : found->second;
      };
      const double ours = get("KDXML");
      const double minimal = get("pugixml_minimal");
      const double standard = get("pugixml_default");
      std::printf("%-20s %9.0f %9.0f %9.0f %9.0f %9.0f   %7.2fx %7.2fx\n", d.name, ours, minimal, standard,
                  get("memchr"), get("strlen"), minimal > 0 ? ours / minimal : 0.0,
                  standard > 0 ? ours / standard : 0.0);
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> mbPerSecond_;
};

}  // namespace

int main(int argc, char** argv) {
  ::mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  ::mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
  // A quick run takes the command line's times instead.
  const auto timed = [quick = benchQuick()](benchmark::internal::Benchmark* b, double seconds, bool repeated) {
    if (quick) return;
    b->MinTime(seconds);
    if (repeated) b->MinWarmUpTime(0.2)->Repetitions(3);
  };
  for (const Document& doc : documents()) {
    const std::string prefix = std::string("parse/") + doc.name + "/";
    timed(benchmark::RegisterBenchmark((prefix + kContenders[0]).c_str(), parseKDXML, &doc), 0.3, true);
    timed(benchmark::RegisterBenchmark((prefix + kContenders[1]).c_str(), parsePugi, &doc, pugi::parse_minimal), 0.3,
          true);
    timed(benchmark::RegisterBenchmark((prefix + kContenders[2]).c_str(), parsePugi, &doc, pugi::parse_default), 0.3,
          true);
    timed(benchmark::RegisterBenchmark((prefix + kContenders[3]).c_str(), scanMemchr, &doc), 0.1, false);
    timed(benchmark::RegisterBenchmark((prefix + kContenders[4]).c_str(), scanStrlen, &doc), 0.1, false);
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printTable();
  benchmark::Shutdown();
  return 0;
}
