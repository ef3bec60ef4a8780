#include "app/TicketRecord.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>

#include "app/TicketDocument.h"
#include "platform/Files.h"

namespace app {
namespace {

constexpr char kSufijo[] = ".ticket";
constexpr auto kVidaTerminados = std::chrono::hours(24 * 7);
constexpr std::size_t kMaxRuta = 4096;
constexpr std::size_t kMaxTexto = 2048;

const std::pair<EstadoTicket, const char*> kEstados[] = {
    {EstadoTicket::Descargando, "descargando"}, {EstadoTicket::Descargado, "descargado"},
    {EstadoTicket::Editando, "editando"},       {EstadoTicket::Subiendo, "subiendo"},
    {EstadoTicket::Confirmado, "confirmado"},   {EstadoTicket::Conservado, "conservado"},
    {EstadoTicket::Terminado, "terminado"},
};

std::atomic<PuntoDeControl> gPunto{nullptr};

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

// Nothing for an escape other than the three written.
std::optional<std::string> desescapar(std::string_view v) {
  std::string out;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\') {
      out += v[i];
      continue;
    }
    if (++i == v.size()) return std::nullopt;
    switch (v[i]) {
      case '\\': out += '\\'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      default: return std::nullopt;
    }
  }
  return out;
}

std::string ahora() { return platform::dateDescription(std::chrono::system_clock::now()); }

std::string carpetaDe(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "" : slash == 0 ? "/" : path.substr(0, slash);
}

