// The call frame's out-of-line parts: turning C++ failures into Python
// exceptions, PanicException, argument binding and the basic conversions.
#include "module/frame.hpp"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace korvanta {

Ref fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

namespace {

// PanicException, made on the first internal failure and kept for the process.
PyObject* panic_class = nullptr;

PyObject* panic_type() noexcept {
    if (panic_class == nullptr) {
        panic_class = PyErr_NewExceptionWithDoc(messages::panic_name, messages::panic_doc, PyExc_BaseException, nullptr);
    }
    return panic_class;
}

// Raises PanicException with `text` (a str) as its argument. Builds no C++
// object, so it cannot fail in a way that escapes; should making the class
// fail, that failure is what the caller sees.
void raise_panic(PyObject* text) noexcept {
    if (PyObject* type = panic_type()) PyErr_SetObject(type, text);
}

void raise_panic(std::string_view text) noexcept {
    Ref argument = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (argument) raise_panic(argument.get());
}

void restore_exception(Ref exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

// The str argument of an exception made with exactly one, or null.
Ref single_str_argument(PyObject* exception) noexcept {
    Ref args = Ref::steal(PyObject_GetAttrString(exception, "args"));
    if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1 &&
        PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0))) {
        return Ref::borrow(PyTuple_GET_ITEM(args.get(), 0));
    }
    PyErr_Clear();
    return Ref();
}

// A PanicException that Python code raised while we called back into it is
// shown on standard error and then raised again as our own failure. It is
// only displayed: printing it "in the usual way" would act on it, and a
// subclass that is also a SystemExit would end the process.
void resume_panic() noexcept {
    Ref exception = fetch_exception();
    Ref text = single_str_argument(exception.get());
    PySys_WriteStderr("%s", messages::resuming_panic);
    Ref traceback = Ref::steal(PyException_GetTraceback(exception.get()));
    PyErr_Display(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get(), traceback.get());
    PyErr_Clear();  // whatever displaying it raised
    if (text) {
        raise_panic(text.get());
    } else {
        raise_panic(std::string_view(messages::unwrapped_panic));
    }
}

PyObject* qualname_cache = nullptr;  // "__qualname__", read by conversion errors

}  // namespace

PyObject* interned(PyObject*& cache, const char* name) {
    if (cache == nullptr) cache = check(PyUnicode_InternFromString(name)).release();
    return cache;
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, messages::no_exception_set);
        } else if (panic_class != nullptr && PyErr_ExceptionMatches(panic_class)) {
            resume_panic();
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const InternalFailure& failure) {
        raise_panic(std::string_view(failure.text));
    } catch (...) {
        raise_panic(std::string_view(messages::internal_failure));
    }
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

void raise_conversion(PyObject* object, const char* expected) {
    PyObject* qualname = interned(qualname_cache, "__qualname__");
    Ref name = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), qualname));
    if (!name || !PyUnicode_Check(name.get()) || PyUnicode_AsUTF8AndSize(name.get(), nullptr) == nullptr) {
        PyErr_Clear();
        name = check(PyUnicode_FromString(messages::unknown_type_name));
    }
    PyErr_Format(PyExc_TypeError, messages::cannot_convert, name.get(), expected);
    throw PythonError{};
}

void name_argument_in_type_error(const char* name) noexcept {
    if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Ref original = fetch_exception();
    if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_exception(std::move(original));
        return;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat(messages::argument_prefix, name, original.get()));
    Ref renamed = message ? Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get())) : Ref();
    if (!renamed) return;  // the failure to build the new error is what the caller sees
    PyException_SetCause(renamed.get(), PyException_GetCause(original.get()));
    restore_exception(std::move(renamed));
}

// ---------------------------------------------------------------- binding

