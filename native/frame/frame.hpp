// The frame every native module of zorvan stands on.
//
// A module declares its strings, code objects and functions as data (its
// manifest, turned into a generated header) and writes one C++ function per
// Python function. Those bodies use only what this header offers:
//
//   Ref value = lookup_global(S::_MARKETPLACES);   // a module global, by name
//   Ref text = call_method(country, S::upper);      // obj.upper()
//   Ref record = call_global(S::Marketplace, kw(S::country, code), ...);
//   if (!value) return trace.fail(20);               // traceback entry at line 20
//
// Every operation that can fail returns a null `Ref` (or false) with the
// interpreter's exception pending; the body then says on which source line it
// failed, through its `Trace`, and returns.
#pragma once

#include "compiler.hpp"
#include "decl.hpp"
#include "ref.hpp"

#include <cstdint>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace frame {

// ---------------------------------------------------------------------------
// Module-wide constants
// ---------------------------------------------------------------------------

namespace detail {
extern PyObject** string_table;
extern PyObject** integer_table;
}  // namespace detail

// An entry of the module string table.
inline Borrowed string(StringId id) { return borrowed(detail::string_table[id]); }
// An integer constant of the module.
inline Borrowed integer(std::uint16_t index) { return borrowed(detail::integer_table[index]); }

// ---------------------------------------------------------------------------
// Failing, with a traceback entry
// ---------------------------------------------------------------------------

// What a body returns after a failure: a null `Ref`, or -1 from a module body.
struct Failed {
    operator Ref() const { return Ref(); }
    operator PyObject*() const { return nullptr; }
    operator int() const { return -1; }
};

// Adds traceback entries under one name: a function's
// "<module path>.<qualified name>", or "init <module path>" for module
// execution.
class Trace {
public:
    explicit Trace(Borrowed entry_name) : entry_name_(entry_name) {}

    // Appends this name at `line` to the pending exception's traceback.
    void add(int line) const;

    // The pending exception leaves the body at `line`.
    Failed fail(int line) const
    {
        add(line);
        return {};
    }

    // `raise exception` at `line`. A null `exception` (making it failed)
    // fails at `line` with that error instead.
    Failed raise(int line, const Ref& exception) const;

    // `raise exception from cause` at `line`.
    Failed raise_from(int line, const Ref& exception, Borrowed cause) const;

    // `return value` at `line`: the value, or a failure there when it is null.
    Ref result(int line, Ref value) const
    {
        if (!value) add(line);
        return value;
    }

    Borrowed entry_name() const { return entry_name_; }

private:
    Borrowed entry_name_;
};

// ---------------------------------------------------------------------------
// Names: module globals and attributes
// ---------------------------------------------------------------------------

// A module-level name, read at every use: the module namespace, then the
// built-ins, else NameError.
Ref lookup_global(StringId name);

// Binds a module global. False when `value` is null (its error stays
// pending) or the store fails.
bool set_global(StringId name, const Ref& value);

// `object.name`; a null object (its making failed) gives null.
inline Ref get_attr(Borrowed object, StringId name)
{
    if (!object) return nullptr;
    return Ref(steal, PyObject_GetAttr(object, string(name)));
}

bool set_attr(Borrowed object, StringId name, const Ref& value);

// The interpreter's truth test: 1, 0, or -1 with an error pending (also
// for a null value, whose making failed).
inline int truth(Borrowed value)
{
    if (!value) return -1;
    if (value.ptr() == Py_True) return 1;
    if (value.ptr() == Py_False || value.ptr() == Py_None) return 0;
    return PyObject_IsTrue(value);
}

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------

// A keyword argument of a call: `kw(S::encoding, S::utf_8)`.
struct Keyword {
    StringId name;
    PyObject* value;
};
inline Keyword kw(StringId name, Borrowed value) { return {name, value.ptr()}; }
inline Keyword kw(StringId name, StringId value) { return {name, string(value).ptr()}; }

namespace detail {

inline PyObject* argument(const Ref& value) { return value.ptr(); }
inline PyObject* argument(Borrowed value) { return value.ptr(); }
inline PyObject* argument(StringId value) { return string(value).ptr(); }
inline PyObject* argument(const Keyword& value) { return value.value; }

template <typename T>
inline constexpr bool is_keyword = std::is_same_v<std::remove_cvref_t<T>, Keyword>;

inline StringId keyword_name(const Keyword& value) { return value.name; }
template <typename T>
StringId keyword_name(const T&) { return no_string; }

// The keyword-name tuple of a call.
Ref keyword_names(const StringId* names, std::size_t count);

// `stack[0]` is free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET); the
// arguments follow, positional ones first.
template <typename... A>
Ref vectorcall(Borrowed callable, Borrowed self, const A&... args)
{
    constexpr std::size_t keyword_count = (0 + ... + (is_keyword<A> ? 1 : 0));
    constexpr std::size_t positional_count = sizeof...(A) - keyword_count;
    PyObject* stack[2 + sizeof...(A)] = {nullptr, self.ptr(), argument(args)...};
    for (std::size_t i = 2; i < 2 + sizeof...(A); ++i) {
        if (stack[i] == nullptr) return nullptr;  // an argument failed to be made
    }
    Ref names;
    if constexpr (keyword_count > 0) {
        StringId ids[] = {keyword_name(args)...};
        names = keyword_names(ids + positional_count, keyword_count);
        if (!names) return nullptr;
    }
    std::size_t nargs = positional_count | PY_VECTORCALL_ARGUMENTS_OFFSET;
    if (self) {
        return Ref(steal, PyObject_VectorcallMethod(callable, stack + 1, nargs + 1, names));
    }
    return Ref(steal, PyObject_Vectorcall(callable, stack + 2, nargs, names));
}

}  // namespace detail

