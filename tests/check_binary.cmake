# Checks the built program's PE headers with the toolchain's objdump:
#   cmake -DOBJDUMP=... -DPROGRAM=... -P check_binary.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p -h ${PROGRAM} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} cannot read ${PROGRAM}")
endif()

set(problems)
function(expect pattern what)
  if(NOT headers MATCHES "${pattern}")
    set(problems ${problems} "is not ${what}" PARENT_SCOPE)
  endif()
endfunction()

expect("file format pei-i386" "a PE image for i386")
expect("Magic[\t ]+010b[\t ]+\\(PE32\\)" "PE32")
expect("Subsystem[\t ]+00000002[\t ]+\\(Windows GUI\\)" "a GUI program")
expect("MajorSubsystemVersion[\t ]+4\n" "subsystem version 4.x")
expect("MinorSubsystemVersion[\t ]+0\n" "subsystem version x.0")
expect("Entry 2 00000000 00000000 Resource Directory" "free of resources (resource directory)")
if(headers MATCHES "\n +[0-9]+ \\.rsrc ")
  list(APPEND problems "has a resource section (.rsrc)")
endif()
file(SIZE ${PROGRAM} size)
if(size GREATER 16384)
  list(APPEND problems "${size} bytes, more than 16 KiB")
endif()

# What it may import. From ADVAPI32 and USER32 exactly the program's own calls; from KERNEL32
# and msvcrt no more than the compiler runtime's start-up needs. Nothing from anywhere else.
set(exact_ADVAPI32 RegCloseKey RegOpenKeyA RegQueryValueExA RegSetValueExA)
set(exact_USER32 MessageBoxA SendMessageTimeoutA)
set(at_most_KERNEL32
  DeleteCriticalSection EnterCriticalSection FreeLibrary GetLastError GetModuleHandleA
  GetProcAddress GetStartupInfoA InitializeCriticalSection LeaveCriticalSection LoadLibraryA
  SetUnhandledExceptionFilter Sleep TlsGetValue VirtualProtect VirtualQuery)
set(at_most_MSVCRT
  __getmainargs __initenv __p__acmdln __p__commode __p__fmode __set_app_type __setusermatherr
  _amsg_exit _cexit _initterm _iob _onexit abort calloc exit fprintf free fwrite malloc memcpy
  signal strlen strncmp vfprintf)

string(REGEX MATCHALL "[^\n]+" lines "${headers}")
set(dll "")
set(dlls)
foreach(line IN LISTS lines)
  if(line MATCHES "^\tDLL Name: (.+)\\.[dD][lL][lL]$")
    string(TOUPPER "${CMAKE_MATCH_1}" dll)
    list(APPEND dlls ${dll})
    set(imports_${dll})
  elseif(dll AND line MATCHES "^\t[0-9a-f]+\t +[0-9]+  ([^ ]+)$")
    list(APPEND imports_${dll} ${CMAKE_MATCH_1})
  elseif(NOT line MATCHES "^[\t ]")
    set(dll "")  # the import tables have ended
  endif()
endforeach()

foreach(dll IN LISTS dlls)
  if(DEFINED exact_${dll})
    set(allowed ${exact_${dll}})
  elseif(DEFINED at_most_${dll})
    set(allowed ${at_most_${dll}})
  else()
    list(APPEND problems "imports from ${dll}.dll, which it must not: ${imports_${dll}}")
    continue()
  endif()
  foreach(name IN LISTS imports_${dll})
    if(NOT name IN_LIST allowed)
      list(APPEND problems "imports ${name} from ${dll}.dll, which it must not")
    endif()
  endforeach()
endforeach()
foreach(dll ADVAPI32 USER32)
  foreach(name IN LISTS exact_${dll})
    if(NOT name IN_LIST imports_${dll})
      list(APPEND problems "does not import ${name} from ${dll}.dll")
    endif()
  endforeach()
endforeach()

if(problems)
  list(JOIN problems "\n  - " report)
  message(FATAL_ERROR "${PROGRAM}:\n  - ${report}")
endif()
message(STATUS "${PROGRAM}: PE32, GUI 4.0, no resources, ${size} bytes, imports from ${dlls} as expected")
