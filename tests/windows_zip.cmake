# The Windows zip from two stand-in builds: both programs in their architecture's folder, the
# texts beside them; and no zip, but no failure either, while a build is missing.
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
file(WRITE ${WORK_DIR}/win64/veldrin.exe "64-bit program")
file(WRITE ${WORK_DIR}/win32/veldrin.exe "32-bit program")
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
set(expected ADDRESS-FILE.txt LICENSE.txt README.md i686/veldrin.exe x86_64/veldrin.exe)
if(NOT packed STREQUAL expected)
  fail("the zip holds ${packed}, expected ${expected}")
endif()
file(READ ${WORK_DIR}/unpacked/x86_64/veldrin.exe win64)
file(READ ${WORK_DIR}/unpacked/i686/veldrin.exe win32)
if(NOT win64 STREQUAL "64-bit program" OR NOT win32 STREQUAL "32-bit program")
  fail("the programs are not in their architectures' folders")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
