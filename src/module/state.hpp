// Pickling and copying shared by both classes and their Python subclasses.
#pragma once

#include <initializer_list>

#include "module/frame.hpp"

namespace korvanta {

// __reduce__ of an instance of `base` or of a subclass: recreates the instance
// through copyreg.__newobj__(type, *arguments), without __init__, then hands it
// its state. The state is what __getstate__ gives; when that is still the
// class's own __getstate__ and the instance has attributes of its own (a
// subclass's __dict__ entries, __slots__ values), it is the triple
// (that state, the __dict__ entries or None, the slot values by name or None).
Ref reduce_instance(PyObject* self, PyTypeObject* base, std::initializer_list<PyObject*> arguments);

// The first step of __setstate__: a triple made by reduce_instance gives the
// instance its own attributes back and yields the class's own state; any other
// state is yielded as it is.
PyObject* own_state(PyObject* self, PyObject* state);

// The rest of __setstate__: the state (after own_state) must be a dict, whose
// entries go to `apply(std::string_view key, PyObject* value)` one at a time,
// in the dict's order. Key and value are held while they are applied, since
// applying may run Python code that changes the dict.
template <class Apply>
void for_each_state_entry(PyObject* state, Apply&& apply) {
    if (!PyDict_Check(state)) raise_conversion(state, messages::py_dict);
    Py_ssize_t position = 0;
    PyObject *borrowed_key, *borrowed_value;
    while (PyDict_Next(state, &position, &borrowed_key, &borrowed_value)) {
        Ref key = Ref::borrow(borrowed_key);
        Ref value = Ref::borrow(borrowed_value);
        apply(text_of(key.get()), value.get());
    }
}

}  // namespace korvanta
