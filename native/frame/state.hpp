// Module-wide state, shared by the frame's own sources only.
//
// One copy per loaded library: the frame is linked statically into each
// module and built with hidden visibility, so no two modules share it. The
// state is filled by the create and exec steps and never released; the
// module cannot be unloaded.
#pragma once

#include "frame.hpp"

#include <cstdint>

namespace frame::detail {

struct TracebackCacheEntry {
    int line;
    PyObject* entry_name;  // identity is the key: each name is one table entry
    PyObject* code;
};

struct ModuleState {
    const ModuleDecl* decl = nullptr;
    std::int64_t interpreter_id = -1;
    PyObject* module = nullptr;  // the instance being or having been initialised
    PyObject* globals = nullptr;
    PyObject* builtins = nullptr;
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_str = nullptr;
    PyObject** code_objects = nullptr;
    PyTypeObject* function_type = nullptr;

    TracebackCacheEntry* traceback_cache = nullptr;
    int traceback_cache_size = 0;
    int traceback_cache_capacity = 0;
};

extern ModuleState state;

// Makes the function-object type, once per process.
PyTypeObject* function_type();

}  // namespace frame::detail
