// Pickling and copying shared by both classes and their Python subclasses.
#pragma once

#include "binding/conversions.hpp"
#include "binding/entry_points.hpp"
#include "binding/object_lock.hpp"

namespace korvanta {

// __reduce__ of an instance of `base` or of a subclass: recreates the instance
// through copyreg.__newobj__ (or __newobj_ex__), without __init__, then hands
// it its state, as Python does for its own classes:
// - the arguments of __new__ are what the class's __getnewargs_ex__ or
//   __getnewargs__ gives, else `default_arguments`;
// - the state is what __getstate__ gives. While __setstate__ is still the
//   class's own, `tokenizer` (when not null) joins that state as its
//   "tokenizer" entry, so that the instance exists, and is memoized by copy
//   and pickle, before anything it refers to is rebuilt, and None is appended
//   to the default arguments; otherwise the tokenizer itself is. While __getstate__ is the class's own
//   and the instance has attributes of its own (a subclass's __dict__
//   entries, __slots__ values), the state is the triple (that state, the
//   __dict__ entries or None, the slot values by name or None).
//   `unread_markup` (when not null), a template's markup that parsing stopped
//   in, replaces the state's "template" entry in the same way, so that the
//   copy is read from it and stops where the original stopped.
Ref reduce_instance(PyObject* self, PyTypeObject* base, PyObject* default_arguments, PyObject* tokenizer,
                    PyObject* unread_markup = nullptr);

// A __setstate__ argument in its parts: the class's own state, and the
// subclass's attributes of a triple made by reduce_instance (None when absent).
struct StateParts {
    PyObject* own;    // the class's own state: a dict
    PyObject* dict;   // __dict__ entries, or None
    PyObject* slots;  // __slots__ values by name, or None
};
StateParts split_state(PyObject* state);

// Sets the subclass's attributes of `parts` on the instance. Runs the
// subclass's own code (__setattr__), so it is called once the class's own
// state is restored and no access to the instance is held.
void restore_attributes(PyObject* self, const StateParts& parts);

// Walks the class's own state, a dict, giving its entries to
// `apply(std::string_view key, PyObject* value)` one at a time, in the dict's
// order. Key and value are held while they are applied, since applying may
// run Python code that changes the dict.
template <class Apply>
void for_each_state_entry(PyObject* state, Apply&& apply) {
    if (!PyDict_Check(state)) raise_conversion(state, messages::py_dict);
    Py_ssize_t position = 0;
    Ref key, value;
    while (next_entry(state, position, key, value)) {
        Utf8Text key_text = Utf8Text(key.get());
        apply(key_text.view(), value.get());
    }
}

}  // namespace korvanta
