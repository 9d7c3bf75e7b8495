# Checks the built program's PE headers with the toolchain's objdump:
#   cmake -DOBJDUMP=... -DPROGRAM=... -P check_binary.cmake
execute_process(COMMAND ${OBJDUMP} -p -h ${PROGRAM} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} cannot read ${PROGRAM}")
endif()

set(problems)
function(expect pattern what)
  if(NOT headers MATCHES "${pattern}")
    set(problems ${problems} "not ${what}" PARENT_SCOPE)
  endif()
endfunction()

expect("file format pei-i386" "a PE image for i386")
expect("Magic[\t ]+010b[\t ]+\\(PE32\\)" "PE32")
expect("Subsystem[\t ]+00000002[\t ]+\\(Windows GUI\\)" "a GUI program")
expect("MajorSubsystemVersion[\t ]+4\n" "subsystem version 4.x")
expect("MinorSubsystemVersion[\t ]+0\n" "subsystem version x.0")
expect("Entry 2 00000000 00000000 Resource Directory" "free of resources (resource directory)")
if(headers MATCHES "\n +[0-9]+ \\.rsrc ")
  list(APPEND problems "carrying a resource section (.rsrc)")
endif()

# Only Windows' own DLLs: the compiler's runtime must be linked in.
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
list(TRANSFORM imports REPLACE "DLL Name: " "")
list(TRANSFORM imports TOUPPER)
list(SORT imports)
set(allowed ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL)
if(NOT imports STREQUAL allowed)
  list(APPEND problems "importing exactly ${allowed} but ${imports}")
endif()

if(problems)
  list(JOIN problems "\n  " report)
  message(FATAL_ERROR "${PROGRAM} is\n  ${report}")
endif()
message(STATUS "${PROGRAM}: PE32, GUI 4.0, no resources, imports ${imports}")
