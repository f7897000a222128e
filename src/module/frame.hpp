// The call frame that every entry point from the interpreter goes through:
// failures travel as C++ exceptions and become Python exceptions at exactly one
// boundary; access to an object's record is a scope guard; arguments are bound
// from one static description per operation.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "module/access.hpp"
#include "module/messages.hpp"
#include "module/ref.hpp"

namespace korvanta {

// ---------------------------------------------------------------- failures

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

// An interned name, made on first need and kept in `cache` for the life of
// the process. A cache that fails to fill stays empty, so the next call tries again.
PyObject* interned(PyObject*& cache, const char* name);

// The pending exception as one normalised object with its traceback, cleared.
Ref fetch_exception() noexcept;

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
template <class Body>
auto call_frame(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
    }
    return failure_value<decltype(body())>();
}

// ---------------------------------------------------------------- instances

// Every instance: the object header, then the record. Who is inside the
// object is kept by each thread (module/access.hpp), not in the object.
template <class Record>
struct Instance {
    PyObject_HEAD
    Record record;  // the class's native record, owned by the object
};

template <class Object>
Object& receiver(PyObject* self) {
    if (!PyObject_TypeCheck(self, Object::type())) raise_conversion(self, Object::class_name);
    return *reinterpret_cast<Object*>(self);
}

// The receiver of a call, held for the whole call: a caller may pass it
// borrowed (functools.partial does) and drop its own reference from Python
// code that the call runs.
template <class Object>
struct HeldReceiver {
    Ref held;        // the receiver, for as long as the call runs
    Object& object;  // the receiver as its class's instance

    explicit HeldReceiver(PyObject* self) : held(Ref::borrow(self)), object(receiver<Object>(self)) {}
};

// The Python object of an instance, the other way round.
template <class Object>
PyObject* self_of(Object& object) noexcept {
    return reinterpret_cast<PyObject*>(&object);
}

// Moves `record` into a just-allocated instance; nothing can fail from here.
template <class Object, class Record>
Ref install_record(PyObject* instance, Record&& record) noexcept {
    auto* object = reinterpret_cast<Object*>(instance);
    ::new (static_cast<void*>(&object->record)) std::remove_cvref_t<Record>(std::forward<Record>(record));
    return Ref::steal(instance);
}

// A new instance of exactly `type`, a class outside cyclic collection: its
// memory comes straight from the object allocator, with no zeroing.
template <class Object, class Record>
Ref new_exact_instance(PyTypeObject* type, Record&& record) {
    PyObject* memory = static_cast<PyObject*>(PyObject_Malloc(sizeof(Object)));
    if (memory == nullptr) {
        PyErr_NoMemory();
        throw PythonError{};
    }
    return install_record<Object>(PyObject_Init(memory, type), std::forward<Record>(record));
}

// A new instance of `type` (possibly a Python subclass) taking over `record`.
template <class Object, class Record>
Ref new_instance(PyTypeObject* type, Record&& record) {
    PyObject* memory = type->tp_alloc(type, 0);
    if (memory == nullptr) throw PythonError{};
    return install_record<Object>(memory, std::forward<Record>(record));
}

// The release slot: destroys the record, frees the memory and drops the
// instance's class reference.
template <class Object>
void instance_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<Object*>(self)->record);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------- binding

// The most parameters an operation has (MarkupError's msg, template, pos).
inline constexpr std::size_t max_parameters = 3;

// The most keyword-only options an operation has (encode's).
inline constexpr std::size_t max_options = 12;

// How an operation in the call form takes its arguments. Every parameter is
// positional-or-keyword; the first `required` of them must be given. Options
// are keyword-only and never required.
struct Signature {
    const char* full_name;                      // "PromptFragment.__new__()", used in messages
    std::span<const std::string_view> names;    // parameter names, in order
    Py_ssize_t required;                        // how many leading parameters are required
    std::span<const std::string_view> options;  // keyword-only option names, in order

    consteval Signature(const char* full_name_, std::span<const std::string_view> names_, Py_ssize_t required_,
                        std::span<const std::string_view> options_ = {})
        : full_name(full_name_), names(names_), required(required_), options(options_) {
        if (names.size() > max_parameters) throw "more parameters than Arguments holds";
        if (options.size() > max_options) throw "more options than Options holds";
    }
};

// Bound arguments, one strong reference each (empty where a parameter was not
// given): a body may run Python code that drops the caller's references, for
// example by clearing the keyword dict the arguments came from.
using Arguments = std::array<Ref, max_parameters>;
// Bound options, in the order of the signature's option names, held the same way.
using Options = std::array<Ref, max_options>;

