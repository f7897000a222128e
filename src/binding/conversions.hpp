// Plain values from Python objects and back: the UTF-8 text of a str, a new
// str, a sequence as a vector, and a markup hash as the interpreter's hash.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "binding/failures.hpp"
#include "binding/free_threading.hpp"
#include "core/record.hpp"

namespace korvanta {

// The UTF-8 text of a str (or subclass), for the length of one call. ASCII
// text is read in place; other text is encoded into a buffer of its own, so
// the caller's str keeps no lasting UTF-8 copy.
class Utf8Text {
   public:
    explicit Utf8Text(PyObject* object);
    std::string_view view() const noexcept { return text_; }
    operator std::string_view() const noexcept { return text_; }
    // The object that holds the bytes, when records may keep it: an exact str
    // (ASCII) or the bytes encoded for this call; null for a str subclass.
    PyObject* holder() const noexcept { return holder_; }

   private:
    Ref encoded_;                  // the bytes that hold the encoded text, for non-ASCII text
    std::string_view text_;        // the text, in the str or in encoded_
    PyObject* holder_ = nullptr;   // the str or encoded_, when records may keep it
};

Ref new_str(std::string_view text);

// A keeper of the object that holds a text's bytes (see Utf8Text::holder), so
// that records view the text in place; null when records must copy it.
TextKeeper* new_object_keeper(const Utf8Text& text);

// The text of a str as a record's text: the str itself kept where it can be.
SharedText shared_text_of(PyObject* object);

// Whether `keeper` keeps an ASCII str (null keeps nothing, which is ASCII too).
bool keeps_ascii(const TextKeeper* keeper) noexcept;

// A str of a record's text: the str the text views, when it is all of one;
// otherwise a new str (without looking for non-ASCII bytes where the text is
// part of an ASCII str).
Ref new_str(const SharedText& text);

// A list of `items`, all made before it: between making a list and filling
// it nothing allocates, so a collection (and gc.callbacks code that walks
// objects) never meets a list with empty places.
Ref list_of(std::vector<Ref> items);

// The __qualname__ of an object's class, as messages name it.
Ref type_name(PyObject* object);

// Whether an object is true, as `if` reads it.
bool truth(PyObject* object);

// An attribute, or null when the object has none (any other failure throws).
Ref attribute_or_null(PyObject* object, const char* name);
// The item `key` of a mapping, or null (no exception) when it has none (a KeyError).
Ref item_or_null(PyObject* mapping, const char* key);

// Size hint of a sequence for reserving room; 0 when it cannot be had.
Py_ssize_t sequence_size_hint(PyObject* object);

// A Python sequence as a vector: sequence check, size hint, iteration, one
// conversion per item; the first failure discards everything.
template <class Item, class Convert>
std::vector<Item> sequence_of(PyObject* object, Convert&& convert_item) {
    if (!PySequence_Check(object)) raise_conversion(object, messages::sequence);
    std::vector<Item> items;
    items.reserve(static_cast<std::size_t>(sequence_size_hint(object)));
    if (without_interpreter_lock && PyList_CheckExact(object)) {
        // Another thread may change the list at once: each item is taken with
        // a reference of its own, and a list cut short ends the walk.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
            Ref item = Ref::steal(list_item_ref(object, i));
            if (!item) {
                if (!PyErr_ExceptionMatches(PyExc_IndexError)) throw PythonError{};
                PyErr_Clear();
                break;
            }
            items.push_back(convert_item(item.get()));
        }
        return items;
    }
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

// Interpreter-hash of a 64-bit markup hash: the same bits, signed, -1 made -2.
inline Py_hash_t to_python_hash(std::uint64_t hash) noexcept {
    auto value = static_cast<Py_hash_t>(hash);
    return value == -1 ? -2 : value;
}

}  // namespace korvanta
