# Toolchain for building with Zig's clang (PyPI `ziglang`), for another
# platform or an older glibc than this machine's:
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig.cmake -DZIG=/path/to/zig -DZIG_TARGET=aarch64-linux-gnu.2.17
#
# ZIG is the zig binary, named by its path: `python -m ziglang` needs the
# venv that pip's build isolation hides. ZIG_TARGET is Zig's target name.
# Every target is a cross build, this machine's own x86_64 Linux too: give
# Python_INCLUDE_DIR and Python_SOABI of the CPython built for.
# For macOS give it without a version (aarch64-macos, x86_64-macos): the
# version is the deployment target, from MACOSX_DEPLOYMENT_TARGET or
# CMAKE_OSX_DEPLOYMENT_TARGET as on a Mac, since Zig takes the oldest macOS
# from the target alone and ignores -mmacosx-version-min.

# try_compile's inner projects read this file again, with only these.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG ZIG_TARGET CMAKE_OSX_DEPLOYMENT_TARGET)
foreach(variable ZIG ZIG_TARGET)
  if(NOT ${variable})
    message(FATAL_ERROR "cmake/zig.cmake needs -D${variable}=...")
  endif()
endforeach()

set(zig_target "${ZIG_TARGET}")
if(ZIG_TARGET MATCHES "^(aarch64|x86_64)-macos$")
  set(CMAKE_SYSTEM_NAME Darwin)
  if(CMAKE_MATCH_1 STREQUAL "aarch64")
    set(CMAKE_SYSTEM_PROCESSOR arm64)
  else()
    set(CMAKE_SYSTEM_PROCESSOR x86_64)
  endif()
  if(NOT CMAKE_OSX_DEPLOYMENT_TARGET AND DEFINED ENV{MACOSX_DEPLOYMENT_TARGET})
    set(CMAKE_OSX_DEPLOYMENT_TARGET "$ENV{MACOSX_DEPLOYMENT_TARGET}")
  endif()
  if(CMAKE_OSX_DEPLOYMENT_TARGET)
    string(APPEND zig_target ".${CMAKE_OSX_DEPLOYMENT_TARGET}")
  endif()
  # No SDK on this machine: Zig brings the macOS headers and libSystem stubs.
  set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
  # A module is linked as a dylib: Zig's linker crashes on -bundle, and
  # dlopen takes either.
  set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX "${CMAKE_CURRENT_LIST_DIR}/zig-macos-rules.cmake")
elseif(ZIG_TARGET STREQUAL "x86_64-windows-gnu")
  # Zig's windows-gnu links the Universal C Runtime, as python312.dll does,
  # where Debian's MinGW links msvcrt.dll (whose errno and heap the
  # interpreter doesn't share).
  set(CMAKE_SYSTEM_NAME Windows)
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
  # Its link-time optimisation loses parts of its own C library (undefined
  # frexpl, wmemcpy, ... in zigc.lib).
  set(ZORVAN_LTO OFF CACHE BOOL "" FORCE)
  # Libraries and headers come only from the paths given, never the host's.
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
elseif(ZIG_TARGET MATCHES "^(aarch64|x86_64)-linux-gnu\\.[0-9.]+$")
  # Named even where it is this machine's own platform: CMake then asks no
  # interpreter here about the target, so that one interpreter builds for
  # every CPython release, each from that release's headers. The version
  # after -gnu is the oldest glibc the modules may need.
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${CMAKE_MATCH_1})
else()
  message(FATAL_ERROR "cmake/zig.cmake: no settings for ${ZIG_TARGET}")
endif()

set(CMAKE_CXX_COMPILER "${ZIG}" c++ -target ${zig_target})

# CMake runs an archiver as one program, and Zig's is `zig ar`. The system's
# own would do for plain objects, but not for LLVM bitcode newer than it
# knows (link-time optimisation) nor, with GNU ar, for a Mach-O symbol table.
foreach(tool ar ranlib)
  file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/zig-${tool}"
    CONTENT "#!/bin/sh\nexec \"${ZIG}\" ${tool} \"$@\"\n" @ONLY)
  file(CHMOD "${CMAKE_BINARY_DIR}/zig-${tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_AR "${CMAKE_BINARY_DIR}/zig-ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${CMAKE_BINARY_DIR}/zig-ranlib" CACHE FILEPATH "" FORCE)
set(CMAKE_CXX_COMPILER_AR "${CMAKE_AR}" CACHE FILEPATH "" FORCE)
set(CMAKE_CXX_COMPILER_RANLIB "${CMAKE_RANLIB}" CACHE FILEPATH "" FORCE)
