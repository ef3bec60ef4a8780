#include "app/TicketRecord.h"

#include <chrono>
#include <cstdlib>
#include <algorithm>
#include <map>

#include "app/TicketDocument.h"
#include "platform/Files.h"

namespace app {
namespace {

constexpr char kSufijo[] = ".ticket";
constexpr std::size_t kMaxRegistro = 64 * 1024;
constexpr auto kVidaTerminados = std::chrono::hours(24 * 7);

const std::pair<EstadoTicket, const char*> kEstados[] = {
    {EstadoTicket::Descargado, "descargado"}, {EstadoTicket::Editando, "editando"},
    {EstadoTicket::Subiendo, "subiendo"},     {EstadoTicket::Conservado, "conservado"},
    {EstadoTicket::Terminado, "terminado"},
};

std::string escapar(const std::string& v) {
  std::string out;
  for (char c : v) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

std::string desescapar(std::string_view v) {
  std::string out;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\' || i + 1 == v.size()) {
      out += v[i];
      continue;
    }
    const char n = v[++i];
    out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
  }
  return out;
}

std::string ahora() { return platform::dateDescription(std::chrono::system_clock::now()); }

std::string rutaRegistro(const std::string& ticket) {
  return carpetaRegistros() + "/" + percentEncode(ticket) + kSufijo;
}

}  // namespace

const char* nombreEstado(EstadoTicket estado) {
  for (const auto& [e, nombre] : kEstados) {
    if (e == estado) return nombre;
  }
  return "?";
}

std::string carpetaRegistros() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return std::string(state) + "/vla";
  const char* home = std::getenv("HOME");
  return std::string(home && home[0] ? home : "/tmp") + "/.local/state/vla";
}

std::string textoRegistro(const RegistroTicket& r) {
  std::string t;
  auto campo = [&t](const char* k, const std::string& v) { t += std::string(k) + "=" + escapar(v) + "\n"; };
  campo("ticket", r.ticket);
  campo("instancia", r.instancia);
  campo("vldoc", r.ticketPath);
  campo("documento", r.documentPath);
  campo("tamano", std::to_string(r.size));
  campo("descargado", r.downloadedAt);
  campo("sha256", r.sha256);
  campo("estado", nombreEstado(r.estado));
  campo("conservado_en", r.keptPath);
  campo("motivo", r.motivo);
  campo("actualizado", r.updatedAt);
  return t;
}

std::optional<RegistroTicket> registroDeTexto(const std::string& text) {
  std::map<std::string, std::string, std::less<>> campos;
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    campos[std::string(line.substr(0, eq))] = desescapar(line.substr(eq + 1));
  }
  RegistroTicket r;
  auto it = campos.find("ticket");
  if (it == campos.end() || it->second.empty()) return std::nullopt;
  r.ticket = it->second;
  auto valor = [&campos](const char* k) {
    auto f = campos.find(k);
    return f == campos.end() ? std::string() : f->second;
  };
  bool estadoValido = false;
  const std::string estado = valor("estado");
  for (const auto& [e, nombre] : kEstados) {
    if (estado == nombre) {
      r.estado = e;
      estadoValido = true;
    }
  }
  if (!estadoValido) return std::nullopt;
  r.instancia = valor("instancia");
  r.ticketPath = valor("vldoc");
  r.documentPath = valor("documento");
  const std::string size = valor("tamano");
  char* endp = nullptr;
  r.size = size.empty() ? 0 : std::strtoull(size.c_str(), &endp, 10);
  r.downloadedAt = valor("descargado");
  r.sha256 = valor("sha256");
  r.keptPath = valor("conservado_en");
  r.motivo = valor("motivo");
  r.updatedAt = valor("actualizado");
  return r;
}

bool guardarRegistro(RegistroTicket registro) {
  if (registro.ticket.empty()) return false;
  registro.updatedAt = ahora();
  const std::string carpeta = carpetaRegistros();
  if (!platform::createFolder(carpeta, 0700)) return false;
  return platform::writeAtomically(rutaRegistro(registro.ticket), platform::dataFromString(textoRegistro(registro)));
}

std::optional<RegistroTicket> leerRegistro(const std::string& ticket) {
  if (ticket.empty()) return std::nullopt;
  const platform::BoundedRead read = platform::readRegularFile(rutaRegistro(ticket), kMaxRegistro);
  if (!read.data) return std::nullopt;
  auto r = registroDeTexto(std::string(platform::stringView(*read.data)));
  if (!r || r->ticket != ticket) return std::nullopt;
  return r;
}

std::vector<RegistroTicket> registros() {
  std::vector<std::pair<platform::Date, RegistroTicket>> found;
  const std::string carpeta = carpetaRegistros();
  const auto limite = std::chrono::system_clock::now() - kVidaTerminados;
  for (const std::string& name : platform::folderEntries(carpeta)) {
    if (name.size() <= sizeof kSufijo - 1 || name.compare(name.size() - (sizeof kSufijo - 1), std::string::npos, kSufijo) != 0) continue;
    const std::string path = carpeta + "/" + name;
    const platform::BoundedRead read = platform::readRegularFile(path, kMaxRegistro);
    if (!read.data) continue;
    auto r = registroDeTexto(std::string(platform::stringView(*read.data)));
    if (!r) continue;
    const platform::Date when = platform::modificationDate(path).value_or(platform::Date{});
    if (r->estado == EstadoTicket::Terminado && when < limite) {
      platform::removeItem(path);
      continue;
    }
    found.emplace_back(when, std::move(*r));
  }
  std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<RegistroTicket> out;
  for (auto& f : found) out.push_back(std::move(f.second));
  return out;
}

std::optional<RegistroTicket> registroDeDocumento(const std::string& documentPath) {
  for (auto& r : registros()) {
    if (r.estado == EstadoTicket::Terminado) continue;
    if (r.keptPath == documentPath || (r.keptPath.empty() && r.documentPath == documentPath)) return r;
  }
  return std::nullopt;
}

}  // namespace app
