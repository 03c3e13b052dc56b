# The Windows zip from two stand-in builds: both programs in their architecture's folder, each
# stripped by its own build's strip tool, the texts beside them with Windows line ends; and no
# zip, but no failure either, while a build is missing.
#
#   cmake -DSOURCE_DIR=. -DWORK_DIR=/tmp/zip-test -P tests/windows_zip.cmake
function(fail text)
  message(FATAL_ERROR "windows zip: ${text}")
endfunction()

function(make_zip win64 win32)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DVERSION=9.8 -DSOURCE_DIR=${SOURCE_DIR} -DWIN64_BUILD=${win64}
            -DWIN32_BUILD=${win32} -DOUTPUT_DIR=${WORK_DIR}/out
            -P ${SOURCE_DIR}/packaging/windows/make-zip.cmake
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    fail("make-zip.cmake failed (${result}): ${output}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
# Each build's stand-in strip tool marks the program it is given.
foreach(bits 64 32)
  file(WRITE ${WORK_DIR}/win${bits}/veldrin.exe "${bits}-bit program")
  file(WRITE ${WORK_DIR}/tools/strip${bits} "#!/bin/sh\nprintf ' stripped by ${bits}' >>\"$1\"\n")
  file(CHMOD ${WORK_DIR}/tools/strip${bits} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  file(WRITE ${WORK_DIR}/win${bits}/CMakeCache.txt
       "CMAKE_STRIP:FILEPATH=${WORK_DIR}/tools/strip${bits}\n")
endforeach()
set(zip ${WORK_DIR}/out/veldrin-9.8-windows.zip)

make_zip(${WORK_DIR}/win64 ${WORK_DIR}/missing)
make_zip(${WORK_DIR}/missing ${WORK_DIR}/win32)
if(EXISTS ${zip})
  fail("a zip was made with a build missing")
endif()

make_zip(${WORK_DIR}/win64 ${WORK_DIR}/win32)
if(NOT EXISTS ${zip})
  fail("no zip was made")
endif()
file(MAKE_DIRECTORY ${WORK_DIR}/unpacked)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip} WORKING_DIRECTORY ${WORK_DIR}/unpacked
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  fail("the zip does not unpack (${result})")
endif()
file(GLOB_RECURSE packed RELATIVE ${WORK_DIR}/unpacked ${WORK_DIR}/unpacked/*)
list(SORT packed)
set(expected LICENSE.txt README.txt i686/veldrin.exe x86_64/veldrin.exe)
if(NOT packed STREQUAL expected)
  fail("the zip holds ${packed}, expected ${expected}")
endif()
file(READ ${WORK_DIR}/unpacked/x86_64/veldrin.exe win64)
file(READ ${WORK_DIR}/unpacked/i686/veldrin.exe win32)
if(NOT win64 STREQUAL "64-bit program stripped by 64" OR
   NOT win32 STREQUAL "32-bit program stripped by 32")
  fail("the programs are not in their folders, stripped by their builds' tools: "
       "\"${win64}\", \"${win32}\"")
endif()
# The texts byte for byte (as hexadecimal pairs: file(READ) as text drops carriage returns): the
# sources' with every line feed after a carriage return.
function(hex_pairs file variable)
  file(READ ${file} hex HEX)
  string(REGEX REPLACE "(..)" "\\1 " hex "${hex}")
  set(${variable} "${hex}" PARENT_SCOPE)
endfunction()
foreach(text README.txt:packaging/windows/README.txt LICENSE.txt:LICENSE)
  string(REPLACE ":" ";" text "${text}")
  list(GET text 0 packed)
  list(GET text 1 source)
  hex_pairs(${WORK_DIR}/unpacked/${packed} content)
  hex_pairs(${SOURCE_DIR}/${source} expected)
  string(REPLACE "0d 0a " "0a " expected "${expected}")
  string(REPLACE "0a " "0d 0a " expected "${expected}")
  if(NOT content STREQUAL expected)
    fail("${packed} is not ${source} with CR LF line ends")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
