#include <gtest/gtest.h>

#include <sstream>

#include "app/CommandLine.h"

using app::Accion;

TEST(CommandLine, arguments_become_tickets_or_one_option_answered_with_its_exit_status) {
  using V = std::vector<std::string>;
  struct Case {
    V arguments;
    Accion accion;
    V tickets;
  };
  const Case cases[] = {{{}, Accion::Abrir, {}},
                        {{"/a/uno.vldoc", "dos.vldoc"}, Accion::Abrir, {"/a/uno.vldoc", "dos.vldoc"}},
                        {{"--", "--help", "-"}, Accion::Abrir, {"--help", "-"}},
                        {{"x.vldoc", "--help"}, Accion::Ayuda, {}},
                        {{"-h"}, Accion::Ayuda, {}},
                        {{"--version", "--bogus"}, Accion::Version, {}},
                        {{"--pendientes"}, Accion::Pendientes, {}},
                        {{"--pendientes", "x.vldoc"}, Accion::Error, {}},
                        {{"x.vldoc", "--bogus"}, Accion::Error, {}}};
  for (const auto& [arguments, accion, tickets] : cases) {
    app::Invocacion invocacion = app::leerArgumentos(arguments);
    EXPECT_EQ(invocacion.accion, accion) << ::testing::PrintToString(arguments);
    EXPECT_EQ(invocacion.tickets, tickets) << ::testing::PrintToString(arguments);
  }
  std::ostringstream out, err;
  EXPECT_EQ(app::atenderOpciones(app::leerArgumentos({"--version"}), out, err), 0);
  EXPECT_EQ(out.str(), app::textoDeVersion() + "\n");
  EXPECT_EQ(app::textoDeVersion().rfind("vla ", 0), 0u);
  EXPECT_EQ(app::atenderOpciones(app::leerArgumentos({"--nada"}), out, err), 2);
  EXPECT_EQ(err.str(), "vla: opción desconocida: --nada\nPruebe «vla --help».\n");
  EXPECT_FALSE(app::atenderOpciones(app::leerArgumentos({"x.vldoc"}), out, err).has_value());
}
