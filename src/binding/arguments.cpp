// The binder: positional and keyword arguments to parameters, with the
// interpreter's own TypeError messages.
#include "binding/arguments.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace korvanta {

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
    if (Py_ssize_t i = find_name(signature.names, utf8, size); i >= 0) {
        if (i < signature.positional_only) {
            PyErr_Format(PyExc_TypeError, messages::positional_only_keyword, signature.full_name, name);
            throw PythonError{};
        }
        return place(signature, arguments, i, name, value);
    }
    if (options != nullptr) {
        if (Py_ssize_t i = find_name(signature.options, utf8, size); i >= 0) {
            return place(signature, options->named, i, name, value);
        }
        if (signature.keywords == Keywords::any) {
            if (!options->others) options->others = check(PyDict_New());
            check_status(PyDict_SetItem(options->others.get(), name, value));
            return;
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

Arguments bind_any_vector(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
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

Arguments bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, Options* options) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    Arguments arguments = bind_positional(signature, &PyTuple_GET_ITEM(args, 0), given);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *name, *value;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            // An error message may call the name's __str__, which could change the dict.
            Ref held_name = Ref::borrow(name);
            place_keyword(signature, held_name.get(), value, arguments, options);
        }
    }
    check_required(signature, given, arguments);
    return arguments;
}

}  // namespace korvanta