bool esHex64(std::string_view s) {
  return s.size() == 64 && s.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::optional<std::uint64_t> numero(std::string_view s) {
  std::uint64_t value = 0;
  if (s.empty() || s.size() > 20 || s.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (error != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

// An absolute path without NUL, "." or ".." components, of a sound length.
bool esRutaAbsoluta(std::string_view p) {
  if (p.empty() || p[0] != '/' || p.size() > kMaxRuta || p.find('\0') != std::string_view::npos) return false;
  for (std::size_t start = 1; start <= p.size();) {
    const std::size_t end = std::min(p.find('/', start), p.size());
    const std::string_view part = p.substr(start, end - start);
    if (part == "." || part == ".." || (part.empty() && end != p.size())) return false;
    start = end + 1;
  }
  return true;
}

bool esTextoLimpio(std::string_view t) { return t.size() <= kMaxTexto && t.find('\0') == std::string_view::npos; }

std::string nombreFichero(const std::string& clave) { return clave + kSufijo; }

}  // namespace

void fijarPuntoDeControl(PuntoDeControl punto) { gPunto.store(punto); }

void puntoDeControl(const char* paso) {
  if (PuntoDeControl punto = gPunto.load()) punto(paso);
}

const char* nombreEstado(EstadoTicket estado) {
  for (const auto& [e, nombre] : kEstados) {
    if (e == estado) return nombre;
  }
  return "?";
}

std::string claveRegistro(const std::string& servidor, const std::string& ticket, const std::string& instancia,
                          const std::string& carpeta) {
  // NUL cannot be in any of the four, so the joined text names them alone.
  std::string joined = servidor;
  for (const std::string* part : {&ticket, &instancia, &carpeta}) joined += '\0', joined += *part;
  return platform::sha256Hex(joined);
}

std::string claveRegistro(const RegistroTicket& r) {
  return claveRegistro(r.servidor, r.ticket, r.instancia, r.carpeta);
}

std::optional<std::string> carpetaRegistros() {
  const auto absoluta = [](const char* v) { return (v != nullptr) && v[0] == '/'; };
  const char* state = std::getenv("XDG_STATE_HOME");
  if (absoluta(state)) return std::string(state) + "/vla";
  const char* home = std::getenv("HOME");
  if (absoluta(home)) return std::string(home) + "/.local/state/vla";
  if (auto cuenta = platform::accountHomeFolder(); cuenta && absoluta(cuenta->c_str()))
    return *cuenta + "/.local/state/vla";
  return std::nullopt;
}

CarpetaRegistros abrirCarpetaRegistros(bool crear) {
  CarpetaRegistros out;
  const std::optional<std::string> ruta = carpetaRegistros();
  if (!ruta) {
    out.problema = "no se sabe cuál es la carpeta personal (HOME y XDG_STATE_HOME no están definidas)";
    return out;
  }
  out.ruta = *ruta;
  std::string problema;
  out.carpeta = platform::PrivateFolder::open(*ruta, crear, &problema);
  if (!out.carpeta && !problema.empty()) out.problema = *ruta + ": " + problema;
  if (out.carpeta) out.carpeta->removeLeftTemporaries();
  return out;
}

std::string textoRegistro(const RegistroTicket& r) {
  std::string t;
  auto campo = [&t](const char* k, const std::string& v) { t += std::string(k) + "=" + escapar(v) + "\n"; };
  campo("servidor", r.servidor);
  campo("ticket", r.ticket);
  campo("instancia", r.instancia);
  campo("carpeta", r.carpeta);
  campo("vldoc", r.ticketPath);
  campo("documento", r.documentPath);
  campo("tamano", std::to_string(r.size));
  campo("descargado", r.downloadedAt);
  campo("sha256", r.sha256);
  campo("estado", nombreEstado(r.estado));
  campo("conservado_en", r.keptPath);
  campo("motivo", r.motivo);
  campo("actualizado", r.updatedAt);
  if (r.fichero) {
    campo("fichero_dispositivo", std::to_string(r.fichero->device));
    campo("fichero_inodo", std::to_string(r.fichero->inode));
    campo("fichero_nacimiento", std::to_string(r.fichero->birth));
    campo("fichero_tamano", std::to_string(r.fichero->size));
    campo("fichero_sha256", r.fichero->sha256);
  }
  return t;
}

std::optional<RegistroTicket> registroDeTexto(std::string_view text) {
  static constexpr const char* kCampos[] = {"servidor",       "ticket",
                                            "instancia",      "carpeta",
                                            "vldoc",          "documento",
                                            "tamano",         "descargado",
                                            "sha256",         "estado",
                                            "conservado_en",  "motivo",
                                            "actualizado",    "fichero_dispositivo",
                                            "fichero_inodo",  "fichero_tamano",
                                            "fichero_sha256", "fichero_nacimiento"};
  if (text.size() > kMaxRegistro || text.find('\0') != std::string_view::npos) return std::nullopt;
  std::map<std::string, std::string, std::less<>> campos;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // every line ends: a cut record is no record
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    const std::string_view key = line.substr(0, eq);
    if (std::find(std::begin(kCampos), std::end(kCampos), key) == std::end(kCampos)) return std::nullopt;
    std::optional<std::string> value = desescapar(line.substr(eq + 1));
    if (!value || !campos.emplace(std::string(key), std::move(*value)).second) return std::nullopt;
  }
  auto valor = [&campos](const char* k) {
    auto f = campos.find(k);
    return f == campos.end() ? std::string() : f->second;
  };
  RegistroTicket r;
  r.servidor = valor("servidor");
  r.ticket = valor("ticket");
  r.instancia = valor("instancia");
  r.carpeta = valor("carpeta");
  r.ticketPath = valor("vldoc");
  r.documentPath = valor("documento");
  r.downloadedAt = valor("descargado");
  r.sha256 = valor("sha256");
  r.keptPath = valor("conservado_en");
  r.motivo = valor("motivo");
  r.updatedAt = valor("actualizado");
  if (r.servidor.empty() || !esTextoLimpio(r.servidor) || hasControlCharacters(r.servidor)) return std::nullopt;
  if (!isCleanId(r.ticket) || !isCleanId(r.instancia) || r.ticket.size() > kMaxTexto ||
      r.instancia.size() > kMaxTexto) {
    return std::nullopt;
  }
  // The ticket document and its document are in the ticket's folder.
  if (!esRutaAbsoluta(r.carpeta) || !esRutaAbsoluta(r.ticketPath) || !esRutaAbsoluta(r.documentPath) ||
      carpetaDe(r.ticketPath) != r.carpeta || carpetaDe(r.documentPath) != r.carpeta ||
      r.documentPath == r.ticketPath) {
    return std::nullopt;
  }
  if ((!r.keptPath.empty() && !esRutaAbsoluta(r.keptPath)) || !esTextoLimpio(r.motivo) ||
      !esTextoLimpio(r.downloadedAt) || !esTextoLimpio(r.updatedAt)) {
    return std::nullopt;
  }
  const std::string estado = valor("estado");
  const auto* const e =
      std::find_if(std::begin(kEstados), std::end(kEstados), [&](auto& p) { return estado == p.second; });
  if (e == std::end(kEstados)) return std::nullopt;
  r.estado = e->first;
  const std::optional<std::uint64_t> size = numero(valor("tamano"));
  if (!size) return std::nullopt;
  r.size = *size;
  // Between the download and the end, the download's hash is known.
  const bool sinDescarga = r.estado == EstadoTicket::Descargando || r.estado == EstadoTicket::Terminado;
  if (sinDescarga ? !r.sha256.empty() && !esHex64(r.sha256) : !esHex64(r.sha256)) {
    return std::nullopt;
  }
  const std::size_t identidad = campos.count("fichero_dispositivo") + campos.count("fichero_inodo") +
                                campos.count("fichero_nacimiento") + campos.count("fichero_tamano") +
                                campos.count("fichero_sha256");
  if (identidad == 5) {
    const auto device = numero(valor("fichero_dispositivo"));
    const auto inode = numero(valor("fichero_inodo"));
    const auto birth = numero(valor("fichero_nacimiento"));
    const auto fsize = numero(valor("fichero_tamano"));
    const std::string sha = valor("fichero_sha256");
    if (!device || !inode || !birth || !fsize || !esHex64(sha)) return std::nullopt;
    r.fichero = platform::FileIdentity{*device, *inode, *birth, *fsize, sha};
  } else if (identidad != 0) {
    return std::nullopt;
  }
  return r;
}

std::optional<std::string> guardarRegistro(RegistroTicket registro) {
  if (!registroDeTexto(textoRegistro(registro))) return "el registro no es válido";
  registro.updatedAt = ahora();
  CarpetaRegistros carpeta = abrirCarpetaRegistros(true);
  if (!carpeta.carpeta)
    return carpeta.problema.empty() ? "no se puede crear la carpeta de registros" : carpeta.problema;
  const std::string texto = textoRegistro(registro);
  if (texto.size() > kMaxRegistro) return "el registro es demasiado grande";
  const int error =
      carpeta.carpeta->writeAtomically(nombreFichero(claveRegistro(registro)), platform::dataFromString(texto));
  if (error != 0) return "no se puede escribir en " + carpeta.ruta + ": " + std::strerror(error);
  return std::nullopt;
}

std::optional<RegistroTicket> leerRegistro(const std::string& clave) {
  if (!esHex64(clave)) return std::nullopt;
  CarpetaRegistros carpeta = abrirCarpetaRegistros(false);
  if (!carpeta.carpeta) return std::nullopt;
  const platform::BoundedRead read = carpeta.carpeta->read(nombreFichero(clave), kMaxRegistro);
  if (!read.data) return std::nullopt;
  auto r = registroDeTexto(platform::stringView(*read.data));
  // A record filed under another ticket's name is not this ticket's.
  if (!r || claveRegistro(*r) != clave) return std::nullopt;
  return r;
}

std::vector<RegistroTicket> registros(std::string* problema) {
  std::vector<std::pair<platform::Date, RegistroTicket>> found;
  CarpetaRegistros carpeta = abrirCarpetaRegistros(false);
  if (problema) *problema = carpeta.problema;
  if (!carpeta.carpeta) return {};
  const auto limite = std::chrono::system_clock::now() - kVidaTerminados;
  constexpr std::size_t kLargo = 64 + sizeof kSufijo - 1;
  for (const std::string& name : carpeta.carpeta->entries()) {
    if (name.size() != kLargo || name.compare(64, std::string::npos, kSufijo) != 0) continue;
    const platform::BoundedRead read = carpeta.carpeta->read(name, kMaxRegistro);
    if (!read.data) continue;
    auto r = registroDeTexto(platform::stringView(*read.data));
    if (!r || nombreFichero(claveRegistro(*r)) != name) continue;
    const platform::Date when = carpeta.carpeta->modificationDate(name).value_or(platform::Date{});
    if (r->estado == EstadoTicket::Terminado && when < limite) {
      carpeta.carpeta->remove(name);
      continue;
    }
    found.emplace_back(when, std::move(*r));
  }
  std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<RegistroTicket> out;
  out.reserve(found.size());
  for (auto& f : found) out.push_back(std::move(f.second));
  return out;
}

}  // namespace app
