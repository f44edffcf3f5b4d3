// What function and module bodies do at run time: raising, names, calls,
// imports, text joining and the walk over a mapping's items.
#include "state.hpp"

#include <algorithm>
#include <cstring>

namespace frame {

using detail::state;

/* ---------------------------------------------------------------------------
 * Raising
 * ------------------------------------------------------------------------ */

namespace {

// An exception instance for `raise value`: the instance itself, or what
// calling the class gives.
Ref exception_instance(Borrowed value)
{
    if (PyExceptionInstance_Check(value.ptr())) return Ref(borrow, value);
    if (!PyExceptionClass_Check(value.ptr())) {
        PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
        return nullptr;
    }
    Ref instance(steal, PyObject_CallNoArgs(value));
    if (instance && !PyExceptionInstance_Check(instance)) {
        PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                     value.ptr(), reinterpret_cast<PyObject*>(instance.type()));
        return nullptr;
    }
    return instance;
}

// Sets `exception` as the current one; the exception being handled, if
// any, becomes its context.
void set_raised(const Ref& instance)
{
    PyErr_SetObject(reinterpret_cast<PyObject*>(instance.type()), instance);
}

}  // namespace

Failed Trace::raise(int line, const Ref& exception) const
{
    if (exception) {
        Ref instance = exception_instance(exception);
        if (instance) set_raised(instance);
    }
    return fail(line);
}

Failed Trace::raise_from(int line, const Ref& exception, Borrowed cause) const
{
    if (!exception) return fail(line);
    Ref instance = exception_instance(exception);
    if (!instance) return fail(line);
    Ref fixed_cause;
    if (cause.ptr() == Py_None) {
        // `from None`: no cause, and the context is not shown.
    } else if (PyExceptionClass_Check(cause.ptr()) || PyExceptionInstance_Check(cause.ptr())) {
        fixed_cause = exception_instance(cause);
        if (!fixed_cause) return fail(line);
    } else {
        PyErr_SetString(PyExc_TypeError, "exception causes must derive from BaseException");
        return fail(line);
    }
    PyException_SetCause(instance, fixed_cause.release());  // also suppresses the context
    set_raised(instance);
    return fail(line);
}

Ref catch_exception(Borrowed cls)
{
    if (!PyErr_ExceptionMatches(cls)) return nullptr;
    return take_exception();
}

/* ---------------------------------------------------------------------------
 * Names
 * ------------------------------------------------------------------------ */

Ref lookup_global(StringId id)
{
    PyObject* name = string(id);
    // One probe: every string of the table carries its hash from the load.
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(state.globals, name, &value);
    if (found != 0) return Ref(steal, value);
    Ref builtin(steal, PyObject_GetAttr(state.builtins, name));
    if (builtin || !PyErr_ExceptionMatches(PyExc_AttributeError)) return builtin;
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

bool set_global(StringId name, const Ref& value)
{
    return value && PyDict_SetItem(state.globals, string(name), value) == 0;
}

bool set_attr(Borrowed object, StringId name, const Ref& value)
{
    return value && PyObject_SetAttr(object, string(name), value) == 0;
}

/* ---------------------------------------------------------------------------
 * Calls
 * ------------------------------------------------------------------------ */

Ref detail::keyword_names(const StringId* names, std::size_t count)
{
    Ref tuple(steal, PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(string(names[i]).ptr()));
    }
    return tuple;
}

Ref TypeMethod::call(Borrowed self)
{
    if (resolved_ == nullptr) {
        PyObject* method = PyObject_GetAttr(reinterpret_cast<PyObject*>(type_), string(name_));
        if (method == nullptr) return nullptr;
        resolved_ = method;
        if (Py_IS_TYPE(method, &PyMethodDescr_Type)) {
            PyMethodDef* definition = reinterpret_cast<PyMethodDescrObject*>(method)->d_method;
            entry_ = definition->ml_meth;
            calling_convention_ = definition->ml_flags & ~(METH_CLASS | METH_STATIC | METH_COEXIST);
        }
    }
    PyObject* result;
    switch (calling_convention_) {
    case METH_NOARGS:
        result = entry_(self, nullptr);
        break;
    case METH_FASTCALL:
        result = reinterpret_cast<PyCFunctionFast>(reinterpret_cast<void (*)()>(entry_))(self, nullptr, 0);
        break;
    case METH_FASTCALL | METH_KEYWORDS:
        result = reinterpret_cast<PyCFunctionFastWithKeywords>(reinterpret_cast<void (*)()>(entry_))(
            self, nullptr, 0, nullptr);
        break;
    case METH_VARARGS:
        result = entry_(self, state.empty_tuple);
        break;
    default:
        return frame::call(borrowed(resolved_), self);
    }
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return Ref(steal, result);
}

