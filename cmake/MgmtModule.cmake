# How a firmware module is built, once for the host and once for the board.
#
#   mgmt_module(<Name> KIND DXE|PEI ENTRY <Symbol> SOURCES <files...>
#               [HOST_LIBS <libs...>] [FIRMWARE_SOURCES <files...>]
#               [FIRMWARE_LIBS <targets...>])
#
# Host build:
#   <Name>       static library of SOURCES, for the module's unit tests.
#   <Name>Image  the "host image": the module relinked into one object whose
#                .text/.data/.bss sit in sections <Name>_text/<Name>_data/
#                <Name>_bss (the simulator names faults by the first) and whose
#                symbols are all local except the entry point, which is renamed
#                <Name>ImageEntryPoint. Any number of images, and a module's
#                library beside its own image, link into one executable; the
#                simulator reloads an image fresh each boot (sim/loader).
#                Link it like a library: target_link_libraries(x PRIVATE <Name>Image).
# Firmware build:
#   <Name>       object library of SOURCES + FIRMWARE_SOURCES for the module's
#                architecture (DXE: X64, PEI: IA32).
#   <Name>Image  builds images/<Name>.efi from it, the runtime support and the
#                objects of FIRMWARE_LIBS (targets made by mgmt_firmware_objects),
#                and beside it <Name>.depex, .ffs and .inf (tools/fwimage) from
#                the module's entry in firmware/Modules.toml.
#
#   mgmt_firmware_objects(<Name> ARCH X64|IA32 SOURCES <files...>)
# compiles code for the firmware targets that is not a module of its own (no
# image); modules take it through FIRMWARE_LIBS. Does nothing in the host build.
#
# Each module carries its own copy of the GUID definitions (uefi/UefiGuids.cpp,
# include/MgmtGuids.cpp) in its images; host libraries share mgmt_guids. EFI
# images also get the native hardware access (MGMT_HW_NATIVE_SOURCES, from
# hw/); the host links the simulator's instead.
include_guard(GLOBAL)

