# Cross build of the modules for 64-bit Windows on Linux, with Zig's clang
# for x86_64-windows-gnu: it links the Universal C Runtime, as python312.dll
# does, where Debian's MinGW links msvcrt.dll. tools/windows/wheel.py passes
# ZORVAN_ZIG (the zig binary) and the interpreter's parts (Python_*).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZORVAN_ZIG)

set(CMAKE_CXX_COMPILER "${ZORVAN_ZIG}" c++ -target x86_64-windows-gnu)

# Archives of LLVM bitcode (the build links with LTO) need LLVM's archiver
# for their symbol index; zig carries it. CMake takes no arguments here, so
# it gets a one-line script.
foreach(tool ar ranlib)
  set(script "${CMAKE_CURRENT_BINARY_DIR}/zig-${tool}")
  if(NOT EXISTS "${script}")
    file(WRITE "${script}" "#!/bin/sh\nexec \"${ZORVAN_ZIG}\" ${tool} \"$@\"\n")
    file(CHMOD "${script}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
  endif()
endforeach()
set(CMAKE_AR "${CMAKE_CURRENT_BINARY_DIR}/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${CMAKE_CURRENT_BINARY_DIR}/zig-ranlib" CACHE FILEPATH "")
set(CMAKE_CXX_COMPILER_AR "${CMAKE_AR}" CACHE FILEPATH "")
set(CMAKE_CXX_COMPILER_RANLIB "${CMAKE_RANLIB}" CACHE FILEPATH "")

# Libraries and headers come only from the paths given, never from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Zig's LTO link for Windows loses parts of its own C library (undefined
# frexpl, wmemcpy, ... in zigc.lib), so this build links without it.
set(ZORVAN_LTO OFF CACHE BOOL "")