// `callable(args...)`; positional arguments first, then `kw(...)` ones. A
// null callable or argument (its making failed) makes the call fail too.
template <typename... A>
Ref call(Borrowed callable, const A&... args)
{
    if (!callable) return nullptr;
    return detail::vectorcall(callable, Borrowed(), args...);
}

// `object.name(args...)`, without making a bound method.
template <typename... A>
Ref call_method(Borrowed object, StringId name, const A&... args)
{
    if (!object) return nullptr;
    return detail::vectorcall(string(name), object, args...);
}

// `name(args...)` for a module-level name.
template <typename... A>
Ref call_global(StringId name, const A&... args)
{
    Ref callable = lookup_global(name);
    return call(callable, args...);
}

// A method of a built-in type, resolved once from the type at its first use
// and then called directly through its C entry point, without any lookup.
class TypeMethod {
public:
    constexpr TypeMethod(PyTypeObject* type, StringId name) : type_(type), name_(name) {}

    // `type.name(self)`; `self` must be an instance of the type.
    Ref call(Borrowed self);

private:
    PyTypeObject* type_;
    StringId name_;
    PyObject* resolved_ = nullptr;  // kept for the life of the process
    PyCFunction entry_ = nullptr;
    int calling_convention_ = 0;
};

// ---------------------------------------------------------------------------
// Exceptions
// ---------------------------------------------------------------------------

// `except cls as exc:` takes the pending exception when it is an instance
// of `cls` (a class or a tuple of classes) and returns it; otherwise leaves it
// pending and returns null.
Ref catch_exception(Borrowed cls);

// Takes the pending exception, whatever it is.
inline Ref take_exception() { return Ref(steal, PyErr_GetRaisedException()); }

// Puts a caught exception back as pending, unchanged (a bare `raise`).
inline Failed reraise(Ref exception)
{
    PyErr_SetRaisedException(exception.release());
    return {};
}

// The body of an except clause: while it lives, `exception` is the
// exception being handled, so that an error raised meanwhile records it as
// its context. The previous state comes back at the end of the scope.
class Handling {
public:
    explicit Handling(Borrowed exception) : previous_(PyErr_GetHandledException())
    {
        PyErr_SetHandledException(exception);
    }
    ~Handling()
    {
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* previous_;
};

// ---------------------------------------------------------------------------
// Imports, for module bodies
// ---------------------------------------------------------------------------

// `import a.b`: the module to bind under `a`.
Ref import_module(StringId dotted_name);

// `from module import x, y`: binds each name in turn as a module global.
bool import_from(StringId module, std::initializer_list<StringId> names);

// ---------------------------------------------------------------------------
// Values
// ---------------------------------------------------------------------------

namespace detail {
Ref join_text(PyObject* const* pieces, std::size_t count);
}

// The text of several `str` pieces, in one allocation of the widest
// character width among them.
template <typename... P>
Ref join_text(const P&... pieces)
{
    PyObject* array[] = {detail::argument(pieces)...};
    for (PyObject* piece : array) {
        if (piece == nullptr) return nullptr;
    }
    return detail::join_text(array, sizeof...(P));
}

// A value as an f-string field shows it: exact str unchanged, exact int or
// float by repr, anything else through format(value, ""). Null gives null.
Ref format_value(Borrowed value);

inline Ref new_dict() { return Ref(steal, PyDict_New()); }

// Bytes whose size is known only once they are written (a file being
// read): grown in place, cut to size by finish(), given back unless
// finished.
class BytesWriter {
public:
    explicit BytesWriter(Py_ssize_t size) : writer_(PyBytesWriter_Create(size)) {}
    ~BytesWriter() { PyBytesWriter_Discard(writer_); }
    BytesWriter(const BytesWriter&) = delete;
    BytesWriter& operator=(const BytesWriter&) = delete;

