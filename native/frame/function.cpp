// The function-object type of every function and method of a module.
//
// It looks like an ordinary interpreted function to introspection (name,
// qualified name, code object, defaults, annotations, signature), binds as a
// method through the instance, pickles by name and takes weak references.
// Calls enter through the fast calling convention with keyword names.
#include "state.hpp"

#include <cstddef>

namespace frame::detail {

namespace {

struct Function {
    FunctionHead head;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* dict;
    PyObject* weakreflist;
    // What introspection reports; calls use the declared defaults instead.
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
};

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

/* ---------------------------------------------------------------------------
 * Lifetime
 * ------------------------------------------------------------------------ */

int function_traverse(PyObject* self, visitproc visit, void* arg)
{
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->head.traceback_name);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    return 0;
}

int function_clear(PyObject* self)
{
    Function* f = as_function(self);
    Py_CLEAR(f->head.traceback_name);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    return 0;
}

void function_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self)
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Read through an instance, a function is a bound method; read through the
// class, it is the function itself.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*)
{
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

/* ---------------------------------------------------------------------------
 * Attributes
 * ------------------------------------------------------------------------ */

PyObject* function_get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }

// __name__ takes a str (or subclass) only and cannot be deleted.
int function_set_name(PyObject* self, PyObject* value, void*)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->name, Py_NewRef(value));
    return 0;
}

PyObject* function_get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

// __qualname__ takes a str (or subclass) only and cannot be deleted.
int function_set_qualname(PyObject* self, PyObject* value, void*)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->qualname, Py_NewRef(value));
    return 0;
}

PyObject* function_get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }

// __doc__ takes any value; deleting it leaves None.
int function_set_doc(PyObject* self, PyObject* value, void*)
{
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* function_get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->module); }

// __module__ takes any value; deleting it leaves None.
int function_set_module(PyObject* self, PyObject* value, void*)
{
    Py_XSETREF(as_function(self)->module, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* function_get_globals(PyObject* self, void*) { return Py_NewRef(as_function(self)->globals); }

PyObject* function_get_closure(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* function_get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }

PyObject* function_get_defaults(PyObject* self, void*)
{
    PyObject* defaults = as_function(self)->defaults;
    return Py_NewRef(defaults ? defaults : Py_None);
}

// __defaults__ takes a tuple or None; deleting it leaves None.
int function_set_defaults(PyObject* self, PyObject* value, void*)
{
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* function_get_kwdefaults(PyObject* self, void*)
{
    PyObject* kwdefaults = as_function(self)->kwdefaults;
    return Py_NewRef(kwdefaults ? kwdefaults : Py_None);
}

// __kwdefaults__ takes a dict or None; deleting it leaves None.
int function_set_kwdefaults(PyObject* self, PyObject* value, void*)
{
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

// An emptied __annotations__ reads as a new empty dict, kept from then on.
PyObject* function_get_annotations(PyObject* self, void*)
{
    Function* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

// __annotations__ takes a dict; None or deleting empties it.
int function_set_annotations(PyObject* self, PyObject* value, void*)
{
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* function_get_is_coroutine(PyObject*, void*) { Py_RETURN_FALSE; }

// Pickled as a reference: the qualified name, found again in __module__.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", function_get_name, function_set_name, nullptr, nullptr},
    {"func_name", function_get_name, function_set_name, nullptr, nullptr},
    {"__qualname__", function_get_qualname, function_set_qualname, nullptr, nullptr},
    {"__doc__", function_get_doc, function_set_doc, nullptr, nullptr},
    {"func_doc", function_get_doc, function_set_doc, nullptr, nullptr},
    {"__module__", function_get_module, function_set_module, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", function_get_globals, nullptr, nullptr, nullptr},
    {"func_globals", function_get_globals, nullptr, nullptr, nullptr},
    {"__closure__", function_get_closure, nullptr, nullptr, nullptr},
    {"func_closure", function_get_closure, nullptr, nullptr, nullptr},
    {"__code__", function_get_code, nullptr, nullptr, nullptr},
    {"func_code", function_get_code, nullptr, nullptr, nullptr},
    {"__defaults__", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"func_defaults", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, function_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", function_get_annotations, function_set_annotations, nullptr, nullptr},
    {"_is_coroutine", function_get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}  // sentinel
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}  // sentinel
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, head.vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}  // sentinel
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr}  // sentinel
};

PyType_Spec function_spec = {
    .name = "zorvan_function",
    .basicsize = sizeof(Function),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

}  // namespace

PyTypeObject* function_type()
{
    if (state.function_type == nullptr) {
        state.function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    }
    return state.function_type;
}

}  // namespace frame::detail

namespace frame {

Ref make_function(std::uint16_t index)
{
    using namespace detail;
    const FunctionDecl& decl = state.decl->functions[index];
    PyTypeObject* type = state.function_type;
    Ref self(steal, reinterpret_cast<PyObject*>(PyObject_GC_New(Function, type)));
    if (!self) return nullptr;
    Function* f = as_function(self);
    f->head.vectorcall = reinterpret_cast<vectorcallfunc>(state.decl->entries[index]);
    f->head.decl = &decl;
    f->head.traceback_name = Py_NewRef(string(decl.traceback_name).ptr());
    f->name = Py_NewRef(string(decl.code.name).ptr());
    f->qualname = Py_NewRef(string(decl.qualname).ptr());
    f->doc = Py_NewRef(decl.doc != no_string ? string(decl.doc).ptr() : Py_None);
    f->module = Py_NewRef(string(state.decl->module_path).ptr());
    f->globals = Py_NewRef(state.globals);
    f->code = Py_NewRef(state.code_objects[index]);
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    PyObject_GC_Track(self);

    int parameter_count = decl.parameter_count();
    if (decl.none_defaults != 0) {
        Ref kwdefaults = new_dict();
        if (!kwdefaults) return nullptr;
        for (int i = decl.code.argcount; i < parameter_count; ++i) {
            if ((decl.none_defaults >> i & 1) &&
                PyDict_SetItem(kwdefaults, string(decl.code.locals[i]), Py_None) < 0) {
                return nullptr;
            }
        }
        f->kwdefaults = kwdefaults.release();
    }
    if (decl.annotation_count > 0) {
        Ref annotations = new_dict();
        if (!annotations) return nullptr;
        for (int i = 0; i < decl.annotation_count; ++i) {
            const Annotation& a = decl.annotations[i];
            if (PyDict_SetItem(annotations, string(a.name), string(a.text)) < 0) return nullptr;
        }
        f->annotations = annotations.release();
    }
    return self;
}

bool is_module_function(Borrowed object, std::uint16_t index)
{
    using namespace detail;
    return object && Py_TYPE(object.ptr()) == state.function_type &&
           reinterpret_cast<const FunctionHead*>(object.ptr())->decl == &state.decl->functions[index];
}

Trace trace_of(std::uint16_t index) { return Trace(string(detail::state.decl->functions[index].traceback_name)); }

}  // namespace frame
