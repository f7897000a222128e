// Ref: the one owner of a Python reference. A raw PyObject* is always borrowed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <utility>

namespace korvanta {

class Ref {
   public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));  // released after the new value is in place
        object_ = other.release();
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a new reference.
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

   private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;  // owned reference, or null
};

}  // namespace korvanta
