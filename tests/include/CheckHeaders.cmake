# Compiles each header of include/ on its own, then the sources given, with
# the compiler and flags given, so that a header that leans on another's
# includes, or a layout assertion that fails on a firmware target, is caught.
# Usage: cmake -DCOMPILER=... -DFLAGS=... -DINCLUDE_DIR=... -DUEFI_DIR=...
#              -DSOURCES=a.cpp;b.cpp -P CheckHeaders.cmake
separate_arguments(flag_list UNIX_COMMAND "${FLAGS}")
file(GLOB_RECURSE headers RELATIVE ${INCLUDE_DIR} ${INCLUDE_DIR}/*.h)
list(SORT headers)
set(failed "")
foreach(header ${headers})
  execute_process(
    COMMAND ${COMPILER} ${flag_list} -I${UEFI_DIR} -I${INCLUDE_DIR}
            -include ${INCLUDE_DIR}/${header} -x c++ /dev/null
    RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE out)
  if(NOT rc EQUAL 0)
    message("${header}:\n${out}${err}")
    list(APPEND failed ${header})
  endif()
endforeach()
foreach(source ${SOURCES})
  execute_process(
    COMMAND ${COMPILER} ${flag_list} -I${UEFI_DIR} -I${INCLUDE_DIR} ${source}
    RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE out)
  if(NOT rc EQUAL 0)
    message("${source}:\n${out}${err}")
    list(APPEND failed ${source})
  endif()
endforeach()
list(LENGTH headers count)
if(failed)
  message(FATAL_ERROR "does not compile: ${failed}")
endif()
message("${count} headers and the sources compile")
