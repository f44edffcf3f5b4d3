// Every difference between the CPython versions the modules build for
// (3.12 to 3.15), in one place.
//
// The code is written against the newest public C API; what an older
// interpreter lacks is provided here, under the newest name and with the
// newest behaviour, as the pythoncapi-compat header does. Nothing outside
// this header tests PY_VERSION_HEX or calls a private `_Py` function
// (tests/test_c_api_use.py checks both).
//
// Calls outside the stable, documented API that the frame still makes, and
// why none of the public ones would do:
//
//   PyUnstable_Code_NewWithPosOnlyArgs  module.cpp: a function's code object
//       with its parameter names, flags and line table, for introspection
//       (inspect.signature, tracebacks). PyCode_NewEmpty takes none of them.
//   PyMethodDescrObject::d_method       runtime.cpp, TypeMethod: the C entry
//       point of a built-in type's method (str.strip), called directly on the
//       hot path instead of looking the method up and binding it per call.
//   PyTypeObject::tp_version_tag        credarium.cpp: a class's version, which
//       changes whenever anything in the class changes, so that the check of
//       a plain path's methods runs once per version instead of per call.
//   PyFrame_New (frameobject.h)         traceback.cpp: the frame of a
//       traceback entry; PyTraceBack_Here takes nothing else.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>

// A debug interpreter's modules need its own headers: compiled without
// Py_DEBUG, their reference counting escapes its totals and its checks.
#if defined(ZORVAN_DEBUG_INTERPRETER) && !defined(Py_DEBUG)
#error "built for a debug interpreter (ABI tag cpython-3XXd) without its Py_DEBUG pyconfig.h"
#endif

// int PyLong_AsInt(PyObject*): public from 3.13 on.
#if PY_VERSION_HEX < 0x030D0000
static inline int PyLong_AsInt(PyObject* object)
{
    long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return -1;
    }
    return static_cast<int>(value);
}
#endif

// int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result):
// a strong reference, 1 found, 0 missing, -1 with an error. From 3.13 on.
#if PY_VERSION_HEX < 0x030D0000
static inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result)
{
    PyObject* item = PyDict_GetItemWithError(dict, key);
    if (item != nullptr) {
        *result = Py_NewRef(item);
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
}
#endif

// The fast calling conventions' function types lost their underscore in
// 3.13; the old names went on as aliases there.
#if PY_VERSION_HEX < 0x030D0000
using PyCFunctionFast = _PyCFunctionFast;
using PyCFunctionFastWithKeywords = _PyCFunctionFastWithKeywords;
#endif

// PyBytesWriter: bytes whose size is known only once they are written,
// grown in place and cut to size at the end. From 3.15 on; before, the
// private resize of a bytes object that nobody else holds yet.
#if PY_VERSION_HEX < 0x030F0000
struct PyBytesWriter {
    PyObject* bytes;
};

static inline PyBytesWriter* PyBytesWriter_Create(Py_ssize_t size)
{
    auto* writer = static_cast<PyBytesWriter*>(PyMem_Malloc(sizeof(PyBytesWriter)));
    if (writer == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    writer->bytes = PyBytes_FromStringAndSize(nullptr, size);
    if (writer->bytes == nullptr) {
        PyMem_Free(writer);
        return nullptr;
    }
    return writer;
}

static inline void PyBytesWriter_Discard(PyBytesWriter* writer)
{
    if (writer == nullptr) return;
    Py_XDECREF(writer->bytes);
    PyMem_Free(writer);
}

static inline void* PyBytesWriter_GetData(PyBytesWriter* writer) { return PyBytes_AS_STRING(writer->bytes); }

static inline Py_ssize_t PyBytesWriter_GetSize(PyBytesWriter* writer) { return PyBytes_GET_SIZE(writer->bytes); }

// On failure the writer holds no bytes any more; it can only be discarded.
static inline int PyBytesWriter_Resize(PyBytesWriter* writer, Py_ssize_t size)
{
    return _PyBytes_Resize(&writer->bytes, size);
}

static inline PyObject* PyBytesWriter_FinishWithSize(PyBytesWriter* writer, Py_ssize_t size)
{
    PyObject* bytes = _PyBytes_Resize(&writer->bytes, size) == 0 ? writer->bytes : nullptr;
    PyMem_Free(writer);
    return bytes;
}
#endif
