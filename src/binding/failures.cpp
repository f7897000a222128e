// Turning C++ failures into Python exceptions, and PanicException.
#include "binding/failures.hpp"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "binding/statics.hpp"

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

// PanicException, made on the first internal failure.
PyObject* panic_type() noexcept {
    return lazily(Static::panic_class, [] {
        return PyErr_NewExceptionWithDoc(messages::panic_name, messages::panic_doc, PyExc_BaseException, nullptr);
    });
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

// The str argument of an exception made with exactly one, or null; reading
// it may fail, and only an ordinary failure is cleared.
Ref single_str_argument(PyObject* exception) noexcept {
    Ref args = Ref::steal(PyObject_GetAttrString(exception, "args"));
    if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1 &&
        PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0))) {
        return Ref::borrow(PyTuple_GET_ITEM(args.get(), 0));
    }
    if (!args && ordinary_failure()) PyErr_Clear();
    return Ref();
}

// A PanicException that Python code raised while we called back into it is
// shown on standard error and then raised again as our own failure. It is
// only displayed: printing it "in the usual way" would act on it, and a
// subclass that is also a SystemExit would end the process.
void resume_panic() noexcept {
    Ref exception = fetch_exception();
    Ref text = single_str_argument(exception.get());
    if (PyErr_Occurred()) return;  // an interrupt or memory running out while reading it goes first
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

}  // namespace


void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, messages::no_exception_set);
        } else if (PyObject* panic = static_slot(Static::panic_class); panic != nullptr && PyErr_ExceptionMatches(panic)) {
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

void raise_from_pending(PyObject* type, const char* format) {
    Ref cause = fetch_exception();
    Ref message = check(PyUnicode_FromFormat(format, cause.get()));
    Ref error = check(PyObject_CallOneArg(type, message.get()));
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(type, error.get());
    throw PythonError{};
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

void raise_conversion(PyObject* object, const char* expected) {
    PyObject* qualname = check_borrowed(interned(Kept::qualname));
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

}  // namespace korvanta