set(MGMT_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

if(MGMT_FIRMWARE)
  include(${CMAKE_CURRENT_LIST_DIR}/FirmwareFlags.cmake)
  set(MGMT_IMAGE_DIR ${CMAKE_BINARY_DIR}/images)
  file(MAKE_DIRECTORY ${MGMT_IMAGE_DIR})
endif()

file(GLOB MGMT_GUID_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/uefi/UefiGuids.cpp ${CMAKE_SOURCE_DIR}/include/MgmtGuids.cpp)

function(mgmt_firmware_objects name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "ARCH" "SOURCES")
  if(arg_UNPARSED_ARGUMENTS OR NOT arg_SOURCES)
    message(FATAL_ERROR "mgmt_firmware_objects(${name} ARCH X64|IA32 SOURCES ...)")
  endif()
  if(NOT MGMT_FIRMWARE)
    return()
  endif()
  add_library(${name} OBJECT ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE mgmt_headers)
  mgmt_firmware_compile_options(${name} ${arg_ARCH})
endfunction()

function(mgmt_module name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "KIND;ENTRY"
    "SOURCES;HOST_LIBS;FIRMWARE_SOURCES;FIRMWARE_LIBS")
  if(arg_UNPARSED_ARGUMENTS OR NOT arg_ENTRY OR NOT arg_SOURCES)
    message(FATAL_ERROR
      "mgmt_module(${name} KIND DXE|PEI ENTRY <Symbol> SOURCES ...): bad arguments "
      "${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(arg_KIND STREQUAL "DXE")
    set(arch X64)
  elseif(arg_KIND STREQUAL "PEI")
    set(arch IA32)
  else()
    message(FATAL_ERROR "${name}: KIND must be DXE or PEI, not '${arg_KIND}'")
  endif()
  if(NOT name MATCHES "^[A-Za-z][A-Za-z0-9]*$")
    # The name becomes part of section and symbol names.
    message(FATAL_ERROR "${name}: a module name is letters and digits")
  endif()

  if(MGMT_FIRMWARE)
    _mgmt_firmware_module(${name} ${arch} ${arg_KIND} ${arg_ENTRY})
  else()
    _mgmt_host_module(${name} ${arg_ENTRY})
  endif()
endfunction()

# Host: static library plus relinked host image.
macro(_mgmt_host_module name entry)
  add_library(${name} STATIC ${arg_SOURCES})
  target_link_libraries(${name} PUBLIC mgmt_headers ${arg_HOST_LIBS})
  # Closer to the firmware build: no throwing, no static guards. No
  # STB_GNU_UNIQUE symbols either: they stay global in the image, and two
  # images would share one function-local static (g++ only; clang never
  # emits them and has no such flag).
  target_compile_options(${name} PRIVATE
    -fno-exceptions -fno-threadsafe-statics $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
  set(archives $<TARGET_FILE:${name}>)
  if(TARGET mgmt_guids)
    target_link_libraries(${name} PUBLIC mgmt_guids)
    list(APPEND archives $<TARGET_FILE:mgmt_guids>)
  endif()

  set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}Image.ld)
  set(partial ${CMAKE_CURRENT_BINARY_DIR}/${name}Image.partial.o)
  set(image ${CMAKE_CURRENT_BINARY_DIR}/${name}Image.o)
  # Code and the writable sections move; everything else keeps its name, and
  # the final link places these like any other code and data.
  file(CONFIGURE OUTPUT ${script} CONTENT "SECTIONS
{
  ${name}_text : { *(.text .text.*) }
  ${name}_data : { *(.data .data.*) }
  ${name}_bss : { *(.bss .bss.* COMMON) }
}
" @ONLY)
  add_custom_command(OUTPUT ${image}
    # -d gives common symbols their space now, inside ${name}_bss.
    COMMAND ${CMAKE_LINKER} -r -d --force-group-allocation -T ${script} -o ${partial}
            --whole-archive ${archives} --no-whole-archive
    COMMAND ${CMAKE_OBJCOPY} --keep-global-symbol=${entry} ${partial} ${partial}
    COMMAND ${CMAKE_OBJCOPY} --redefine-sym ${entry}=${name}ImageEntryPoint ${partial} ${image}
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DIMAGE=${image} -DENTRY=${name}ImageEntryPoint
            -P ${MGMT_CMAKE_DIR}/CheckHostImage.cmake
    DEPENDS ${archives} ${script} ${MGMT_CMAKE_DIR}/CheckHostImage.cmake
    COMMENT "Host image ${name}"
    VERBATIM)
  add_custom_target(${name}ImageObject DEPENDS ${image})
  add_library(${name}Image INTERFACE)
  target_link_libraries(${name}Image INTERFACE ${image} ${arg_HOST_LIBS})
  set_property(TARGET ${name}Image PROPERTY INTERFACE_LINK_DEPENDS ${image})
  add_dependencies(${name}Image ${name}ImageObject)
endmacro()

# Firmware: object library, checked and linked into images/<name>.efi.
macro(_mgmt_firmware_module name arch kind entry)
  add_library(${name} OBJECT ${arg_SOURCES} ${arg_FIRMWARE_SOURCES} ${MGMT_GUID_SOURCES}
    ${MGMT_HW_NATIVE_SOURCES})
  target_link_libraries(${name} PRIVATE mgmt_headers ${arg_FIRMWARE_LIBS})
  mgmt_firmware_compile_options(${name} ${arch})

  set(objects $<TARGET_OBJECTS:${name}> $<TARGET_OBJECTS:mgmt_fw_runtime_${arch}>)
  foreach(lib ${arg_FIRMWARE_LIBS})
    list(APPEND objects $<TARGET_OBJECTS:${lib}>)
  endforeach()
  set(image ${MGMT_IMAGE_DIR}/${name}.efi)
  add_custom_command(OUTPUT ${image}
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${MGMT_LLVM_OBJDUMP} -DLLVM_DIS=${MGMT_LLVM_DIS}
            -P ${MGMT_CMAKE_DIR}/CheckFirmwareObjects.cmake ${objects}
    COMMAND ${MGMT_LLD_LINK} ${MGMT_FW_LINK_FLAGS} ${MGMT_FW_${arch}_LINK_FLAGS}
            /entry:${entry} /out:${image} ${objects}
    DEPENDS ${objects} ${MGMT_CMAKE_DIR}/CheckFirmwareObjects.cmake
    COMMENT "EFI image ${name}.efi"
    COMMAND_EXPAND_LISTS VERBATIM)
  # Beside the image: its dependency expression, firmware file and binary
  # module description, from the module list (firmware/Modules.toml).
  set(files ${MGMT_IMAGE_DIR}/${name}.depex ${MGMT_IMAGE_DIR}/${name}.ffs
    ${MGMT_IMAGE_DIR}/${name}.inf)
  add_custom_command(OUTPUT ${files}
    COMMAND ${MGMT_PYTHON3} ${MGMT_FWIMAGE} module --modules ${MGMT_MODULE_LIST}
            --name ${name} --kind ${kind} --efi ${image}
    DEPENDS ${image} ${MGMT_FWIMAGE} ${MGMT_MODULE_LIST}
    COMMENT "Firmware file ${name}.ffs"
    VERBATIM)
  add_custom_target(${name}Image ALL DEPENDS ${image} ${files})
  set_property(GLOBAL APPEND PROPERTY MGMT_FIRMWARE_FILES ${MGMT_IMAGE_DIR}/${name}.ffs)
  # The image check reads the kind to know which machine to expect.
  file(CONFIGURE OUTPUT ${MGMT_IMAGE_DIR}/${name}.kind CONTENT "${kind}\n")
endmacro()