/* ---------------------------------------------------------------------------
 * Imports
 * ------------------------------------------------------------------------ */

namespace {

// A module the registry already holds, or null (no error) when it holds
// none under that name.
Ref registered_module(Borrowed name)
{
    Ref module(steal, PyImport_GetModule(name));
    if (module.ptr() == Py_None) return nullptr;
    return module;
}

Ref import_level_zero(Borrowed name, PyObject* fromlist)
{
    Ref locals = new_dict();
    if (!locals) return nullptr;
    return Ref(steal, PyImport_ImportModuleLevelObject(name, state.globals, locals, fromlist, 0));
}

}  // namespace

Ref import_module(StringId dotted_name)
{
    Borrowed name = string(dotted_name);
    Ref module = registered_module(name);
    if (PyErr_Occurred()) return nullptr;
    if (module) {
        Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), 1);
        if (dot == -1) return module;
        if (dot == -2) return nullptr;
        Ref top_name(steal, PyUnicode_Substring(name, 0, dot));
        if (!top_name) return nullptr;
        Ref top = registered_module(top_name);
        if (top || PyErr_Occurred()) return top;
    }
    return import_level_zero(name, nullptr);
}

bool import_from(StringId module_name, std::initializer_list<StringId> names)
{
    Borrowed name = string(module_name);
    Ref module = registered_module(name);
    if (PyErr_Occurred()) return false;
    bool complete = module && std::all_of(names.begin(), names.end(), [&](StringId wanted) {
                        return PyObject_HasAttr(module, string(wanted)) == 1;
                    });
    if (!complete) {
        Ref fromlist(steal, PyTuple_New(static_cast<Py_ssize_t>(names.size())));
        if (!fromlist) return false;
        Py_ssize_t i = 0;
        for (StringId wanted : names) PyTuple_SET_ITEM(fromlist.ptr(), i++, Py_NewRef(string(wanted).ptr()));
        module = import_level_zero(name, fromlist);
        if (!module) return false;
    }
    for (StringId wanted : names) {
        Borrowed attribute = string(wanted);
        Ref value(steal, PyObject_GetAttr(module, attribute));
        if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            // A submodule that the import registered without binding it yet.
            PyErr_Clear();
            Ref module_path(steal, PyObject_GetAttrString(module, "__name__"));
            Ref full_name = module_path ? Ref(steal, PyUnicode_FromFormat("%S.%U", module_path.ptr(), attribute.ptr()))
                                        : Ref();
            value = full_name ? registered_module(full_name) : Ref();
        }
        if (!value) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %S", attribute.ptr());
            return false;
        }
        if (!set_global(wanted, value)) return false;
    }
    return true;
}

/* ---------------------------------------------------------------------------
 * Values
 * ------------------------------------------------------------------------ */

Ref detail::join_text(PyObject* const* pieces, std::size_t count)
{
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0x7F;
    for (std::size_t i = 0; i < count; ++i) {
        if (!PyUnicode_Check(pieces[i])) {
            PyErr_Format(PyExc_TypeError, "expected str, got %.200s", Py_TYPE(pieces[i])->tp_name);
            return nullptr;
        }
        Py_ssize_t piece_length = PyUnicode_GET_LENGTH(pieces[i]);
        if (piece_length > PY_SSIZE_T_MAX - length) length = -1;
        if (length >= 0) length += piece_length;
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(pieces[i]));
    }
    Py_ssize_t width = widest <= 0xFF ? 1 : widest <= 0xFFFF ? 2 : 4;
    Py_ssize_t limit = (PY_SSIZE_T_MAX - static_cast<Py_ssize_t>(sizeof(PyCompactUnicodeObject))) / width - 1;
    if (length < 0 || length > limit) {
        PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
        return nullptr;
    }
    Ref result(steal, PyUnicode_New(length, widest));
    if (!result) return nullptr;
    const int kind = PyUnicode_KIND(result.ptr());
    char* out = static_cast<char*>(PyUnicode_DATA(result.ptr()));
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        Py_ssize_t piece_length = PyUnicode_GET_LENGTH(pieces[i]);
        if (PyUnicode_KIND(pieces[i]) == kind) {
            std::memcpy(out + at * kind, PyUnicode_DATA(pieces[i]), static_cast<std::size_t>(piece_length * kind));
        } else {
            if (PyUnicode_CopyCharacters(result, at, pieces[i], 0, piece_length) < 0) return nullptr;
        }
        at += piece_length;
    }
    return result;
}

