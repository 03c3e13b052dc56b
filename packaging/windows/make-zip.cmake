# Packs the Windows builds into veldrin-VERSION-windows.zip:
#
#   x86_64/veldrin.exe   from WIN64_BUILD, stripped
#   i686/veldrin.exe     from WIN32_BUILD, stripped
#   README.txt           packaging/windows/README.txt, written for Windows users
#   LICENSE.txt          LICENSE
#
# The texts get Windows line ends (CR LF). Each program is stripped with the strip tool of the
# build that made it (CMAKE_STRIP in its CMakeCache.txt).
#
#   cmake -DVERSION=1.0 -DSOURCE_DIR=. -DWIN64_BUILD=build-win64 -DWIN32_BUILD=build-win32 \
#         -DOUTPUT_DIR=build/packages -P packaging/windows/make-zip.cmake
#
# (the build's "windows-zip" target runs it with the project's version). When either build has
# no veldrin.exe yet, it says so and makes nothing.
foreach(variable VERSION SOURCE_DIR WIN64_BUILD WIN32_BUILD OUTPUT_DIR)
  if(NOT DEFINED ${variable} OR "${${variable}}" STREQUAL "")
    message(FATAL_ERROR "make-zip.cmake: ${variable} is not set")
  endif()
endforeach()

foreach(build ${WIN64_BUILD} ${WIN32_BUILD})
  if(NOT EXISTS ${build}/veldrin.exe)
    message(STATUS "Windows zip skipped: there is no ${build}/veldrin.exe (the Windows builds "
                   "have not run)")
    return()
  endif()
endforeach()

set(name veldrin-${VERSION}-windows)
set(stage ${OUTPUT_DIR}/${name}.stage)
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage}/x86_64 ${stage}/i686)

foreach(target x86_64:${WIN64_BUILD} i686:${WIN32_BUILD})
  string(REPLACE ":" ";" target "${target}")
  list(GET target 0 folder)
  list(GET target 1 build)
  set(strip "")
  if(EXISTS ${build}/CMakeCache.txt)
    file(STRINGS ${build}/CMakeCache.txt strip REGEX "^CMAKE_STRIP:[A-Z]+=")
    string(REGEX REPLACE "^[^=]*=" "" strip "${strip}")
  endif()
  if(strip STREQUAL "" OR NOT EXISTS "${strip}")
    message(FATAL_ERROR "Windows zip: ${build} names no strip tool (CMAKE_STRIP in its "
                        "CMakeCache.txt)")
  endif()
  file(COPY_FILE ${build}/veldrin.exe ${stage}/${folder}/veldrin.exe)
  execute_process(COMMAND ${strip} ${stage}/${folder}/veldrin.exe RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Windows zip: ${strip} failed on ${folder}/veldrin.exe (${result})")
  endif()
endforeach()

foreach(text packaging/windows/README.txt:README.txt LICENSE:LICENSE.txt)
  string(REPLACE ":" ";" text "${text}")
  list(GET text 0 source)
  list(GET text 1 packed)
  file(READ ${SOURCE_DIR}/${source} content)
  string(REPLACE "\r\n" "\n" content "${content}")
  string(REPLACE "\n" "\r\n" content "${content}")
  file(WRITE ${stage}/${packed} "${content}")
endforeach()

file(REMOVE ${OUTPUT_DIR}/${name}.zip)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E tar cf ${OUTPUT_DIR}/${name}.zip --format=zip
          x86_64/veldrin.exe i686/veldrin.exe README.txt LICENSE.txt
  WORKING_DIRECTORY ${stage}
  RESULT_VARIABLE result)
file(REMOVE_RECURSE ${stage})
if(NOT result EQUAL 0)
  message(FATAL_ERROR "Windows zip: packing failed (${result})")
endif()
message(STATUS "Windows zip: ${OUTPUT_DIR}/${name}.zip")
