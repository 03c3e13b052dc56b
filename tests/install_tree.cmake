# Installs the build into a fresh prefix and checks the tree: exactly the expected files, with
# the programs executable, and the installed console answering --version with the project's
# version.
#
#   cmake -DBUILD_DIR=build -DPREFIX=/tmp/tree -DVERSION=1.0 -P tests/install_tree.cmake
function(fail text)
  message(FATAL_ERROR "install tree: ${text}")
endfunction()

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  fail("cmake --install failed (${result})")
endif()

file(GLOB_RECURSE installed RELATIVE ${PREFIX} ${PREFIX}/*)
list(SORT installed)
set(expected
    bin/kestrane-demo-server
    bin/veldrin
    share/doc/veldrin/README.md.gz
    share/doc/veldrin/changelog.gz
    share/doc/veldrin/copyright
    share/man/man1/kestrane-demo-server.1.gz
    share/man/man1/veldrin.1.gz)
if(NOT installed STREQUAL expected)
  fail("installed ${installed}, expected ${expected}")
endif()
foreach(program veldrin kestrane-demo-server)
  if(IS_DIRECTORY ${PREFIX}/bin/${program} OR NOT EXISTS ${PREFIX}/bin/${program})
    fail("bin/${program} is not a program")
  endif()
endforeach()

file(READ ${PREFIX}/share/doc/veldrin/copyright copyright)
if(NOT copyright MATCHES "License: Expat\n MIT License\n .\n Copyright \\(c\\) ")
  fail("the copyright file does not carry the licence:\n${copyright}")
endif()

execute_process(COMMAND ${PREFIX}/bin/veldrin --version
                OUTPUT_VARIABLE version RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT version STREQUAL "veldrin ${VERSION}\n")
  fail("veldrin --version gave \"${version}\" with status ${result}")
endif()
file(REMOVE_RECURSE ${PREFIX})
