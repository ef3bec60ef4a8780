# vla_write_desktop_entry(TEMPLATE OUTPUT EXECUTABLE): writes the desktop
# entry from TEMPLATE with EXECUTABLE, an absolute path, in TryExec and Exec.
# The desktop launches the entry without a shell and without looking at PATH,
# so the entry works the moment the install ends, whether or not the install
# folder is on the user's PATH yet. Used at configure time and, when the
# install is sent to another prefix, at install time (this file is also
# included from the install script).
function(vla_write_desktop_entry template output executable)
  if(NOT IS_ABSOLUTE "${executable}")
    message(FATAL_ERROR "The desktop entry needs an absolute path, not '${executable}'")
  endif()
  if(executable MATCHES "[\n\r]")
    message(FATAL_ERROR "The install path holds a line break; a desktop entry cannot name it")
  endif()

  # Exec is a command line: a path with a character the format reserves is
  # quoted, with ", `, $ and \ escaped inside the quotes; % is a field code
  # unless doubled.
  set(exec "${executable}")
  if(exec MATCHES "[ \t\"'\\\\><~|&;$*?#()`]")
    string(REPLACE "\\" "\\\\" exec "${exec}")
    string(REPLACE "\"" "\\\"" exec "${exec}")
    string(REPLACE "`" "\\`" exec "${exec}")
    string(REPLACE "$" "\\$" exec "${exec}")
    set(exec "\"${exec}\"")
  endif()
  string(REPLACE "%" "%%" exec "${exec}")

  # Both keys are strings too, whose own escape rule (applied before the
  # quoting above is undone) doubles each backslash.
  string(REPLACE "\\" "\\\\" VLA_DESKTOP_EXEC "${exec}")
  string(REPLACE "\\" "\\\\" VLA_DESKTOP_TRYEXEC "${executable}")
  configure_file("${template}" "${output}" @ONLY)
endfunction()
