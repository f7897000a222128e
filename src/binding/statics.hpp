// Everything the module keeps beyond its objects, listed in one place and
// made one way: on first need, by the maker its user passes; a value whose
// making fails stays empty, so that the next need tries again.
//  - The class objects are made once per process and shared by every module
//    object, in every interpreter; they are never released.
//  - Every other Python object the module keeps (a module it calls, the
//    Jinja environment, interned names) belongs to the interpreter it was
//    made in: each interpreter makes its own, kept in its own dict and
//    released when it ends, so that none is used after its interpreter ended.
// (More process-wide values hold no Python object: the content of templates
// made with no markup, in template_type.cpp; the memory of released fragment
// objects, in fragment_type.hpp, and of released parse keepers, in
// conversions.cpp, kept for the next ones.)
#pragma once

#include <array>
#include <atomic>

#include "binding/ref.hpp"

namespace korvanta {

enum class Static : unsigned {
    panic_class,          // PanicException
    markup_error_class,   // MarkupError
    fragment_class,       // PromptFragment
    template_class,       // PromptTemplate
    iterator_class,       // PromptFragmentIter
    chat_class,           // ChatTemplate
    packer_class,         // Packer
    collator_class,       // DataCollator
    count
};

// What each interpreter keeps of its own.
enum class Kept : unsigned {
    copyreg,              // the copyreg module, which pickling calls
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

// One interpreter's own values, and whether its end is watched for.
struct InterpreterKept {
    std::array<std::atomic<PyObject*>, static_cast<std::size_t>(Kept::count)> values{};
    std::atomic<bool> watched{false};
};
// The calling interpreter's, made on first need; null with the exception set when that fails.
InterpreterKept* interpreter_kept() noexcept;

// `slot`, filled by `make()` (a new reference, or null with an exception
// set) when it is empty. Making it may run Python code, and so let another
// thread make it meanwhile (or, without the interpreter lock, at the same
// time): the first one put in place stays, whole before any thread sees it.
template <class Make>
PyObject* fill_once(std::atomic<PyObject*>& slot, Make&& make) noexcept {
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
}  // namespace detail

// The static `which` as it is now: null while it is not made.
inline PyObject* static_slot(Static which) noexcept {
    return detail::statics[static_cast<std::size_t>(which)].load(std::memory_order_acquire);
}

// The static `which`, made by `make()` when it is empty; null with the exception set when making fails.
template <class Make>
PyObject* lazily(Static which, Make&& make) noexcept {
    return detail::fill_once(detail::statics[static_cast<std::size_t>(which)], std::forward<Make>(make));
}

// The calling interpreter's value `which`, made by `make()` when it is
// empty; null with the exception set when making fails.
template <class Make>
PyObject* lazily(Kept which, Make&& make) noexcept {
    detail::InterpreterKept* kept = detail::interpreter_kept();
    if (kept == nullptr) return nullptr;
    return detail::fill_once(kept->values[static_cast<std::size_t>(which)], std::forward<Make>(make));
}

// An interned name of the calling interpreter (Kept::qualname and after), or null with the exception set.
PyObject* interned(Kept which) noexcept;

// A class object static made from its definition, or null with the exception set.
PyTypeObject* class_object(Static which, PyType_Spec& definition) noexcept;

// Whether the calling interpreter's end is watched for already; marks it watched.
bool watched_for_the_end() noexcept;

}  // namespace korvanta
