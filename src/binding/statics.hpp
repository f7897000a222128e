// Everything the module keeps for the life of the process, listed in one
// place and made one way: on first need, by the maker its user passes; a
// static whose making fails stays empty, so that the next need tries again.
// The class objects are made once per process and shared by every module
// object; nothing here is ever released. (More process-wide values hold no
// Python object: the content of templates made with no markup, in
// template_type.cpp; the memory of released fragment objects, in
// fragment_type.hpp, and of released parse keepers, in conversions.cpp, kept
// for the next ones.)
#pragma once

#include <array>
#include <atomic>

#include "binding/ref.hpp"

namespace korvanta {

enum class Static : unsigned {
    panic_class,          // PanicException
    markup_error_class,   // MarkupError
    copyreg,              // the copyreg module, which pickling calls
    fragment_class,       // PromptFragment
    template_class,       // PromptTemplate
    iterator_class,       // PromptFragmentIter
    chat_class,           // ChatTemplate
    chat_environment,     // the Jinja environment chat templates are rendered in
    qualname,             // "__qualname__", which conversion errors read
    ids,                  // "ids", "offsets", "special_tokens_mask": what a tokenizer's encodings hold
    offsets,
    special_tokens_mask,
    add_special_tokens,   // the keyword of a tokenizer's encode_batch
    count
};

namespace detail {
inline std::array<std::atomic<PyObject*>, static_cast<std::size_t>(Static::count)> statics{};  // see the list above
}  // namespace detail

// The static `which` as it is now: null while it is not made.
inline PyObject* static_slot(Static which) noexcept {
    return detail::statics[static_cast<std::size_t>(which)].load(std::memory_order_acquire);
}

// The static `which`, made by `make()` (a new reference, or null with an
// exception set) when it is empty. Making it may run Python code, and so let
// another thread make it meanwhile (or, without the interpreter lock, at the
// same time): the first one put in place stays, whole before any thread sees
// it. Returns null with the exception set when making fails.
template <class Make>
PyObject* lazily(Static which, Make&& make) noexcept {
    std::atomic<PyObject*>& slot = detail::statics[static_cast<std::size_t>(which)];
    if (PyObject* made = slot.load(std::memory_order_acquire)) return made;
    PyObject* made = make();
    if (made == nullptr) {
        if (!PyErr_Occurred()) PyErr_NoMemory();  // some interpreters fail making a class without saying why
        return nullptr;
    }
    PyObject* first = nullptr;
    if (slot.compare_exchange_strong(first, made, std::memory_order_acq_rel)) return made;
    Py_DECREF(made);
    return first;
}

// An interned name static (Static::qualname and after), or null with the exception set.
PyObject* interned(Static which) noexcept;

// A class object static made from its definition, or null with the exception set.
PyTypeObject* class_object(Static which, PyType_Spec& definition) noexcept;

}  // namespace korvanta