namespace {

[[noreturn]] void raise_too_many(const Signature& signature, Py_ssize_t given) {
    const Py_ssize_t count = static_cast<Py_ssize_t>(signature.names.size());
    const char* verb = given == 1 ? "was" : "were";
    if (signature.required == count) {
        PyErr_Format(PyExc_TypeError, messages::too_many_fixed, signature.full_name, count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, messages::too_many_range, signature.full_name, signature.required, count,
                     given, verb);
    }
    throw PythonError{};
}

// Where `name` goes among `names`, or -1.
Py_ssize_t find_name(std::span<const std::string_view> names, const char* utf8, Py_ssize_t size) noexcept {
    for (std::size_t i = 0; utf8 != nullptr && i < names.size(); ++i) {
        std::string_view name = names[i];
        if (name.size() == static_cast<std::size_t>(size) && std::memcmp(name.data(), utf8, name.size()) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

template <std::size_t N>
void place(const Signature& signature, std::array<Ref, N>& bound, Py_ssize_t i, PyObject* name, PyObject* value) {
    Ref& slot = bound[static_cast<std::size_t>(i)];
    if (slot) {
        PyErr_Format(PyExc_TypeError, messages::multiple_values, signature.full_name, name);
        throw PythonError{};
    }
    slot = Ref::borrow(value);
}

void place_keyword(const Signature& signature, PyObject* name, PyObject* value, Arguments& arguments,
                   Options* options) {
    if (!PyUnicode_Check(name)) raise_conversion(name, messages::py_string);
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) PyErr_Clear();
    if (Py_ssize_t i = find_name(signature.names, utf8, size); i >= 0) return place(signature, arguments, i, name, value);
    if (options != nullptr) {
        if (Py_ssize_t i = find_name(signature.options, utf8, size); i >= 0) {
            return place(signature, *options, i, name, value);
        }
    }
    PyErr_Format(PyExc_TypeError, messages::unexpected_keyword, signature.full_name, name);
    throw PythonError{};
}

void check_required(const Signature& signature, Py_ssize_t given, const Arguments& arguments) {
    if (given >= signature.required) return;
    std::vector<std::string_view> missing;
    for (Py_ssize_t i = 0; i < signature.required; ++i) {
        if (!arguments[static_cast<std::size_t>(i)]) missing.push_back(signature.names[static_cast<std::size_t>(i)]);
    }
    if (missing.empty()) return;
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        list.append("'").append(missing[i]).append("'");
    }
    PyErr_Format(PyExc_TypeError, messages::missing_required, signature.full_name,
                 static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "argument" : "arguments", list.c_str());
    throw PythonError{};
}

Arguments bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t given) {
    if (given > static_cast<Py_ssize_t>(signature.names.size())) raise_too_many(signature, given);
    Arguments arguments{};
    for (Py_ssize_t i = 0; i < given; ++i) arguments[static_cast<std::size_t>(i)] = Ref::borrow(args[i]);
    return arguments;
}

}  // namespace

Arguments bind_vector(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                      Options* options) {
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    Arguments arguments = bind_positional(signature, args, given);
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < keywords; ++i) {
            place_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[given + i], arguments, options);
        }
    }
    check_required(signature, given, arguments);
    return arguments;
}

Arguments bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    Arguments arguments = bind_positional(signature, &PyTuple_GET_ITEM(args, 0), given);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *name, *value;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            // An error message may call the name's __str__, which could change the dict.
            Ref held_name = Ref::borrow(name);
            place_keyword(signature, held_name.get(), value, arguments, nullptr);
        }
    }
    check_required(signature, given, arguments);
    return arguments;
}

// ---------------------------------------------------------------- conversions

Utf8Text::Utf8Text(PyObject* object) {
    if (!PyUnicode_Check(object)) raise_conversion(object, messages::py_string);
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(object) < 0) throw PythonError{};
#endif
    Py_ssize_t size;
    const char* utf8;
    if (PyUnicode_IS_ASCII(object)) {
        // ASCII is its own UTF-8: the interpreter hands out the str's own data.
        utf8 = PyUnicode_AsUTF8AndSize(object, &size);
        if (utf8 == nullptr) throw PythonError{};
    } else {
        // Asking the str for its UTF-8 would attach a copy to it for as long
        // as it lives; a bytes object of our own goes when the call ends.
        encoded_ = check(PyUnicode_AsUTF8String(object));
        utf8 = PyBytes_AS_STRING(encoded_.get());
        size = PyBytes_GET_SIZE(encoded_.get());
    }
    text_ = std::string_view(utf8, static_cast<std::size_t>(size));
}

Ref new_str(std::string_view text) {
    return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

Py_ssize_t sequence_size_hint(PyObject* object) {
    // A length that lies must not make us reserve without bound: trust only
    // containers whose length is their size.
    constexpr Py_ssize_t untrusted_limit = 4096;
    Py_ssize_t size = PySequence_Size(object);
    if (size < 0) {
        // An object without a length, or whose __len__ fails, gives no hint;
        // running out of memory, an interrupt or an exit request is not that.
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
            throw PythonError{};
        }
        PyErr_Clear();
        return 0;
    }
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object) || PyUnicode_CheckExact(object)) return size;
    return size < untrusted_limit ? size : untrusted_limit;
}

PyTypeObject* class_object(PyTypeObject*& registry_entry, PyType_Spec& spec) {
    if (registry_entry != nullptr) return registry_entry;
    // A failure (running out of memory) goes to the caller as it is; the
    // entry stays empty and a later call makes the class. Some interpreters
    // (3.11) fail here without an exception when copying the class's name
    // fails, which is running out of memory too.
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        throw PythonError{};
    }
    // Class creation can run Python code (a collection), and so another thread
    // may have filled the entry meanwhile: the first class made stays.
    if (registry_entry == nullptr) {
        registry_entry = reinterpret_cast<PyTypeObject*>(type);
    } else {
        Py_DECREF(type);
    }
    return registry_entry;
}

}  // namespace korvanta
