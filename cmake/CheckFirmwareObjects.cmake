# Fails when a firmware object carries a static initialiser. Such objects put
# pointers into .CRT$XC* sections, which only a C runtime walks; an EFI image
# has none, so the initialiser would silently never run.
#   cmake -DOBJDUMP=<llvm-objdump> -P CheckFirmwareObjects.cmake <objects...>
# The objects are the arguments after the script's own path.
set(objects)
set(first -1)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  if(first EQUAL -1 AND "${CMAKE_ARGV${i}}" STREQUAL "-P")
    math(EXPR first "${i} + 2")
  elseif(NOT first EQUAL -1 AND i GREATER_EQUAL first)
    list(APPEND objects "${CMAKE_ARGV${i}}")
  endif()
endforeach()
if(NOT objects)
  message(FATAL_ERROR "CheckFirmwareObjects: no objects given")
endif()

execute_process(COMMAND ${OBJDUMP} --section-headers ${objects}
  OUTPUT_VARIABLE headers RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "CheckFirmwareObjects: ${OBJDUMP} failed on ${objects}")
endif()

set(current "")
set(offenders "")
string(REPLACE "\n" ";" lines "${headers}")
foreach(line IN LISTS lines)
  if(line MATCHES "^(.+):[ \t]+file format")
    set(current "${CMAKE_MATCH_1}")
  elseif(line MATCHES "[ \t]\\.CRT\\$XC[A-Z]*")
    list(APPEND offenders "${current}")
  endif()
endforeach()
if(offenders)
  list(REMOVE_DUPLICATES offenders)
  list(JOIN offenders "\n  " text)
  message(FATAL_ERROR
    "static initialisers (.CRT$XC*) in firmware objects; they would never run:\n  ${text}")
endif()