Ref dict_of(std::initializer_list<std::pair<StringId, PyObject*>> items)
{
    for (const auto& item : items) {
        if (item.second == nullptr) return nullptr;
    }
    Ref dict = new_dict();
    if (!dict) return nullptr;
    for (const auto& [key, value] : items) {
        if (PyDict_SetItem(dict, string(key), value) < 0) return nullptr;
    }
    return dict;
}

Ref format_value(Borrowed value)
{
    if (!value) return nullptr;
    if (PyUnicode_CheckExact(value)) return Ref(borrow, value);
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) return Ref(steal, PyObject_Repr(value));
    return Ref(steal, PyObject_Format(value, state.empty_str));
}

/* ---------------------------------------------------------------------------
 * for key, value in mapping.items()
 * ------------------------------------------------------------------------ */

namespace {

using Visit = bool (*)(void*, Borrowed, Borrowed);

ZORVAN_GNU(cold) bool raise_unpack_count(Py_ssize_t count)
{
    if (count > 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    } else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count, count == 1 ? "" : "s");
    }
    return false;
}

// Unpacks one item into two targets and visits them.
bool visit_item(Borrowed item, Visit visit, void* context)
{
    if (PyTuple_CheckExact(item)) {
        Py_ssize_t size = PyTuple_GET_SIZE(item.ptr());
        if (size != 2) return raise_unpack_count(size);
        return visit(context, borrowed(PyTuple_GET_ITEM(item.ptr(), 0)), borrowed(PyTuple_GET_ITEM(item.ptr(), 1)));
    }
    Ref iterator(steal, PyObject_GetIter(item));
    if (!iterator) return false;
    Ref values[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        values[i] = Ref(steal, PyIter_Next(iterator));
        if (!values[i]) return PyErr_Occurred() ? false : raise_unpack_count(i);
    }
    Ref extra(steal, PyIter_Next(iterator));
    if (extra) return raise_unpack_count(3);
    if (PyErr_Occurred()) return false;
    return visit(context, values[0], values[1]);
}

}  // namespace

bool for_each_item(Borrowed mapping, Visit visit, void* context)
{
    if (mapping.ptr() == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "items");
        return false;
    }
    if (PyDict_CheckExact(mapping)) {
        // Walked in place, as the interpreter's dict-items iterator would.
        const Py_ssize_t size = PyDict_GET_SIZE(mapping.ptr());
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (true) {
            if (PyDict_GET_SIZE(mapping.ptr()) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return false;
            }
            if (!PyDict_Next(mapping, &position, &key, &value)) return true;
            Ref held_key(borrow, key);  // the visit may change the dict
            Ref held_value(borrow, value);
            if (!visit(context, held_key, held_value)) return false;
        }
    }
    static PyObject* items_name = nullptr;  // kept for the process
    if (items_name == nullptr && (items_name = PyUnicode_InternFromString("items")) == nullptr) return false;
    Ref items(steal, PyObject_CallMethodNoArgs(mapping, items_name));
    if (!items) return false;
    if (PyTuple_CheckExact(items) || PyList_CheckExact(items)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i) {
            Ref item(borrow, PySequence_Fast_GET_ITEM(items.ptr(), i));
            if (!visit_item(item, visit, context)) return false;
        }
        return true;
    }
    Ref iterator(steal, PyObject_GetIter(items));
    if (!iterator) return false;
    while (Ref item{steal, PyIter_Next(iterator)}) {
        if (!visit_item(item, visit, context)) return false;
    }
    return !PyErr_Occurred();
}

}  // namespace frame
