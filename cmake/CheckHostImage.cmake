# Fails unless a host image exports exactly its entry point. Any other global
# definition would be shared with, or clash with, the other images and the
# module's own library in the same program.
#   cmake -DNM=<nm> -DIMAGE=<object> -DENTRY=<symbol> -P CheckHostImage.cmake
execute_process(COMMAND ${NM} -g --defined-only ${IMAGE}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "CheckHostImage: ${NM} failed on ${IMAGE}")
endif()
string(REGEX REPLACE "[0-9a-fA-F]+ [A-Za-z] ${ENTRY}\n" "" others "${symbols}")
if(NOT symbols MATCHES " T ${ENTRY}\n" OR NOT others STREQUAL "")
  message(FATAL_ERROR
    "host image ${IMAGE} must export only ${ENTRY}; its global definitions:\n${symbols}")
endif()
