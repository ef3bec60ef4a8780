// vla-ticket-service: the stand-in ticket web service and its command line.
//
//   vla-ticket-service serve [--host H] [--port N] [--data DIR] [--placeholder FILE] [--port-file FILE]
//   vla-ticket-service issue --server URL [--instance N] [--ext EXT] [--out X.vldoc] FILE
//   vla-ticket-service behave --server URL MODE [--text T] [--delay-ms N] [--download-status N]
//                      [--download-delay-ms N] [--download-cut nolength|wronglength] [--redirect BASE]
//   vla-ticket-service journal --server URL
//   vla-ticket-service shutdown --server URL
//
// MODE is accept, refuse, fault, notxml, drop or cut (see TicketService.h).
#include <httplib.h>
#include <csignal>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Resources.h"
#include "ticketservice/TicketService.h"

namespace {

struct Args {
  std::string command;
  std::map<std::string, std::string> options;
  std::vector<std::string> positional;
};

int usage() {
  std::cerr
      << "uso:\n"
         "  vla-ticket-service serve [--host H] [--port N] [--data DIR] [--placeholder FILE] [--port-file FILE]\n"
         "  vla-ticket-service issue --server URL [--instance N] [--ext EXT] [--out X.vldoc] FILE\n"
         "  vla-ticket-service behave --server URL accept|refuse|fault|notxml|drop|cut [--text T] [--delay-ms N]\n"
         "      [--download-status N] [--download-delay-ms N] [--download-cut nolength|wronglength]\n"
         "      [--redirect BASE]\n"
         "  vla-ticket-service journal --server URL\n"
         "  vla-ticket-service shutdown --server URL\n";
  return 2;
}

bool parse(int argc, char** argv, Args& args) {
  if (argc < 2) return false;
  args.command = argv[1];
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--", 0) == 0) {
      if (i + 1 >= argc) return false;
      args.options[a.substr(2)] = argv[++i];
    } else {
      args.positional.push_back(a);
    }
  }
  return true;
}

std::string option(const Args& args, const std::string& name, const std::string& fallback = "") {
  auto it = args.options.find(name);
  return it == args.options.end() ? fallback : it->second;
}

int serve(const Args& args) {
  ticketservice::TicketService::Options o;
  o.host = option(args, "host", "127.0.0.1");
  o.port = std::atoi(option(args, "port", "0").c_str());
  o.dataDir = option(args, "data");
  o.placeholderPath = option(args, "placeholder", platform::pathForResource("caducado.doc").value_or(""));

  // Signals are taken by a thread of their own with sigwait, so they are
  // blocked before any other thread starts.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  ticketservice::TicketService service(o);
  std::string error;
  if (!service.start(&error)) {
    std::cerr << "vla-ticket-service: " << error << "\n";
    return 1;
  }
  std::cout << service.port() << std::endl;
  std::cerr << "vla-ticket-service: escuchando en " << service.baseURL()
            << (o.dataDir.empty() ? "" : " (datos en " + o.dataDir + ")") << std::endl;
  std::string portFile = option(args, "port-file");
  if (!portFile.empty()) {
    std::ofstream(portFile) << service.port() << "\n";
  }
  std::thread signals([&service, set] {
    int sig = 0;
    sigwait(&set, &sig);
    service.requestStop();
  });
  signals.detach();
  service.wait();
  service.stop();
  std::cerr << "vla-ticket-service: fin" << std::endl;
  return 0;
}

// Splits "http://host:port" for the client.
std::unique_ptr<httplib::Client> client(const Args& args) {
  std::string server = option(args, "server");
  if (server.empty()) {
    std::cerr << "vla-ticket-service: falta --server URL\n";
    return nullptr;
  }
  auto c = std::make_unique<httplib::Client>(server);
  c->set_read_timeout(30, 0);
  return c;
}

int issue(const Args& args) {
  if (args.positional.size() != 1) return usage();
  auto c = client(args);
  if (!c) return 2;
  std::filesystem::path file = args.positional[0];
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::cerr << "vla-ticket-service: no se puede leer " << file << "\n";
    return 1;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  std::string ext = option(args, "ext", file.has_extension() ? file.extension().string().substr(1) : "doc");
  std::filesystem::path out = option(args, "out", file.stem().string() + ".vldoc");
  // The local document lands beside the ticket document under the same
  // name: it must not be the file being issued, which vla removes at the end.
  std::filesystem::path local = out;
  local.replace_extension(ext);
  std::error_code ec;
  if (std::filesystem::equivalent(std::filesystem::absolute(local), std::filesystem::absolute(file), ec)) {
    std::cerr << "vla-ticket-service: el ticket " << out << " abriría el propio " << file
              << "; elija otra carpeta con --out\n";
    return 1;
  }
  httplib::Params params{{"ext", ext}, {"instance", option(args, "instance", "1")}, {"name", file.filename().string()}};
  std::string path = httplib::append_query_params("/admin/tickets", params);
  auto res = c->Post(path, ss.str(), "application/octet-stream");
  if (!res || res->status != 200) {
    std::cerr << "vla-ticket-service: el servicio no respondió\n";
    return 1;
  }
  std::ofstream(out, std::ios::binary) << res->body;
  std::cout << out.string() << std::endl;
  return 0;
}

int behave(const Args& args) {
  if (args.positional.size() != 1) return usage();
  auto c = client(args);
  if (!c) return 2;
  httplib::Params params{{"mode", args.positional[0]}};
  if (args.options.contains("text")) params.emplace("text", option(args, "text"));
  if (args.options.contains("delay-ms")) params.emplace("delay_ms", option(args, "delay-ms"));
  for (const char* name : {"download-status", "download-delay-ms", "download-cut", "redirect"}) {
    std::string key = name;
    std::replace(key.begin(), key.end(), '-', '_');
    if (args.options.contains(name)) params.emplace(key, option(args, name));
  }
  auto res = c->Post(httplib::append_query_params("/admin/behaviour", params), "", "text/plain");
  if (!res || res->status != 200) {
    std::cerr << "vla-ticket-service: no aceptado\n";
    return 1;
  }
  return 0;
}

int simple(const Args& args, bool post, const std::string& path) {
  auto c = client(args);
  if (!c) return 2;
  auto res = post ? c->Post(path, "", "text/plain") : c->Get(path);
  if (!res || res->status != 200) return 1;
  std::cout << res->body;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (!parse(argc, argv, args)) return usage();
  if (args.command == "serve") return serve(args);
  if (args.command == "issue") return issue(args);
  if (args.command == "behave") return behave(args);
  if (args.command == "journal") return simple(args, false, "/admin/journal");
  if (args.command == "shutdown") return simple(args, true, "/admin/shutdown");
  return usage();
}
