# Read by CMake after its own macOS rules, which link modules with -bundle
# (see zig.cmake).
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")
