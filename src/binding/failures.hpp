// Failures as they travel: inner code throws one of a few small types (a
// Python exception already set; an internal failure), and the call frame
// turns any of them into the Python exception at exactly one boundary.
#pragma once

#include <exception>
#include <string>
#include <type_traits>

#include "binding/messages.hpp"
#include "binding/ref.hpp"

namespace korvanta {

struct PythonError {};  // a Python exception is set and travels to the frame
struct InternalFailure {
    std::string text;  // becomes the argument of PanicException
};

[[noreturn]] void raise(PyObject* type, const char* message);
// TypeError "'{T}' object cannot be converted to '{expected}'".
[[noreturn]] void raise_conversion(PyObject* object, const char* expected);

// A failed interpreter call: its exception travels to the frame, which sets
// SystemError should the interpreter have set nothing.
inline Ref check(PyObject* new_reference) {
    if (new_reference == nullptr) throw PythonError{};
    return Ref::steal(new_reference);
}

inline void check_status(int status) {
    if (status < 0) throw PythonError{};
}

// A borrowed object an interpreter call gave, or its failure travels to the frame.
template <class Object>
Object* check_borrowed(Object* object) {
    if (object == nullptr) throw PythonError{};
    return object;
}

// Whether the pending exception is an ordinary failure: an Exception other
// than MemoryError (not an interrupt, an exit request or memory running out).
inline bool ordinary_failure() noexcept {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

// After a call that failed where a failure means "no": clears an ordinary
// failure; anything else travels on to the frame.
inline void clear_ordinary_failure() {
    if (!ordinary_failure()) throw PythonError{};
    PyErr_Clear();
}


// The pending exception as one normalised object with its traceback, cleared.
Ref fetch_exception() noexcept;

// Raises `type(message)` caused by the pending exception, which says why;
// `format` may show that exception with one %S.
[[noreturn]] void raise_from_pending(PyObject* type, const char* format);

// Replaces a pending TypeError (exactly that type) by "argument '{name}': {message}".
void name_argument_in_type_error(const char* name) noexcept;

// Sets the Python exception for the C++ exception being handled; call only from a catch.
void translate_current_exception() noexcept;

template <class Result>
Result failure_value() noexcept {
    if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
    } else {
        return Result(-1);
    }
}

// Runs `body` and turns any failure into the slot's failure value with the
// Python exception set. Guards taken inside `body` are released on the way out.
//
// One thing passes: a thread's forced unwinding (pthread_exit, which a
// daemon thread meets when it waits for the interpreter while the
// interpreter finalizes) is not a failure but the thread's end, and must run
// on to it; swallowing it aborts the process. The frame, and the entry points
// around it, are therefore not declared noexcept: they let nothing else out.
template <class Body>
auto call_frame(Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        if (!std::current_exception()) throw;  // not a C++ exception: a forced unwinding
        translate_current_exception();
    }
    return failure_value<decltype(body())>();
}

}  // namespace korvanta
