#pragma once
// vla's command line: ticket documents to open, or one of the options
// --pendientes, --help (-h) and --version. "--" ends the options.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace app {

enum class Accion { Abrir, Pendientes, Ayuda, Version, Error };

struct Invocacion {
  Accion accion = Accion::Abrir;
  std::vector<std::string> tickets;  // for Abrir
  std::string error;                 // for Error: what is wrong, in Spanish
};

// Reads the arguments after the program name. --help and --version win over
// anything after them; an unknown option, or tickets with --pendientes, is an
// Error.
Invocacion leerArgumentos(const std::vector<std::string>& argumentos);

// Carries out every action but Abrir, writing to out (and err for an Error),
// and returns the exit status; nothing for Abrir.
std::optional<int> atenderOpciones(const Invocacion& invocacion, std::ostream& out, std::ostream& err);

// "vla VERSION", from the project's version.
std::string textoDeVersion();
std::string textoDeUso();

}  // namespace app