    explicit operator bool() const { return writer_ != nullptr; }
    char* data() const { return static_cast<char*>(PyBytesWriter_GetData(writer_)); }
    Py_ssize_t size() const { return PyBytesWriter_GetSize(writer_); }
    // False with MemoryError raised; the writer is then only given back.
    bool resize(Py_ssize_t size) { return PyBytesWriter_Resize(writer_, size) == 0; }
    // The first `size` bytes written, as a bytes object.
    Ref finish(Py_ssize_t size)
    {
        return Ref(steal, PyBytesWriter_FinishWithSize(std::exchange(writer_, nullptr), size));
    }

private:
    PyBytesWriter* writer_;
};

// `{"a": x, "b": y}` with the keys taken from the string table. A null value
// (its making failed) gives null.
Ref dict_of(std::initializer_list<std::pair<StringId, PyObject*>> items);

// `for key, value in mapping.items(): visit(key, value)`, with the
// interpreter's errors for a changed dict and for items that do not unpack
// into two. `visit` returns false to stop with its error pending.
bool for_each_item(Borrowed mapping, bool (*visit)(void* context, Borrowed key, Borrowed value),
                   void* context);

template <typename F>
bool for_each_item(Borrowed mapping, F&& visit)
{
    return for_each_item(
        mapping,
        [](void* context, Borrowed key, Borrowed value) {
            return (*static_cast<std::remove_reference_t<F>*>(context))(key, value);
        },
        &visit);
}

// ---------------------------------------------------------------------------
// Functions and module definition
// ---------------------------------------------------------------------------

// A new function object of the frame's function type for the module's
// function `index`, with its annotations and keyword defaults attached.
Ref make_function(std::uint16_t index);

// Whether `object` is a function object this module made for its function
// `index`: a call through it would run that function's own body.
bool is_module_function(Borrowed object, std::uint16_t index);

// The traceback entries of the module's function `index`.
Trace trace_of(std::uint16_t index);

// The exported init function of a module returns this.
PyObject* init_module(const ModuleDecl& module);

namespace detail {

struct FunctionHead {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDecl* decl;
    PyObject* traceback_name;
};

// Binds a call that the fast path below does not take; false with the
// binding error raised (and its traceback entry added).
bool bind_arguments(const FunctionHead& function, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames, PyObject** slots);

// Whether a call passes every parameter, in declaration order: the
// positional ones by position, the rest by keywords that are the parameter
// names themselves. The caller's argument vector is then the bound slots.
inline bool takes_arguments_as_given(const FunctionDecl& decl, std::size_t nargsf, PyObject* kwnames, int count)
{
    Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (given > decl.code.argcount) return false;  // keyword-only parameters take no position
    if (kwnames == nullptr) return given == count && decl.code.kwonlycount == 0;
    if (given + PyTuple_GET_SIZE(kwnames) != count) return false;
    for (int i = static_cast<int>(given); i < count; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i - given) != string(decl.code.locals[i]).ptr()) return false;
    }
    return true;
}

ZORVAN_GNU(cold) bool refuse_argument(const FunctionDecl& decl, int index, PyObject* value);

inline bool check_arguments(const FunctionDecl& decl, PyObject* const* slots, int count)
{
    for (int i = 0; i < count; ++i) {
        switch (decl.checks[i]) {
        case ArgCheck::any:
            break;
        case ArgCheck::exact_str:
            if (!PyUnicode_CheckExact(slots[i])) [[unlikely]] return refuse_argument(decl, i, slots[i]);
            break;
        case ArgCheck::exact_dict:
            if (!PyDict_CheckExact(slots[i])) [[unlikely]] return refuse_argument(decl, i, slots[i]);
            break;
        }
    }
    return true;
}

template <typename T>
struct body_arity;
template <typename... A>
struct body_arity<Ref (*)(const Trace&, A...)> {
    static constexpr int value = sizeof...(A);
};

template <auto Body, std::size_t... I>
PyObject* run_body(const Trace& trace, PyObject* const* slots, std::index_sequence<I...>)
{
    return Body(trace, borrowed(slots[I])...).release();
}

}  // namespace detail

// The entry point of a function whose body is `Body`, a C++ function
// `Ref body(const Trace&, Borrowed parameter...)` taking the parameters in
// declaration order. Slots borrow the caller's arguments, which the caller
// keeps alive for the whole call. The native code is built without C++
// exceptions: every failure is an interpreter exception and a null result.
template <auto Body>
PyObject* entry(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept
{
    constexpr int count = detail::body_arity<decltype(Body)>::value;
    const auto& function = *reinterpret_cast<const detail::FunctionHead*>(callable);
    const FunctionDecl& decl = *function.decl;
    PyObject* slots[count > 0 ? count : 1];
    if (!detail::takes_arguments_as_given(decl, nargsf, kwnames, count)) [[unlikely]] {
        if (!detail::bind_arguments(function, args, nargsf, kwnames, slots)) return nullptr;
        args = slots;
    }
    if (!detail::check_arguments(decl, args, count)) return nullptr;
    return detail::run_body<Body>(Trace(borrowed(function.traceback_name)), args, std::make_index_sequence<count>{});
}

}  // namespace frame
