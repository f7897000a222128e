// Reading encode()'s options into plain values, each with the message that
// names the option and what it must be.
#include "binding/encode_options.hpp"

#include <algorithm>

namespace korvanta {

[[noreturn]] void raise_option_type(const char* option, const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError, messages::option_type, option, expected, type_name(value).get());
    throw PythonError{};
}

// A str names one; an iterable of str names each of its items.
std::vector<std::string> names_of(PyObject* value, const char* option) {
    std::vector<std::string> names;
    if (value == nullptr || value == Py_None) return names;
    if (PyUnicode_Check(value)) {
        names.emplace_back(Utf8Text(value).view());
        return names;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
        PyErr_Clear();
        raise_option_type(option, "a str or an iterable of str", value);
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, messages::names_type, option, type_name(value).get(),
                         type_name(item.get()).get());
            throw PythonError{};
        }
        names.emplace_back(Utf8Text(item.get()).view());
    }
    if (PyErr_Occurred()) throw PythonError{};
    return names;
}

bool contains(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// A str or None option: null when not given or None.
PyObject* token_option(PyObject* value, const char* option) {
    if (value == nullptr || value == Py_None) return nullptr;
    if (PyUnicode_Check(value)) return value;
    raise_option_type(option, "a str or None", value);
}

std::optional<std::size_t> max_length_of(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        Py_ssize_t length = PyLong_AsSsize_t(value);
        if (length > 0) return static_cast<std::size_t>(length);
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ValueError, messages::bad_max_length, value);
    throw PythonError{};
}

CutSide side_of(PyObject* value) {
    if (value == nullptr) return CutSide::end;
    if (PyUnicode_Check(value)) {
        if (PyUnicode_CompareWithASCIIString(value, "right") == 0) return CutSide::end;
        if (PyUnicode_CompareWithASCIIString(value, "left") == 0) return CutSide::start;
    }
    PyErr_Format(PyExc_ValueError, messages::bad_side, value);
    throw PythonError{};
}

Padding padding_of(PyObject* value) {
    if (value == nullptr || value == Py_None || value == Py_False) return {};
    if (value == Py_True) return {Padding::longest, 0};
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "longest") == 0) return {Padding::longest, 0};
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        Py_ssize_t width = PyLong_AsSsize_t(value);
        if (width >= 0) return {Padding::width, static_cast<std::size_t>(width)};
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ValueError, messages::bad_padding, value);
    throw PythonError{};
}

Tensors tensors_of(PyObject* value, bool arrow) {
    if (value == nullptr || value == Py_None) return Tensors::none;
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "np") == 0) return Tensors::numpy;
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "pt") == 0) return Tensors::torch;
    if (arrow && PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "arrow") == 0) return Tensors::arrow;
    PyErr_Format(PyExc_ValueError, arrow ? messages::bad_return_tensors : messages::bad_collator_tensors, value);
    throw PythonError{};
}

Overflow overflow_of(PyObject* value, bool may_split) {
    if (value == nullptr) return Overflow::raise;
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "raise") == 0) return Overflow::raise;
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "drop") == 0) return Overflow::drop;
    if (may_split && PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "split") == 0) return Overflow::split;
    PyErr_Format(PyExc_ValueError, may_split ? messages::bad_chat_overflow : messages::bad_overflow, value);
    throw PythonError{};
}

// padding_side: "right" (false) or "left" (true); by default the tokenizer's own side, else right.
bool pads_left(PyObject* value, const TokenizerView& tokenizer, bool padding) {
    const bool own = value == nullptr || value == Py_None;
    if (own) {
        value = tokenizer.padding_side.get();
        if (value == nullptr || !padding) return false;  // the tokenizer's own side matters only when padding
    }
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "right") == 0) return false;
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "left") == 0) return true;
    PyErr_Format(PyExc_ValueError, own ? messages::bad_tokenizer_padding_side : messages::bad_padding_side, value);
    throw PythonError{};
}

std::optional<TokenId> pad_id_of(PyObject* value, const TokenizerView& tokenizer, bool padding) {
    PyObject* option = token_option(value, "pad_token");
    if (!padding) return std::nullopt;
    PyObject* pad_token = option != nullptr ? option : tokenizer.pad_token.get();
    if (pad_token == nullptr) raise(PyExc_ValueError, messages::needs_pad_token);
    std::optional<TokenId> id = token_id(tokenizer.backend.get(), pad_token);
    if (!id) {
        PyErr_Format(PyExc_ValueError, messages::unknown_token, "pad_token", pad_token);
        throw PythonError{};
    }
    return id;
}

