// Traceback entries for native code.
//
// An entry is a frame object for an empty code object whose first line is
// the line to show; the traceback then reports that line without any private
// frame field. One code object serves every later entry with the same line
// and name, from a cache sorted by (line, name).
#include "state.hpp"

#include <frameobject.h>

#include <functional>

namespace frame::detail {

namespace {

bool precedes(const TracebackCacheEntry& entry, int line, PyObject* name)
{
    return entry.line != line ? entry.line < line : std::less<PyObject*>{}(entry.entry_name, name);
}

// The cached code object for (line, name), made on a miss. Null with an
// error pending when it cannot be made; no exception may be pending on entry.
PyObject* code_for(int line, PyObject* name)
{
    int low = 0;
    int high = state.traceback_cache_size;
    while (low < high) {
        int middle = (low + high) / 2;
        if (precedes(state.traceback_cache[middle], line, name)) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    TracebackCacheEntry* cache = state.traceback_cache;
    if (low < state.traceback_cache_size && cache[low].line == line && cache[low].entry_name == name) {
        return cache[low].code;
    }

    const char* function_name = PyUnicode_AsUTF8(name);
    const char* file_name = function_name ? PyUnicode_AsUTF8(string(state.decl->source_path)) : nullptr;
    if (file_name == nullptr) return nullptr;
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_name, function_name, line));
    if (code == nullptr) return nullptr;

    if (state.traceback_cache_size == state.traceback_cache_capacity) {
        int capacity = state.traceback_cache_capacity + 64;
        auto* grown = static_cast<TracebackCacheEntry*>(
            PyMem_Realloc(cache, sizeof(TracebackCacheEntry) * static_cast<std::size_t>(capacity)));
        if (grown == nullptr) {
            Py_DECREF(code);
            PyErr_NoMemory();
            return nullptr;
        }
        state.traceback_cache = cache = grown;
        state.traceback_cache_capacity = capacity;
    }
    for (int i = state.traceback_cache_size; i > low; --i) cache[i] = cache[i - 1];
    cache[low] = {line, Py_NewRef(name), code};
    ++state.traceback_cache_size;
    return code;
}

}  // namespace

}  // namespace frame::detail

namespace frame {

void Trace::add(int line) const
{
    using namespace detail;
    // Interpreter calls must not run with an exception set: set it aside
    // while the code object and the frame are made.
    Ref pending = take_exception();
    if (!pending) return;
    PyObject* code = code_for(line, entry_name_);
    if (code == nullptr) return;  // that error replaces the pending one
    Ref frame(steal, reinterpret_cast<PyObject*>(
                         PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                                     state.globals, nullptr)));
    if (!frame) return;
    PyErr_SetRaisedException(pending.release());
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.ptr()));
}

}  // namespace frame
