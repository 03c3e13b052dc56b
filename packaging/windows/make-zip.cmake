# Packs the Windows builds into veldrin-VERSION-windows.zip:
#
#   x86_64/veldrin.exe   from WIN64_BUILD
#   i686/veldrin.exe     from WIN32_BUILD
#   README.md, LICENSE.txt, ADDRESS-FILE.txt
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
file(COPY_FILE ${WIN64_BUILD}/veldrin.exe ${stage}/x86_64/veldrin.exe)
file(COPY_FILE ${WIN32_BUILD}/veldrin.exe ${stage}/i686/veldrin.exe)
file(COPY_FILE ${SOURCE_DIR}/README.md ${stage}/README.md)
file(COPY_FILE ${SOURCE_DIR}/LICENSE ${stage}/LICENSE.txt)
file(COPY_FILE ${SOURCE_DIR}/packaging/windows/ADDRESS-FILE.txt ${stage}/ADDRESS-FILE.txt)

file(REMOVE ${OUTPUT_DIR}/${name}.zip)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E tar cf ${OUTPUT_DIR}/${name}.zip --format=zip
          x86_64/veldrin.exe i686/veldrin.exe README.md LICENSE.txt ADDRESS-FILE.txt
  WORKING_DIRECTORY ${stage}
  RESULT_VARIABLE result)
file(REMOVE_RECURSE ${stage})
if(NOT result EQUAL 0)
  message(FATAL_ERROR "Windows zip: packing failed (${result})")
endif()
message(STATUS "Windows zip: ${OUTPUT_DIR}/${name}.zip")
