# The Debian package (cpack -G DEB, see "./run package"): vla, its resources,
# the desktop entry, the MIME type, the manual page and the Debian
# documentation files; nothing else is installed (the stand-in ticket service
# and the tests have no install rules). The library dependencies are computed
# by dpkg-shlibdeps. The package needs no maintainer scripts: its files in
# /usr/share/applications and /usr/share/mime/packages set off the triggers of
# desktop-file-utils and shared-mime-info, which refresh the databases.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vla)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_CONTACT "vla maintainers <maintainers@users.noreply.c-seed-708f1d0b.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "edit Velmora Web documents in the desktop's own editor")
# CPack puts the summary above this, as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "vla opens the ticket documents (.vldoc) that Velmora Web hands out: it
downloads the document, opens it in the desktop's default editor for its
type, and when the editor lets go of it uploads the saved document to the
ticket web service, or drops the ticket when nothing was saved. An edit the
server does not take is kept, and the user is told where.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The type of *.vldoc comes from the shared MIME database; the desktop
# database makes the opener quick to find.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "shared-mime-info")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "desktop-file-utils")
set(CPACK_STRIP_FILES ON)
# Debian's modes and ownership for everything, including folders CPack makes.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
include(CPack)
