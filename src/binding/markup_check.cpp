// Checking and escaping from Python: validate(), which names the first place
// where a template is not well formed as a MarkupError, and escape(), which
// writes any text as markup that parses back to exactly that text.
#include "binding/markup_check.hpp"

#include "binding/fragment_type.hpp"
#include "binding/statics.hpp"
#include "core/markup.hpp"
#include "core/render.hpp"

namespace korvanta {

const char validate_doc[] =
    "validate(template)\n--\n\n"
    "Check that the whole template is well formed markup.\n"
    "\n"
    "Returns None, or raises MarkupError for the first place where parsing would stop:\n"
    "its msg says why, its pos where (an index into template, in characters).";

const char escape_doc[] =
    "escape(text)\n--\n\n"
    "Write text as template markup that parses back to exactly that text.\n"
    "\n"
    "Puts a backslash before every backslash, '[' and ']' and changes nothing else.";

namespace {

const char markup_error_doc[] =
    "A template that is not well formed, from korvanta.validate().\n"
    "\n"
    "MarkupError(msg, template, pos): msg says why, pos is where (an index into\n"
    "template, in characters); lineno and colno give the same place as line and\n"
    "column, both counted from 1.";

constexpr std::string_view error_names[] = {"msg", "template", "pos"};
constexpr Signature error_init_signature{"MarkupError.__init__()", error_names, 3};
constexpr Signature error_str_signature{"MarkupError.__str__()", {}, 0};

const char* reason(MarkupFault fault) noexcept {
    switch (fault) {
        case MarkupFault::unescaped_close: return messages::unescaped_close;
        case MarkupFault::lone_backslash: return messages::lone_backslash;
        case MarkupFault::unclosed_control: return messages::unclosed_control;
        case MarkupFault::bracket_in_control: return messages::bracket_in_control;
        case MarkupFault::empty_name: return messages::empty_name;
        case MarkupFault::hash_in_name: return messages::hash_in_name;
        case MarkupFault::comma_in_name: return messages::comma_in_name;
        case MarkupFault::empty_option: return messages::empty_option;
        case MarkupFault::second_bar: return messages::second_bar;
    }
    return messages::internal_failure;
}

void set_attribute(PyObject* object, const char* name, PyObject* value) {
    check_status(PyObject_SetAttrString(object, name, value));
}

// MarkupError.__init__(msg, template, pos): the three arguments are the
// exception's args, so that it pickles and copies as it is; lineno and colno
// are worked out from them, as json.JSONDecodeError does.
PyObject* markup_error_init(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_frame([&]() -> PyObject* {
        Arguments arguments = bind_vector(error_init_signature, args, nargsf, kwnames);
        PyObject* msg = arguments[0].get();
        PyObject* template_text = arguments[1].get();
        convert_argument("msg", [&] { (void)Utf8Text(msg); });
        convert_argument("template", [&] { (void)Utf8Text(template_text); });
        Ref pos = check(PyNumber_Index(arguments[2].get()));
        Py_ssize_t at = PyLong_AsSsize_t(pos.get());
        if (at == -1 && PyErr_Occurred()) throw PythonError{};
        Ref newline = check(PyUnicode_FromOrdinal('\n'));
        Py_ssize_t lines = PyUnicode_Count(template_text, newline.get(), 0, at);
        if (lines < 0) throw PythonError{};
        Py_ssize_t line_start = PyUnicode_FindChar(template_text, '\n', 0, at, -1);
        if (line_start == -2) throw PythonError{};
        Ref lineno = check(PyLong_FromSsize_t(lines + 1));
        Ref colno = check(PyLong_FromSsize_t(at - line_start));
        Ref all = check(PyTuple_Pack(3, msg, template_text, pos.get()));
        set_attribute(self, "args", all.get());
        set_attribute(self, "msg", msg);
        set_attribute(self, "template", template_text);
        set_attribute(self, "pos", pos.get());
        set_attribute(self, "lineno", lineno.get());
        set_attribute(self, "colno", colno.get());
        return Ref::borrow(Py_None).release();
    });
}

// "{msg}: line {lineno} column {colno} (char {pos})"
PyObject* markup_error_str(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_frame([&]() -> PyObject* {
        bind_vector(error_str_signature, args, nargsf, kwnames);
        Ref msg = check(PyObject_GetAttrString(self, "msg"));
        Ref lineno = check(PyObject_GetAttrString(self, "lineno"));
        Ref colno = check(PyObject_GetAttrString(self, "colno"));
        Ref pos = check(PyObject_GetAttrString(self, "pos"));
        return PyUnicode_FromFormat(messages::markup_error_text, msg.get(), lineno.get(), colno.get(), pos.get());
    });
}

PyMethodDef markup_error_methods[] = {
    {"__init__", method_pointer(markup_error_init), fast_call_flags, nullptr},
    {"__str__", method_pointer(markup_error_str), fast_call_flags, nullptr},
};

// A ValueError subclass made the way Python makes classes, so that instances
// have the usual __dict__, pickling and garbage collection of exceptions; its
// __init__ and __str__ are the functions above. A new reference, or null with
// the exception set.
PyObject* new_markup_error_class() noexcept {
    Ref type = Ref::steal(PyErr_NewExceptionWithDoc("korvanta.MarkupError", markup_error_doc, PyExc_ValueError, nullptr));
    if (!type) return nullptr;
    for (PyMethodDef& definition : markup_error_methods) {
        Ref method = Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.get()), &definition));
        if (!method || PyObject_SetAttrString(type.get(), definition.ml_name, method.get()) < 0) return nullptr;
    }
    return type.release();
}

}  // namespace

PyObject* markup_error_type() {
    PyObject* type = lazily(Static::markup_error_class, new_markup_error_class);
    if (type == nullptr) throw PythonError{};
    return type;
}

Ref validate(const Arguments& arguments) {
    PyObject* object = arguments[0].get();
    Utf8Text utf8 = convert_argument("template", [&] { return Utf8Text(object); });
    std::string_view text = utf8.view();
    NullSink sink;
    std::string_view rest = parse_markup_into(text, sink);
    if (rest.empty()) return Ref::borrow(Py_None);
    MarkupStop stop = describe_stop(text, text.size() - rest.size());
    Py_ssize_t pos = PyUnicode_IS_ASCII(object) ? static_cast<Py_ssize_t>(stop.offset)
                                                 : static_cast<Py_ssize_t>(character_count(text.substr(0, stop.offset)));
    PyObject* type = markup_error_type();
    Ref error = check(PyObject_CallFunction(type, "sOn", reason(stop.fault), object, pos));
    PyErr_SetObject(type, error.get());
    throw PythonError{};
}

Ref escape(const Arguments& arguments) {
    PyObject* object = arguments[0].get();
    Utf8Text utf8 = convert_argument("text", [&] { return Utf8Text(object); });
    std::string_view text = utf8.view();
    const std::size_t size = escaped_size(text);
    if (size == text.size() && PyUnicode_CheckExact(object)) return Ref::borrow(object);
    return new_written_str(size, [&](char* out) { write_escaped(text, out); });
}

}  // namespace korvanta
