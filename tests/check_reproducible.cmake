# Builds the program again, with the windows preset, from a copy of the sources in another
# folder, and compares the two programs byte for byte:
#   cmake -DSOURCE_DIR=... -DCOPY_DIR=... -DPROGRAM=... -P check_reproducible.cmake
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE ${COPY_DIR})
# Everything but the build trees and git's own files.
file(COPY ${SOURCE_DIR}/ DESTINATION ${COPY_DIR} PATTERN build EXCLUDE PATTERN .git EXCLUDE)

function(run)
  execute_process(COMMAND ${ARGV} WORKING_DIRECTORY ${COPY_DIR}
                  OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${ARGV} failed in ${COPY_DIR}:\n${output}")
  endif()
endfunction()
run(${CMAKE_COMMAND} --preset windows -DBUILD_TESTING=OFF)
run(${CMAKE_COMMAND} --build --preset windows --target toggle-inline-images)

set(again ${COPY_DIR}/build/windows/toggle-inline-images.exe)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${PROGRAM} ${again} RESULT_VARIABLE differ)
if(differ)
  file(SHA256 ${PROGRAM} first)
  file(SHA256 ${again} second)
  message(FATAL_ERROR "two builds differ:\n  ${PROGRAM} ${first}\n  ${again} ${second}")
endif()
file(REMOVE_RECURSE ${COPY_DIR})
message(STATUS "built again in ${COPY_DIR}: byte-identical")