// The fast-call form: positional arguments, then the values of `kwnames`;
// options go to `options` (an operation without options passes none).
Arguments bind_vector(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                      Options* options = nullptr);
// The constructor form: an argument tuple and an optional keyword dict.
Arguments bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs);

// Replaces a pending TypeError (exactly that type) by "argument '{name}': {message}".
void name_argument_in_type_error(const char* name) noexcept;

// Converts one bound argument; a TypeError it raises names the parameter.
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const PythonError&) {
        name_argument_in_type_error(name);
        throw;
    }
}

// ---------------------------------------------------------------- entry points
// Each wrapper is the whole frame of one kind of entry point: receiver check,
// access, deletion check or binding, body, result.

inline PyObject* to_result(Ref result) noexcept { return result.release(); }
inline Py_ssize_t to_result(Py_ssize_t result) noexcept { return result; }

template <class Object, Access kind, const Signature& signature, auto body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
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
PyObject* function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return call_frame([&]() -> PyObject* { return to_result(body(bind_vector(signature, args, nargsf, kwnames))); });
}

template <const Signature& signature, auto body>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return call_frame([&]() -> PyObject* { return to_result(body(type, bind_tuple(signature, args, kwargs))); });
}

template <class Object, Access kind, auto body>
PyObject* getter(PyObject* self, void*) noexcept {
    return call_frame([&]() -> PyObject* {
        HeldReceiver<Object> call(self);
        AccessGuard<kind> access(self);
        return to_result(body(call.object));
    });
}

template <class Object, auto body>
int setter(PyObject* self, PyObject* value, void*) noexcept {
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
auto unary_slot(PyObject* self) noexcept {
    return call_frame([&] {
        HeldReceiver<Object> call(self);
        AccessGuard<kind> access(self);
        return to_result(body(call.object));
    });
}

template <class Object, Access kind, auto body>
PyObject* binary_slot(PyObject* self, PyObject* operand) noexcept {
    return call_frame([&]() -> PyObject* {
        HeldReceiver<Object> call(self);
        AccessGuard<kind> access(self);
        Ref held = Ref::borrow(operand);  // the body may run Python code
        return to_result(body(call.object, held.get()));
    });
}

// Interpreter-hash of a 64-bit markup hash: the same bits, signed, -1 made -2.
inline Py_hash_t to_python_hash(std::uint64_t hash) noexcept {
    auto value = static_cast<Py_hash_t>(hash);
    return value == -1 ? -2 : value;
}

// Casts a fast-call function for a method table, the one place such a cast is made.
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction method_pointer(FastFunction function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
inline constexpr int fast_call_flags = METH_FASTCALL | METH_KEYWORDS;

// ---------------------------------------------------------------- conversions

// The UTF-8 text of a str (or subclass), for the length of one call. ASCII
// text is read in place; other text is encoded into a buffer of its own, so
// the caller's str keeps no lasting UTF-8 copy.
class Utf8Text {
   public:
    explicit Utf8Text(PyObject* object);
    std::string_view view() const noexcept { return text_; }
    operator std::string_view() const noexcept { return text_; }

   private:
    Ref encoded_;            // the bytes that hold the encoded text, for non-ASCII text
    std::string_view text_;  // the text, in the str or in encoded_
};

inline Utf8Text text_of(PyObject* object) { return Utf8Text(object); }
Ref new_str(std::string_view text);

// Size hint of a sequence for reserving room; 0 when it cannot be had.
Py_ssize_t sequence_size_hint(PyObject* object);

// A Python sequence as a vector: sequence check, size hint, iteration, one
// conversion per item; the first failure discards everything.
template <class Item, class Convert>
std::vector<Item> sequence_of(PyObject* object, Convert&& convert_item) {
    if (!PySequence_Check(object)) raise_conversion(object, messages::sequence);
    std::vector<Item> items;
    items.reserve(static_cast<std::size_t>(sequence_size_hint(object)));
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        // Walked in place; each item is held while it is converted, and the
        // size is read again at each step, should a finalizer change the list.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(object); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_ITEMS(object)[i]);
            items.push_back(convert_item(item.get()));
        }
        return items;
    }
    Ref iterator = check(PyObject_GetIter(object));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) items.push_back(convert_item(item.get()));
    if (PyErr_Occurred()) throw PythonError{};
    return items;
}

// The class object of a class: made from its PyType_Spec on first need and
// kept in `registry_entry` for the life of the process.
PyTypeObject* class_object(PyTypeObject*& registry_entry, PyType_Spec& spec);

}  // namespace korvanta
