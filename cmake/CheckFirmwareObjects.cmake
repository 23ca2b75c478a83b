# Fails when a firmware object carries a static initialiser. Such objects put
# pointers into .CRT$XC* sections, which only a C runtime walks; an EFI image
# has none, so the initialiser would silently never run. LTO objects are LLVM
# bitcode: there the initialisers are the module's llvm.global_ctors list.
#   cmake -DOBJDUMP=<llvm-objdump> -DLLVM_DIS=<llvm-dis> -P CheckFirmwareObjects.cmake <objects...>
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

set(offenders "")
set(coff_objects "")
foreach(object IN LISTS objects)
  file(READ ${object} magic LIMIT 4 HEX)
  if(NOT magic STREQUAL "4243c0de") # 'B' 'C' 0xC0DE: LLVM bitcode
    list(APPEND coff_objects ${object})
    continue()
  endif()
  execute_process(COMMAND ${LLVM_DIS} -o - ${object}
    OUTPUT_VARIABLE ir RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "CheckFirmwareObjects: ${LLVM_DIS} failed on ${object}")
  endif()
  if(ir MATCHES "\n@llvm[.]global_ctors = ")
    list(APPEND offenders ${object})
  endif()
endforeach()

set(headers "")
if(coff_objects)
  execute_process(COMMAND ${OBJDUMP} --section-headers ${coff_objects}
    OUTPUT_VARIABLE headers RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "CheckFirmwareObjects: ${OBJDUMP} failed on ${coff_objects}")
  endif()
endif()

set(current "")
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
