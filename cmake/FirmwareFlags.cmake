# Compiler and linker flags of the EFI images, gathered in one place. The
# firmware build applies them per target (X64 for DXE drivers, IA32 for PEI
# modules); host tests that build throwaway images from the same lists stay in
# step with the real images.
include_guard(GLOBAL)

find_program(MGMT_CLANGXX NAMES clang++-14 clang++ REQUIRED)
find_program(MGMT_LLD_LINK NAMES lld-link-14 lld-link REQUIRED)
find_program(MGMT_LLVM_OBJDUMP NAMES llvm-objdump-14 llvm-objdump REQUIRED)
find_program(MGMT_LLVM_DIS NAMES llvm-dis-14 llvm-dis REQUIRED)
find_program(MGMT_PYTHON3 NAMES python3 REQUIRED)

# Firmware files, volumes and binary module descriptions (tools/fwimage), and
# the one list of the modules' file GUIDs, dependency expressions and budgets.
get_filename_component(MGMT_FWIMAGE ${CMAKE_CURRENT_LIST_DIR}/../tools/fwimage/fwimage.py ABSOLUTE)
get_filename_component(MGMT_MODULE_LIST ${CMAKE_CURRENT_LIST_DIR}/../firmware/Modules.toml ABSOLUTE)

# Every image, C and C++ alike.
set(MGMT_FW_COMMON_FLAGS
  -ffreestanding            # no hosted library behind the code
  -nostdlibinc              # no system or C++ library headers, only clang's own
  -fno-stack-protector      # no __security_cookie: nothing sets it up
  -mno-stack-arg-probe      # no __chkstk calls for big frames: no CRT provides it
  -ffunction-sections       # let /opt:ref drop what no entry point reaches
  -fdata-sections
  -Oz                       # images go into flash
  -flto                     # bitcode objects: lld-link optimises each image whole
  -Wall -Wextra -Werror)

# C++ on top of the common flags.
set(MGMT_FW_CXX_FLAGS
  -std=c++20
  -fno-exceptions -fno-rtti          # no unwinder, no type_info
  -fno-threadsafe-statics            # no _Init_thread_header guards: one CPU, no CRT
  -fno-c++-static-destructors        # no atexit
  -Werror=global-constructors)       # .CRT$XCU initialisers would never run

# DXE drivers: PE32+ for x86-64, Microsoft ABI. SSE stays on: UEFI enables it
# on x86-64. No red zone: interrupt handlers run on the same stack.
set(MGMT_FW_X64_FLAGS --target=x86_64-unknown-windows -mno-red-zone)

# PEI modules: PE32 for i686. No SSE or MMX: PEI runs before anyone enables
# them, and 64-bit division becomes calls to the __aull*/__all* helpers.
set(MGMT_FW_IA32_FLAGS --target=i686-unknown-windows -march=i686 -mno-sse -mno-mmx
  -fno-zero-initialized-in-bss)      # see MGMT_FW_IA32_LINK_FLAGS

# lld-link, called directly. /nodefaultlib: nothing from a CRT; /opt:ref and
# /opt:icf: drop and fold what is unused; /Brepro: reproducible time stamps.
# Images keep their base relocations (no /fixed): the firmware loads them at
# any address, and PEI modules are rebased to their flash address. Read-only
# data joins .text in every image (both are read-only; .data stays apart, the
# one writable section).
set(MGMT_FW_LINK_FLAGS
  /nodefaultlib /opt:ref /opt:icf /Brepro /subsystem:efi_boot_service_driver)
# DXE drivers keep 4 KiB sections (the core protects each section's pages)
# but need no 512-byte file alignment: the loader copies section by section.
set(MGMT_FW_X64_LINK_FLAGS /machine:x64 /filealign:32 /merge:.rdata=.text)
# PEI modules execute in place from flash: sections aligned as in the file, 32
# bytes, and zero-filled data stored in the file (LTO decides where it goes,
# hence the code-generation option here too), so that every section lies at
# its own file offset. /driver only silences lld-link's warning about /align;
# it changes no byte of an EFI image.
set(MGMT_FW_IA32_LINK_FLAGS /machine:x86 /safeseh:no /align:32 /filealign:32 /driver
  /mllvm:-nozero-initialized-in-bss /merge:.rdata=.text)

# Compile options of one firmware target for ARCH (X64 or IA32).
function(mgmt_firmware_compile_options target arch)
  if(NOT arch MATCHES "^(X64|IA32)$")
    message(FATAL_ERROR "${target}: ARCH must be X64 or IA32, not '${arch}'")
  endif()
  target_compile_options(${target} PRIVATE
    ${MGMT_FW_${arch}_FLAGS} ${MGMT_FW_COMMON_FLAGS}
    "$<$<COMPILE_LANGUAGE:CXX>:${MGMT_FW_CXX_FLAGS}>")
  set_target_properties(${target} PROPERTIES
    MGMT_FIRMWARE_ARCH ${arch}
    POSITION_INDEPENDENT_CODE OFF)
endfunction()

# Runtime support linked into every image of an architecture (firmware/runtime).
get_filename_component(MGMT_FW_RUNTIME_DIR ${CMAKE_CURRENT_LIST_DIR}/../firmware/runtime ABSOLUTE)
set(MGMT_FW_RUNTIME_X64_SOURCES
  ${MGMT_FW_RUNTIME_DIR}/Memory.cpp ${MGMT_FW_RUNTIME_DIR}/Support.cpp)
set(MGMT_FW_RUNTIME_IA32_SOURCES
  ${MGMT_FW_RUNTIME_X64_SOURCES} ${MGMT_FW_RUNTIME_DIR}/Divide.cpp)
# The memory functions must not be recognised as calls to themselves.
set(MGMT_FW_RUNTIME_NO_BUILTIN_SOURCES ${MGMT_FW_RUNTIME_DIR}/Memory.cpp)
# The runtime stays machine code: under LTO, what only code generation calls
# (memcpy, memset, the division helpers, _fltused) would be dropped before the
# code that calls it exists.
set(MGMT_FW_RUNTIME_FLAGS -fno-lto)
