# Builds the program and its packages again, with the windows preset, from a copy of the sources
# in another folder, and compares them byte for byte with this build's:
#   cmake -DSOURCE_DIR=... -DCOPY_DIR=... -DOUTPUT_DIR=... -DVERSION=... -DEPOCH=...
#         -P check_reproducible.cmake
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
# The same commit time as this build's: the copy has no history of its own.
run(${CMAKE_COMMAND} --preset windows -DBUILD_TESTING=OFF -DPACKAGE_EPOCH=${EPOCH})
run(${CMAKE_COMMAND} --build --preset windows --target package)

set(base toggle-inline-images-${VERSION}-win32)
set(differences)
foreach(name toggle-inline-images.exe ${base}.zip ${base}.msi SHA256SUMS)
  set(first ${OUTPUT_DIR}/${name})
  set(again ${COPY_DIR}/build/windows/${name})
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${first} ${again} RESULT_VARIABLE differ)
  file(SHA256 ${first} first_hash)
  if(differ)
    file(SHA256 ${again} again_hash)
    list(APPEND differences "${name}: ${first_hash} here, ${again_hash} in the copy")
  else()
    file(SIZE ${first} size)
    message(STATUS "${name}: ${size} bytes, SHA-256 ${first_hash} in both")
  endif()
endforeach()
if(differences)
  list(JOIN differences "\n  " report)
  message(FATAL_ERROR "two builds differ:\n  ${report}")
endif()
file(REMOVE_RECURSE ${COPY_DIR})
message(STATUS "built again in ${COPY_DIR}: byte-identical")
