// Binding call arguments to parameters, with the interpreter's messages.
//
// The common call (positional arguments only, exactly as many as the
// function takes) never comes here: `entry` takes it inline. Everything else
// is bound below, and any fault ends in a TypeError that names the function
// and adds one traceback entry at its `def` line.
#include "state.hpp"

#include <cstring>

namespace frame::detail {

namespace {

const char* function_name(const FunctionDecl& decl) { return PyUnicode_AsUTF8(string(decl.code.name)); }

Borrowed parameter_name(const FunctionDecl& decl, int index) { return string(decl.code.locals[index]); }

ZORVAN_GNU(cold) bool raise_count(const FunctionDecl& decl, Py_ssize_t given)
{
    Py_ssize_t expected = decl.code.argcount;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function_name(decl), "exactly", expected, expected == 1 ? "" : "s", given);
    return false;
}

ZORVAN_GNU(cold) bool raise_missing_keyword(const FunctionDecl& decl, int index)
{
    PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", function_name(decl),
                 parameter_name(decl, index).ptr());
    return false;
}

ZORVAN_GNU(cold) bool raise_multiple_values(const FunctionDecl& decl, PyObject* keyword)
{
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                 function_name(decl), keyword);
    return false;
}

bool same_text(PyObject* a, PyObject* b)
{
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// The parameter in [first, last) that `keyword` names by content: 1 with
// `found` set, 0 for none, -1 on an error of a str subclass's comparison.
int find_by_content(const FunctionDecl& decl, PyObject* keyword, Py_hash_t hash, int first, int last,
                    int& found)
{
    for (int i = first; i < last; ++i) {
        PyObject* name = parameter_name(decl, i);
        int equal;
        if (hash != -1) {
            // Names carry the hash computed at load.
            equal = PyObject_Hash(name) == hash && same_text(name, keyword);
        } else {
            equal = PyObject_RichCompareBool(keyword, name, Py_EQ);
            if (equal < 0) return -1;
        }
        if (equal) {
            found = i;
            return 1;
        }
    }
    return 0;
}

// The slot that `keyword` fills, or -1 with the error raised.
int match_keyword(const FunctionDecl& decl, PyObject* keyword, int given, int parameter_count)
{
    // Keyword names in source code and parameter names are interned, so an
    // ordinary call matches here.
    for (int i = given; i < parameter_count; ++i) {
        if (parameter_name(decl, i).ptr() == keyword) return i;
    }
    Py_hash_t hash = -1;
    if (PyUnicode_CheckExact(keyword)) {
        hash = PyObject_Hash(keyword);
        if (hash == -1) return -1;
    } else if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name(decl));
        return -1;
    }
    int found = -1;
    int result = find_by_content(decl, keyword, hash, given, parameter_count, found);
    if (result != 0) return result < 0 ? -1 : found;
    result = find_by_content(decl, keyword, hash, 0, given, found);
    if (result < 0) return -1;
    if (result > 0) {
        raise_multiple_values(decl, keyword);
        return -1;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_name(decl),
                 keyword);
    return -1;
}

/*
 * Binding, in order:
 *   1. No keywords: the positional count must be exact, and no keyword-only
 *      parameter may be required; keyword-only ones take their defaults.
 *   2. With keywords:
 *      a. no more positional arguments than positional parameters;
 *      b. positional arguments fill the first slots;
 *      c. each keyword fills the slot of the parameter it names, in the
 *         order given (identity first, then content); naming a parameter
 *         already filled, no parameter, or not being a str is an error;
 *      d. an unfilled positional parameter is reported as a count error,
 *         giving its index as the count;
 *      e. an unfilled keyword-only parameter takes its default, or is
 *         reported as missing.
 */
bool bind(const FunctionDecl& decl, PyObject* const* args, Py_ssize_t given, PyObject* kwnames,
          PyObject** slots)
{
    const int positional = decl.code.argcount;
    const int parameter_count = decl.parameter_count();
    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (keyword_count == 0) {
        if (given != positional) return raise_count(decl, given);
        for (int i = positional; i < parameter_count; ++i) {
            if (!(decl.none_defaults >> i & 1)) return raise_missing_keyword(decl, i);
        }
        for (int i = 0; i < positional; ++i) slots[i] = args[i];
        for (int i = positional; i < parameter_count; ++i) slots[i] = Py_None;
        return true;
    }

    if (given > positional) return raise_count(decl, given);
    const int filled = static_cast<int>(given);
    for (int i = 0; i < filled; ++i) slots[i] = args[i];
    for (int i = filled; i < parameter_count; ++i) slots[i] = nullptr;

    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        int index = match_keyword(decl, keyword, filled, parameter_count);
        if (index < 0) return false;
        if (slots[index] != nullptr) return raise_multiple_values(decl, keyword);
        slots[index] = args[given + k];
    }

    for (int i = filled; i < positional; ++i) {
        if (slots[i] == nullptr) return raise_count(decl, i);
    }
    for (int i = positional; i < parameter_count; ++i) {
        if (slots[i] != nullptr) continue;
        if (!(decl.none_defaults >> i & 1)) return raise_missing_keyword(decl, i);
        slots[i] = Py_None;
    }
    return true;
}

}  // namespace

bool bind_arguments(const FunctionHead& function, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames, PyObject** slots)
{
    const FunctionDecl& decl = *function.decl;
    if (bind(decl, args, PyVectorcall_NARGS(nargsf), kwnames, slots)) return true;
    Trace(borrowed(function.traceback_name)).add(decl.code.first_line);
    return false;
}

bool refuse_argument(const FunctionDecl& decl, int index, PyObject* value)
{
    const char* expected = decl.checks[index] == ArgCheck::exact_dict ? "dict" : "str";
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 PyUnicode_AsUTF8(parameter_name(decl, index)), expected, Py_TYPE(value)->tp_name);
    return false;
}

}  // namespace frame::detail
