// The UTF-8 text of a str, new str objects, and size hints of sequences.
#include "binding/conversions.hpp"

namespace korvanta {

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

Ref attribute_or_null(PyObject* object, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(object, name));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
    }
    return value;
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

}  // namespace korvanta