void check_names(const char* option, const std::vector<std::string>& names, const TemplateContent& content) {
    std::vector<std::string_view> controls;  // each once, in template order
    for (const PromptFragment& fragment : content.fragments) {
        if (!fragment.is_text() && std::find(controls.begin(), controls.end(), fragment.string) == controls.end()) {
            controls.push_back(fragment.string);
        }
    }
    for (const std::string& name : names) {
        if (std::find(controls.begin(), controls.end(), name) != controls.end()) continue;
        Ref listed = check(PyList_New(0));
        for (std::string_view control : controls) {
            check_status(PyList_Append(listed.get(), check(PyObject_Repr(new_str(control).get())).get()));
        }
        Ref what = check(PyUnicode_FromString(messages::template_has_none));
        if (!controls.empty()) {
            Ref joined = check(PyUnicode_Join(check(PyUnicode_FromString(", ")).get(), listed.get()));
            what = check(PyUnicode_FromFormat(messages::template_names, joined.get()));
        }
        PyErr_Format(PyExc_ValueError, messages::not_a_control, option, new_str(name).get(), what.get());
        throw PythonError{};
    }
}

bool flag_of(PyObject* value, const char* option, bool absent) {
    if (value == nullptr) return absent;
    if (PyBool_Check(value)) return value == Py_True;
    raise_option_type(option, "True or False", value);
}

// The cache key of a call; a name option that names nothing of the template is a ValueError.
OutputOptions read_output_options(const TokenizerView& tokenizer, PyObject* max_length, PyObject* overflow,
                                  PyObject* padding, PyObject* pad_token, PyObject* padding_side,
                                  PyObject* return_tensors, PyObject* pack, bool batch, bool may_split) {
    OutputOptions read;
    read.pack = flag_of(pack, "pack", false);
    read.max_length = max_length_of(max_length);
    read.padding = padding_of(padding);
    read.tensors = tensors_of(return_tensors);
    const Overflow asked = overflow_of(overflow, may_split);
    read.drop = asked != Overflow::raise && batch;
    read.split = asked == Overflow::split && batch && read.max_length.has_value();
    const bool padded = read.padding.kind != Padding::none;
    read.left = pads_left(padding_side, tokenizer, padded);
    read.pad = pad_id_of(pad_token, tokenizer, padded);
    if (read.pack && !batch) raise(PyExc_ValueError, messages::pack_one_row);
    if (read.pack && !read.max_length) raise(PyExc_ValueError, messages::pack_needs_max_length);
    return read;
}

EncodingKey key_of(const TemplateContent& content, const TokenizerView& tokenizer, const Options& options) {
    EncodingKey key;
    key.extra_slots = names_of(options[encode_option::slots].get(), "slots");
    check_names("slots", key.extra_slots, content);
    key.targets = names_of(options[encode_option::targets].get(), "targets");
    check_names("targets", key.targets, content);
    for (const PromptFragment& fragment : content.fragments) {
        if (!fragment.is_text() && fragment.options.size() == 0 && contains(key.extra_slots, fragment.string) &&
            contains(key.targets, fragment.string)) {
            PyErr_Format(PyExc_ValueError, messages::target_without_options, new_str(fragment.string.view()).get());
            throw PythonError{};
        }
    }
    key.special_tokens = flag_of(options[encode_option::add_special_tokens].get(), "add_special_tokens", true);
    const bool has_slots = std::any_of(content.fragments.begin(), content.fragments.end(), [&](const PromptFragment& f) {
        return !f.is_text() && (f.options.size() > 0 || contains(key.extra_slots, f.string));
    });
    PyObject* mask = options[encode_option::mask_token].get();
    if (mask == nullptr) {
        mask = tokenizer.mask_token.get();
        if (mask == nullptr) {
            if (has_slots) raise(PyExc_ValueError, messages::needs_mask_token);
            key.mask_token = std::string();
            return key;
        }
    }
    if (token_option(mask, "mask_token") != nullptr) key.mask_token = std::string(Utf8Text(mask).view());
    return key;
}

}  // namespace korvanta
