// The frame's basics: owned references, and Python errors raised as C++
// exceptions that unwind to the call boundary, where they are mapped back.
#pragma once

#include <Python.h>

#include <array>
#include <cstring>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "../core/arrow_column.hpp"
#include "../core/utils.hpp"

namespace murk::py {

// ---------------------------------------------------------------- basics

template <class T>
using Bare = std::remove_cvref_t<T>;

// Thrown after a Python exception has been set, to unwind to the boundary.
struct PyErrSet {};
[[noreturn]] inline void raise() { throw PyErrSet{}; }
[[noreturn]] void raise(PyObject* type, const std::string& msg);

// Owned reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* p) : p_(p) {}
    Ref(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

inline Ref checked(PyObject* p) {
    if (!p) raise();
    return Ref(p);
}

std::string type_name(PyObject* o);
// TypeError "'{type}' object cannot be converted to '{target}'".
[[noreturn]] void raise_cannot_convert(PyObject* o, const char* target);

// Maps the C++ exception in flight to a Python one (call inside catch).
void set_python_error();

// Adds the "argument 'name': " prefix to a TypeError in flight.
void prefix_type_error(const char* name);

}  // namespace murk::py
