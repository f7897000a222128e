// Ref: the one owner of a Python reference. A raw PyObject* is always borrowed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <utility>

namespace korvanta {

// Set when the interpreter begins to finalize (an atexit hook made at
// import), with the thread that finalizes it. From then on another thread
// may be unwound by force while it does not hold the interpreter (a daemon
// thread that waited for it at the end, see call_frame), and late in
// finalization no call can tell a thread whether it holds it. So from then on
// only the finalizing thread releases references and the interpreter's
// memory; what other threads hold is left to the ending process.
inline std::atomic<bool> interpreter_ending{false};
inline std::atomic<unsigned long> finalizing_thread{0};

// Whether this thread may release references and the interpreter's memory.
inline bool may_release() noexcept {
    return !interpreter_ending.load(std::memory_order_relaxed) ||
           PyThread_get_thread_ident() == finalizing_thread.load(std::memory_order_relaxed);
}

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
    ~Ref() {
        if (object_ != nullptr && may_release()) Py_DECREF(object_);
    }

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
