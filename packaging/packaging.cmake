# Install rules and packages. `cmake --install` installs the console with its manual page and
# documentation (component "console") and the demo server with its own manual page (component
# "demo_server"). CPack builds a Debian package of the console alone: the demo server is a
# stand-in for trying the console and for its tests, not something the machines that connect
# to the real server need. The "windows-zip" target packs the Windows builds.
include(GNUInstallDirs)

# Directories in the packages get the usual modes whatever the umask of the build.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The copyright file in the machine-readable form Debian uses, with the licence's text from
# LICENSE: each line indented by one space, an empty line written as " .".
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE VELDRIN_LICENSE_TEXT)
string(STRIP "${VELDRIN_LICENSE_TEXT}" VELDRIN_LICENSE_TEXT)
string(REGEX REPLACE "\n\n" "\n.\n" VELDRIN_LICENSE_TEXT "${VELDRIN_LICENSE_TEXT}")
string(REPLACE "\n" "\n " VELDRIN_LICENSE_TEXT "${VELDRIN_LICENSE_TEXT}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/copyright.in
               ${PROJECT_BINARY_DIR}/copyright @ONLY)

# The changelog, in Debian's format; its latest entry must be this version's.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog VELDRIN_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT VELDRIN_CHANGELOG_TOP MATCHES "^veldrin \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog starts with \"${VELDRIN_CHANGELOG_TOP}\": its "
                      "latest entry must be for version ${PROJECT_VERSION}")
endif()

# Manual pages, the README and the changelog are installed compressed, as Debian has them
# (gzip -9n: no name or time stamp in the file, so that the same text gives the same bytes).
find_program(VELDRIN_GZIP gzip REQUIRED)
set(VELDRIN_COMPRESSED)
function(veldrin_compress source name)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/compressed/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/compressed
    COMMAND ${VELDRIN_GZIP} -9n -c ${source} > ${PROJECT_BINARY_DIR}/compressed/${name}.gz
    DEPENDS ${source} VERBATIM)
  set(VELDRIN_COMPRESSED ${VELDRIN_COMPRESSED} ${PROJECT_BINARY_DIR}/compressed/${name}.gz
      PARENT_SCOPE)
endfunction()
veldrin_compress(${PROJECT_SOURCE_DIR}/man/veldrin.1 veldrin.1)
veldrin_compress(${PROJECT_SOURCE_DIR}/README.md README.md)
veldrin_compress(${PROJECT_SOURCE_DIR}/packaging/debian/changelog changelog)
if(TARGET kestrane-demo-server)
  veldrin_compress(${PROJECT_SOURCE_DIR}/man/kestrane-demo-server.1 kestrane-demo-server.1)
endif()
add_custom_target(compressed-docs ALL DEPENDS ${VELDRIN_COMPRESSED})

install(TARGETS veldrin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT console)
# An installation stripped of its symbols (cmake --install --strip, and the package) loses the
# compilers' notes too: the .comment section is of no use in an installed program.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/veldrin\"
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()" COMPONENT console)
install(FILES ${PROJECT_BINARY_DIR}/compressed/veldrin.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT console)
install(FILES ${PROJECT_BINARY_DIR}/compressed/README.md.gz
              ${PROJECT_BINARY_DIR}/compressed/changelog.gz ${PROJECT_BINARY_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT console)
if(TARGET kestrane-demo-server)
  install(TARGETS kestrane-demo-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT demo_server)
  install(FILES ${PROJECT_BINARY_DIR}/compressed/kestrane-demo-server.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT demo_server)
endif()

set(CPACK_PACKAGE_NAME veldrin)
set(CPACK_PACKAGE_VENDOR "The veldrin developers")
set(CPACK_PACKAGE_CONTACT "The veldrin developers <veldrin@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console for the Kestrane Database Manager server")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "A thin terminal that keeps one TCP connection to the server, shows the"
    "server's text as it arrives and sends the user's keys back. It runs"
    "interactively, or runs one command for a script and exits with the status"
    "the server sets.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL console)
set(CPACK_DEBIAN_PACKAGE_NAME veldrin)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# The zip of the Windows builds: each folder holds its veldrin.exe. Skipped, with a message,
# until both exist.
set(VELDRIN_WIN64_BUILD ${PROJECT_SOURCE_DIR}/build-win64 CACHE PATH "The x86_64 Windows build")
set(VELDRIN_WIN32_BUILD ${PROJECT_SOURCE_DIR}/build-win32 CACHE PATH "The i686 Windows build")
add_custom_target(windows-zip
  COMMAND ${CMAKE_COMMAND} -DVERSION=${PROJECT_VERSION} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DWIN64_BUILD=${VELDRIN_WIN64_BUILD} -DWIN32_BUILD=${VELDRIN_WIN32_BUILD}
          -DOUTPUT_DIR=${CPACK_PACKAGE_DIRECTORY}
          -P ${PROJECT_SOURCE_DIR}/packaging/windows/make-zip.cmake
  VERBATIM)
