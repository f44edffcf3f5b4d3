// Module definition, creation and execution.
//
// The interpreter imports a module in two steps: `create_module` makes (or
// hands back) the module object, `exec_module` fills it. Execution unpacks
// the string table, builds the code objects and then runs the module's own
// top-level statements. A failure drops the recorded instance, so the next
// import starts again from the beginning.
#include "state.hpp"

#include <cstdio>
#include <cstring>

namespace frame::detail {

ModuleState state;
PyObject** string_table = nullptr;
PyObject** integer_table = nullptr;

namespace {

PyModuleDef module_definition;
PyModuleDef_Slot module_slots[3];
PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};  // sentinel

/* ---------------------------------------------------------------------------
 * Create step
 * ------------------------------------------------------------------------ */

// Copies a module-spec attribute into the module namespace. A missing
// attribute is skipped; `None` is copied unless `skip_none`.
bool copy_spec_attribute(PyObject* spec, PyObject* globals, const char* from, const char* to,
                         bool skip_none)
{
    Ref value(steal, PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.ptr() == Py_None) return true;
    return PyDict_SetItemString(globals, to, value) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept
{
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (state.interpreter_id == -1) {
        state.interpreter_id = id;
    } else if (state.interpreter_id != id) {
        // The module-wide state is per process, not per interpreter.
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module != nullptr) return Py_NewRef(state.module);

    Ref name(steal, PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(steal, PyModule_NewObject(name));
    if (!module) return nullptr;
    PyObject* globals = PyModule_GetDict(module);
    if (!copy_spec_attribute(spec, globals, "loader", "__loader__", false) ||
        !copy_spec_attribute(spec, globals, "origin", "__file__", false) ||
        !copy_spec_attribute(spec, globals, "parent", "__package__", false) ||
        !copy_spec_attribute(spec, globals, "submodule_search_locations", "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

/* ---------------------------------------------------------------------------
 * String table and constants
 * ------------------------------------------------------------------------ */

Ref decompress_strings(const StringTableDecl& table)
{
    Ref zlib(steal, PyImport_ImportModule("zlib"));
    Ref decompress = zlib ? Ref(steal, PyObject_GetAttrString(zlib, "decompress")) : Ref();
    if (!decompress) {
        Ref cause = take_exception();
        PyErr_SetString(PyExc_ImportError, "zlib.decompress is needed to unpack the module's strings");
        Ref error = take_exception();
        PyException_SetCause(error, cause.release());
        PyErr_SetRaisedException(error.release());
        return nullptr;
    }
    Ref view(steal, PyMemoryView_FromMemory(
                        reinterpret_cast<char*>(const_cast<unsigned char*>(table.compressed)),
                        static_cast<Py_ssize_t>(table.compressed_size), PyBUF_READ));
    Ref raw = call(decompress, view);
    if (!raw) return nullptr;
    if (!PyBytes_CheckExact(raw) ||
        PyBytes_GET_SIZE(raw.ptr()) != static_cast<Py_ssize_t>(table.decompressed_size)) {
        PyErr_SetString(PyExc_ImportError, "the module's string table is damaged");
        return nullptr;
    }
    return raw;
}

bool build_string_table(const ModuleDecl& module)
{
    const StringTableDecl& table = module.strings;
    Ref raw = decompress_strings(table);
    if (!raw) return false;

    auto** strings = static_cast<PyObject**>(PyMem_Calloc(table.count, sizeof(PyObject*)));
    if (strings == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    const char* cursor = PyBytes_AS_STRING(raw.ptr());
    for (std::uint16_t i = 0; i < table.count; ++i) {
        auto length = static_cast<Py_ssize_t>(table.lengths[i]);
        PyObject* entry = i < table.first_bytes ? PyUnicode_DecodeUTF8(cursor, length, nullptr)
                                                : PyBytes_FromStringAndSize(cursor, length);
        if (entry == nullptr) return false;
        if (i >= table.first_interned && i < table.first_bytes) PyUnicode_InternInPlace(&entry);
        strings[i] = entry;
        cursor += length;
    }
    raw = nullptr;  // the decompressed buffer is no longer needed

    // Hashes are computed now so that every later lookup by these strings
    // finds them cached.
    for (std::uint16_t i = 0; i < table.count; ++i) {
        if (PyObject_Hash(strings[i]) == -1) return false;
    }
    string_table = strings;

    auto** integers = static_cast<PyObject**>(PyMem_Calloc(module.integer_count + 1, sizeof(PyObject*)));
    if (integers == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    for (std::uint16_t i = 0; i < module.integer_count; ++i) {
        integers[i] = PyLong_FromLong(module.integers[i]);
        if (integers[i] == nullptr) return false;
    }
    integer_table = integers;
    return true;
}

/* ---------------------------------------------------------------------------
 * Code objects
 * ------------------------------------------------------------------------ */

// The code object of a function: it describes the function for
// introspection and carries no instructions that run.
Ref make_code(const CodeDecl& code, PyObject* shared_locals)
{
    Ref locals(steal, PyTuple_New(code.local_count));
    if (!locals) return nullptr;
    for (int i = 0; i < code.local_count; ++i) {
        PyTuple_SET_ITEM(locals.ptr(), i, Py_NewRef(string(code.locals[i]).ptr()));
    }
    // Equal local-name tuples are shared between code objects.
    PyObject* known = PyDict_SetDefault(shared_locals, locals, locals);
    if (known == nullptr) return nullptr;
    locals = Ref(borrow, known);

    Borrowed linetable = code.linetable != no_string ? string(code.linetable) : borrowed(state.empty_bytes);
    Py_ssize_t size = (2 * PyBytes_GET_SIZE(linetable.ptr()) + 4) & ~Py_ssize_t{3};
    Ref instructions(steal, PyBytes_FromStringAndSize(nullptr, size));
    if (!instructions) return nullptr;
    std::memset(PyBytes_AS_STRING(instructions.ptr()), 0, static_cast<std::size_t>(size));

    Borrowed name = string(code.name);
    return Ref(steal, reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
                          code.argcount, 0, code.kwonlycount, code.local_count, 0, code.flags,
                          instructions, state.empty_tuple, state.empty_tuple, locals, state.empty_tuple,
                          state.empty_tuple, string(state.decl->source_path), name, name,
                          code.first_line, linetable, state.empty_bytes)));
}

bool build_code_objects(const ModuleDecl& module)
{
    auto** codes = static_cast<PyObject**>(PyMem_Calloc(module.function_count + 1, sizeof(PyObject*)));
    if (codes == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    Ref shared_locals = new_dict();
    if (!shared_locals) return false;
    for (std::uint16_t i = 0; i < module.function_count; ++i) {
        Ref code = make_code(module.functions[i].code, shared_locals);
        if (!code) return false;
        codes[i] = code.release();
    }
    state.code_objects = codes;
    return true;
}

/* ---------------------------------------------------------------------------
 * Exec step
 * ------------------------------------------------------------------------ */

// Warns (and fails only when warnings are errors) when the running
// interpreter is not the one the module was compiled for.
bool check_interpreter_version()
{
    constexpr unsigned long compiled = (PY_MAJOR_VERSION << 24) | (PY_MINOR_VERSION << 16);
    if ((Py_Version >> 16) == (compiled >> 16)) return true;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, state.decl->path,
                  "does not match", static_cast<int>((Py_Version >> 24) & 0xFF),
                  static_cast<int>((Py_Version >> 16) & 0xFF));
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool register_module(PyObject* module)
{
    PyObject* modules = PyImport_GetModuleDict();
    Borrowed path = string(state.decl->module_path);
    int present = PyDict_Contains(modules, path);
    if (present != 0) return present == 1;
    return PyDict_SetItem(modules, path, module) == 0;
}

// Runs the exec step up to the module body. `traceback_ready` turns true
// once a failure should carry the init traceback entry.
bool prologue(PyObject* module, bool& traceback_ready)
{
    const ModuleDecl& decl = *state.decl;
    Py_XSETREF(state.globals, Py_NewRef(PyModule_GetDict(module)));
    PyObject* builtins = PyImport_AddModule("builtins");
    if (builtins == nullptr) return false;
    Py_XSETREF(state.builtins, Py_NewRef(builtins));
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return false;
    if (!check_interpreter_version()) return false;
    state.empty_tuple = PyTuple_New(0);
    state.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0);
    state.empty_str = PyUnicode_New(0, 0);
    if (!state.empty_tuple || !state.empty_bytes || !state.empty_str) return false;
    if (!build_string_table(decl)) return false;

    traceback_ready = true;
    state.function_type = function_type();
    if (state.function_type == nullptr) return false;
    if (!register_module(module)) return false;
    return build_code_objects(decl);
}

int exec_module(PyObject* module) noexcept
{
    const ModuleDecl& decl = *state.decl;
    if (state.module != nullptr) {
        if (state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     decl.name);
        return -1;
    }
    state.module = Py_NewRef(module);

    bool traceback_ready = false;
    bool ok = false;
    if (prologue(module, traceback_ready)) {
        Trace init(string(decl.init_traceback_name));
        if (decl.body(init) == 0) {
            Ref test = new_dict();
            ok = test && PyDict_SetItemString(state.globals, "__test__", test) == 0;
        } else {
            traceback_ready = false;  // the body has added its own entry
        }
    }
    if (ok) return 0;

    if (traceback_ready && PyErr_Occurred()) Trace(string(decl.init_traceback_name)).add(1);
    Py_CLEAR(state.module);
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "init %s", decl.path);
    }
    return -1;
}

}  // namespace

}  // namespace frame::detail

namespace frame {

PyObject* init_module(const ModuleDecl& module)
{
    using namespace detail;
    if (state.decl == nullptr) {
        state.decl = &module;
        module_slots[0] = {Py_mod_create, reinterpret_cast<void*>(create_module)};
        module_slots[1] = {Py_mod_exec, reinterpret_cast<void*>(exec_module)};
        module_slots[2] = {0, nullptr};
        module_definition = {
            .m_base = PyModuleDef_HEAD_INIT,
            .m_name = module.name,
            .m_doc = module.doc,
            .m_size = 0,
            .m_methods = no_methods,
            .m_slots = module_slots,
            .m_traverse = nullptr,
            .m_clear = nullptr,
            .m_free = nullptr,
        };
    }
    return PyModuleDef_Init(&module_definition);
}

}  // namespace frame
