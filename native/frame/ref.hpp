// Reference ownership for interpreter objects.
//
// `Ref` owns one strong reference and gives it back exactly once: when it is
// destroyed, or through `release()` where a reference goes back to the
// interpreter. `Borrowed` names a reference somebody else keeps alive. Which
// one a raw pointer becomes is always spelled out with the `steal` or
// `borrow` tag; nothing converts implicitly from a raw pointer.
#pragma once

#include "python_compat.hpp"

#include <utility>

namespace frame {

struct steal_t { explicit steal_t() = default; };
struct borrow_t { explicit borrow_t() = default; };
inline constexpr steal_t steal{};
inline constexpr borrow_t borrow{};

// A reference that someone else owns, valid for as long as they keep it.
class Borrowed {
public:
    constexpr Borrowed() = default;
    constexpr Borrowed(borrow_t, PyObject* object) : object_(object) {}

    PyObject* ptr() const { return object_; }
    operator PyObject*() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    PyTypeObject* type() const { return Py_TYPE(object_); }

private:
    PyObject* object_ = nullptr;
};

// An owned strong reference, or null after a failure.
class [[nodiscard]] Ref {
public:
    constexpr Ref() = default;
    constexpr Ref(std::nullptr_t) {}
    Ref(steal_t, PyObject* object) : object_(object) {}
    Ref(borrow_t, PyObject* object) : object_(Py_XNewRef(object)) {}

    Ref(const Ref& other) : object_(Py_XNewRef(other.object_)) {}
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept
    {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* ptr() const { return object_; }
    operator PyObject*() const { return object_; }
    operator Borrowed() const { return Borrowed(borrow, object_); }
    explicit operator bool() const { return object_ != nullptr; }
    PyTypeObject* type() const { return Py_TYPE(object_); }

    // Hands the reference to the interpreter (a return value, a stolen slot).
    [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

private:
    PyObject* object_ = nullptr;
};

inline Borrowed borrowed(PyObject* object) { return Borrowed(borrow, object); }

}  // namespace frame
