# Fetches Debian's cJSON source package with apt's ordinary source download,
# for the firmware build. apt runs on a private source list, lists directory
# and cache under WORK, so the machine's own apt configuration (which may have
# no deb-src entry) is neither needed nor changed. The version of the host's
# libcjson-dev is asked for first, so host and firmware run the same cJSON;
# when the archive no longer carries it, the newest bookworm version is taken.
#   cmake -DWORK=<dir> -DOUT=<dir> -DMIRROR=<url> -DSECURITY_MIRROR=<url>
#         [-DSOURCE_DIR=<extracted package>] -P FetchSource.cmake
# Leaves OUT/cJSON.c, OUT/cjson/cJSON.h and OUT/VERSION.
cmake_minimum_required(VERSION 3.25)

foreach(var WORK OUT)
  if(NOT ${var})
    message(FATAL_ERROR "FetchSource.cmake: ${var} not set")
  endif()
endforeach()

function(install_sources dir version)
  foreach(file cJSON.c cJSON.h)
    if(NOT EXISTS ${dir}/${file})
      message(FATAL_ERROR "cJSON source: ${dir} has no ${file}")
    endif()
  endforeach()
  file(MAKE_DIRECTORY ${OUT}/cjson)
  file(COPY_FILE ${dir}/cJSON.c ${OUT}/cJSON.c ONLY_IF_DIFFERENT)
  file(COPY_FILE ${dir}/cJSON.h ${OUT}/cjson/cJSON.h ONLY_IF_DIFFERENT)
  file(WRITE ${OUT}/VERSION "${version}\n")
  message(STATUS "cJSON source: ${version} from ${dir}")
endfunction()

# A source tree given by hand (an offline machine) wins.
if(SOURCE_DIR)
  install_sources(${SOURCE_DIR} "local ${SOURCE_DIR}")
  return()
endif()

find_program(APT_GET apt-get)
find_program(DPKG_SOURCE dpkg-source)
if(NOT APT_GET OR NOT DPKG_SOURCE)
  message(FATAL_ERROR "cJSON source: apt-get and dpkg-source (package dpkg-dev) are needed "
                      "to fetch Debian's cJSON source; run scripts/setup-deps.sh, or set "
                      "MGMT_CJSON_SOURCE_DIR to an extracted cjson source package")
endif()

if(NOT MIRROR)
  set(MIRROR http://deb.debian.org/debian)
endif()
if(NOT SECURITY_MIRROR)
  set(SECURITY_MIRROR http://deb.debian.org/debian-security)
endif()
set(keyring /usr/share/keyrings/debian-archive-keyring.gpg)
set(options "")
if(EXISTS ${keyring})
  set(options "[signed-by=${keyring}] ")
endif()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/lists/partial ${WORK}/cache/archives/partial ${WORK}/parts
     ${WORK}/source)
file(WRITE ${WORK}/sources.list
  "deb-src ${options}${MIRROR} bookworm main\n"
  "deb-src ${options}${MIRROR} bookworm-updates main\n"
  "deb-src ${options}${SECURITY_MIRROR} bookworm-security main\n")
# The machine's update hooks (cache cleaners, catalogue refreshers) act on
# the machine's own state; a private index download has no business running
# them.
file(WRITE ${WORK}/apt.conf
  "#clear APT::Update::Pre-Invoke;\n"
  "#clear APT::Update::Post-Invoke;\n"
  "#clear APT::Update::Post-Invoke-Success;\n")
set(apt ${APT_GET} -q -c ${WORK}/apt.conf
  -o Dir::Etc::SourceList=${WORK}/sources.list
  -o Dir::Etc::SourceParts=${WORK}/parts
  -o Dir::State::Lists=${WORK}/lists
  -o Dir::Cache=${WORK}/cache
  -o Debug::NoLocking=1
  # The private directories belong to whoever builds; apt's download user
  # could not write them.
  -o APT::Sandbox::User=root)

execute_process(COMMAND ${apt} update RESULT_VARIABLE result OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cJSON source: apt-get update on the private source list failed:\n${log}")
endif()
# apt-get update succeeds even when no index could be fetched (offline, mirror
# unreachable); without this check the failure would surface later as a
# misleading "no deb-src URIs" from apt-get source.
file(GLOB indexes ${WORK}/lists/*_source_Sources*)
if(NOT indexes)
  message(FATAL_ERROR "cJSON source: no Debian source index could be downloaded from ${MIRROR} "
                      "(is the machine offline?). Connect it, point MGMT_CJSON_APT_MIRROR at a "
                      "reachable mirror, or set MGMT_CJSON_SOURCE_DIR to an extracted cjson "
                      "source package. apt-get update said:\n${log}")
endif()

set(wanted cjson)
execute_process(COMMAND dpkg-query -W -f=\${Version} libcjson-dev
  RESULT_VARIABLE result OUTPUT_VARIABLE host_version ERROR_QUIET)
if(result EQUAL 0 AND host_version)
  set(wanted cjson=${host_version})
endif()
execute_process(COMMAND ${apt} source ${wanted} WORKING_DIRECTORY ${WORK}/source
  RESULT_VARIABLE result OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT result EQUAL 0 AND NOT wanted STREQUAL "cjson")
  message(STATUS "cJSON source: ${wanted} is not in the archive; taking the newest")
  set(wanted cjson)
  execute_process(COMMAND ${apt} source cjson WORKING_DIRECTORY ${WORK}/source
    RESULT_VARIABLE result OUTPUT_VARIABLE log ERROR_VARIABLE log)
endif()
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cJSON source: apt-get source ${wanted} failed:\n${log}")
endif()

file(GLOB trees LIST_DIRECTORIES true ${WORK}/source/cjson-*)
list(FILTER trees EXCLUDE REGEX "\\.(dsc|tar\\..*)$")
list(LENGTH trees count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "cJSON source: expected one extracted tree in ${WORK}/source, found '${trees}'")
endif()
file(GLOB dsc ${WORK}/source/*.dsc)
get_filename_component(dsc_name "${dsc}" NAME)
string(REGEX REPLACE "\\.dsc$" "" dsc_name "${dsc_name}")
install_sources(${trees} "Debian source package ${dsc_name} (${wanted})")
