// The whole frame of each kind of entry point the interpreter calls:
// receiver check, access, deletion check or binding, body, result, and every
// failure turned into the slot's failure value with the exception set.
#pragma once

#include "binding/access.hpp"
#include "binding/arguments.hpp"
#include "binding/failures.hpp"
#include "binding/instance.hpp"

namespace korvanta {

// Each wrapper is the whole frame of one kind of entry point: receiver check,
// access, deletion check or binding, body, result. None lets a C++ exception
// out; none is noexcept, so that a thread's forced unwinding runs through
// (see call_frame).

inline PyObject* to_result(Ref result) noexcept { return result.release(); }
inline Py_ssize_t to_result(Py_ssize_t result) noexcept { return result; }

template <class Object, Access kind, const Signature& signature, auto body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_frame([&]() -> PyObject* {
        HeldReceiver<Object> call(self);
        AccessGuard<kind> access(self);
        if constexpr (!signature.options.empty()) {
            Options options;
            Arguments arguments = bind_vector(signature, args, nargsf, kwnames, &options);
            return to_result(body(call.object, arguments, options));
        } else if constexpr (std::is_invocable_v<decltype(body), Object&, const Arguments&, AccessGuard<kind>&>) {
            Arguments arguments = bind_vector(signature, args, nargsf, kwnames);
            return to_result(body(call.object, arguments, access));  // a body that may end its access early
        } else {
            Arguments arguments = bind_vector(signature, args, nargsf, kwnames);
            return to_result(body(call.object, arguments));
        }
    });
}

// A module function or static method: no receiver, no access.
template <const Signature& signature, auto body>
PyObject* function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_frame([&]() -> PyObject* {
        if constexpr (!signature.options.empty()) {
            Options options;
            Arguments arguments = bind_vector(signature, args, nargsf, kwnames, &options);
            return to_result(body(arguments, options));
        } else {
            return to_result(body(bind_vector(signature, args, nargsf, kwnames)));
        }
    });
}

template <const Signature& signature, auto body>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> PyObject* {
        if constexpr (!signature.options.empty()) {
            Options options;
            Arguments arguments = bind_tuple(signature, args, kwargs, &options);
            return to_result(body(type, arguments, options));
        } else {
            return to_result(body(type, bind_tuple(signature, args, kwargs)));
        }
    });
}

template <class Object, Access kind, auto body>
PyObject* getter(PyObject* self, void*) {
    return call_frame([&]() -> PyObject* {
        HeldReceiver<Object> call(self);
        AccessGuard<kind> access(self);
        return to_result(body(call.object));
    });
}

template <class Object, auto body>
int setter(PyObject* self, PyObject* value, void*) {
    return call_frame([&]() -> int {
        HeldReceiver<Object> call(self);
        ExclusiveAccess access(self);
        if (value == nullptr) raise(PyExc_AttributeError, messages::cannot_delete);
        Ref held = Ref::borrow(value);  // the body may run Python code
        body(call.object, held.get());
        return 0;
    });
}

template <class Object, Access kind, auto body>
auto unary_slot(PyObject* self) {
    return call_frame([&] {
        HeldReceiver<Object> call(self);
        AccessGuard<kind> access(self);
        return to_result(body(call.object));
    });
}

template <class Object, Access kind, auto body>
PyObject* binary_slot(PyObject* self, PyObject* operand) {
    return call_frame([&]() -> PyObject* {
        HeldReceiver<Object> call(self);
        AccessGuard<kind> access(self);
        Ref held = Ref::borrow(operand);  // the body may run Python code
        return to_result(body(call.object, held.get()));
    });
}


// Casts a fast-call function for a method table, the one place such a cast is made.
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction method_pointer(FastFunction function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
inline constexpr int fast_call_flags = METH_FASTCALL | METH_KEYWORDS;

}  // namespace korvanta
