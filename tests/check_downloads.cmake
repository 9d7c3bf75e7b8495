# Checks the downloads as a user receives them: the zip holds exactly the program, its licence
# and its read-me, as Windows text; the program is the build's; SHA256SUMS matches both files.
#   cmake -DOUTPUT_DIR=... -DVERSION=... -DPROGRAM=... -P check_downloads.cmake
cmake_minimum_required(VERSION 3.25)
set(zip ${OUTPUT_DIR}/toggle-inline-images-${VERSION}-win32.zip)
set(unpacked ${OUTPUT_DIR}/tests/unpacked)
set(problems)

execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip} OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
string(REGEX MATCHALL "[^\n]+" members "${listing}")
if(failed OR NOT members STREQUAL "toggle-inline-images.exe;LICENSE.txt;README.txt")
  list(APPEND problems "the zip holds [${members}], not the program, LICENSE.txt and README.txt")
endif()

file(REMOVE_RECURSE ${unpacked})
file(MAKE_DIRECTORY ${unpacked})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip} WORKING_DIRECTORY ${unpacked})
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${PROGRAM} ${unpacked}/toggle-inline-images.exe
                RESULT_VARIABLE differ)
if(differ)
  list(APPEND problems "the zip's program is not the build's")
endif()
foreach(text LICENSE.txt README.txt)
  # Windows text: every line ends with CR LF, the last one too. Read as bytes, one pair of hex
  # digits and a blank each, since CMake's text reading drops the CRs.
  file(READ ${unpacked}/${text} content HEX)
  string(REGEX REPLACE "(..)" " \\1" bytes "${content}")
  string(REPLACE " 0d 0a" "" bare "${bytes}")
  if(bare MATCHES " 0[ad]" OR NOT bytes MATCHES " 0d 0a$")
    list(APPEND problems "${text} does not end every line with CR LF")
  endif()
endforeach()
file(READ ${unpacked}/README.txt readme)
foreach(phrase "toggle-inline-images-${VERSION}-win32.msi /qn" "msiexec /x" "Shortcut key" "IExplorer not found"
               "certutil -hashfile" "Get-FileHash")
  string(FIND "${readme}" "${phrase}" at)
  if(at EQUAL -1)
    list(APPEND problems "README.txt does not say \"${phrase}\"")
  endif()
endforeach()

execute_process(COMMAND sha256sum --check --strict SHA256SUMS WORKING_DIRECTORY ${OUTPUT_DIR}
                OUTPUT_VARIABLE checked ERROR_VARIABLE checked RESULT_VARIABLE failed)
if(failed)
  list(APPEND problems "sha256sum --check SHA256SUMS failed:\n${checked}")
endif()
file(STRINGS ${OUTPUT_DIR}/SHA256SUMS sums)
list(LENGTH sums listed)
if(NOT listed EQUAL 2)
  list(APPEND problems "SHA256SUMS lists ${listed} files, not the MSI and the zip")
endif()

file(REMOVE_RECURSE ${unpacked})
if(problems)
  list(JOIN problems "\n  - " report)
  message(FATAL_ERROR "${OUTPUT_DIR}:\n  - ${report}")
endif()
message(STATUS "${zip}: the program, LICENSE.txt and README.txt; SHA256SUMS checks")
