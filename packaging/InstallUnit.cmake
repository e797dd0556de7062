# Installs the serve user unit (run by `cmake --install`, also for the Debian package): its
# ExecStart names quillmar-cli by the full path it is installed at, and it goes where systemd's
# user manager looks for the prefix given at installation: <prefix>/lib/systemd/user for /usr,
# <prefix>/share/systemd/user for the others (/usr/local, ~/.local).
# Wants QUILLMAR_UNIT_TEMPLATE, QUILLMAR_UNIT_STAGING and QUILLMAR_BINDIR set before it.
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(IS_ABSOLUTE "${QUILLMAR_BINDIR}")
  set(cli "${QUILLMAR_BINDIR}/quillmar-cli")
else()
  set(cli "${prefix}/${QUILLMAR_BINDIR}/quillmar-cli")
endif()
# systemd reads '%' as a specifier, and a path with blanks must be quoted.
string(REPLACE "%" "%%" QUILLMAR_CLI_EXEC "${cli}")
if(QUILLMAR_CLI_EXEC MATCHES "[ \t]")
  set(QUILLMAR_CLI_EXEC "\"${QUILLMAR_CLI_EXEC}\"")
endif()
configure_file("${QUILLMAR_UNIT_TEMPLATE}" "${QUILLMAR_UNIT_STAGING}/quillmar-serve.service" @ONLY)
if(prefix STREQUAL "/usr")
  set(units "${prefix}/lib/systemd/user")
else()
  set(units "${prefix}/share/systemd/user")
endif()
file(INSTALL DESTINATION "${units}" TYPE FILE FILES
     "${QUILLMAR_UNIT_STAGING}/quillmar-serve.service")
