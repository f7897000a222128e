// Pickling and copying shared by both classes: the reduction that recreates an
// instance without __init__ and hands it its state, and the attributes of
// Python subclasses (__dict__ entries and __slots__ values) that travel with it.
#include "binding/pickling.hpp"

#include "binding/statics.hpp"

namespace korvanta {
namespace {

// The copyreg module, imported on first need and kept: importing it again on
// every pickling costs more than the rest of a small template's reduction.
PyObject* copyreg_module() {
    PyObject* module = lazily(Kept::copyreg, [] { return PyImport_ImportModule("copyreg"); });
    if (module == nullptr) throw PythonError{};
    return module;
}

// The name of each __slots__ entry of `type` and its bases, as pickle and copy find them.
Ref slot_names(PyObject* type) {
    return check(PyObject_CallMethod(copyreg_module(), "_slotnames", "O", type));
}

// The instance's __dict__ when it has one with entries, else null.
Ref own_dict(PyObject* self) {
    if (Py_TYPE(self)->tp_dictoffset == 0) return Ref();
    Ref dict = check(PyObject_GetAttrString(self, "__dict__"));
    if (!PyDict_Check(dict.get()) || PyDict_GET_SIZE(dict.get()) == 0) return Ref();
    return check(PyDict_Copy(dict.get()));
}

// The values of the instance's slots that are set, by name, or null when none is.
Ref own_slots(PyObject* self, PyObject* type) {
    Ref names = slot_names(type);
    Ref slots = check(PyDict_New());
    Ref iterator = check(PyObject_GetIter(names.get()));
    while (Ref name = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref value = Ref::steal(PyObject_GetAttr(self, name.get()));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
            PyErr_Clear();  // an empty slot
            continue;
        }
        check_status(PyDict_SetItem(slots.get(), name.get(), value.get()));
    }
    if (PyErr_Occurred()) throw PythonError{};
    if (PyDict_GET_SIZE(slots.get()) == 0) return Ref();
    return slots;
}

// Whether `name` on `type` is still what `base` defines.
bool inherited(PyObject* type, PyTypeObject* base, const char* name) {
    Ref found = check(PyObject_GetAttrString(type, name));
    Ref own = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(base), name));
    return found.get() == own.get();
}

// What `name` of the instance's class, called on the instance, gives, or null
// when the class does not define it.
Ref call_if_defined(PyObject* self, PyObject* type, const char* name) {
    if (!attribute_or_null(type, name)) return Ref();
    return check(PyObject_CallMethod(self, name, nullptr));
}

// (callable, arguments) of the reduction: copyreg.__newobj__(type, *args), or
// copyreg.__newobj_ex__(type, args, kwargs) when there are keyword arguments.
// The class's __getnewargs_ex__ or __getnewargs__ gives them, as for Python's
// own classes; otherwise they are `default_arguments`.
std::pair<Ref, Ref> recreation(PyObject* self, PyObject* type, PyObject* copyreg, PyObject* default_arguments,
                               bool subclass) {
    Ref arguments = Ref::borrow(default_arguments);
    Ref keywords;
    if (subclass) {
        if (Ref both = call_if_defined(self, type, "__getnewargs_ex__")) {
            if (!PyTuple_Check(both.get()) || PyTuple_GET_SIZE(both.get()) != 2 ||
                !PyTuple_Check(PyTuple_GET_ITEM(both.get(), 0)) || !PyDict_Check(PyTuple_GET_ITEM(both.get(), 1))) {
                raise(PyExc_TypeError, messages::bad_getnewargs_ex);
            }
            arguments = Ref::borrow(PyTuple_GET_ITEM(both.get(), 0));
            if (PyDict_GET_SIZE(PyTuple_GET_ITEM(both.get(), 1)) > 0) keywords = Ref::borrow(PyTuple_GET_ITEM(both.get(), 1));
        } else if (Ref positional = call_if_defined(self, type, "__getnewargs__")) {
            if (!PyTuple_Check(positional.get())) raise(PyExc_TypeError, messages::bad_getnewargs);
            arguments = std::move(positional);
        }
    }
    if (keywords) {
        return {check(PyObject_GetAttrString(copyreg, "__newobj_ex__")),
                check(PyTuple_Pack(3, type, arguments.get(), keywords.get()))};
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(arguments.get());
    Ref newobj_arguments = check(PyTuple_New(1 + count));
    PyTuple_SET_ITEM(newobj_arguments.get(), 0, Ref::borrow(type).release());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(newobj_arguments.get(), 1 + i, Ref::borrow(PyTuple_GET_ITEM(arguments.get(), i)).release());
    }
    return {check(PyObject_GetAttrString(copyreg, "__newobj__")), std::move(newobj_arguments)};
}

}  // namespace

Ref reduce_instance(PyObject* self, PyTypeObject* base, PyObject* default_arguments, PyObject* tokenizer,
                    PyObject* unread_markup) {
    // Held before any Python code (an import) can run and assign __class__.
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    const bool subclass = type.get() != reinterpret_cast<PyObject*>(base);
    const bool own_setstate = !subclass || inherited(type.get(), base, "__setstate__");
    const bool own_getstate = !subclass || inherited(type.get(), base, "__getstate__");

    Ref state = check(PyObject_CallMethod(self, "__getstate__", nullptr));
    Ref arguments = Ref::borrow(default_arguments);
    if (tokenizer != nullptr) {
        // The tokenizer argument of __new__: None when the state carries it. A
        // __setstate__ of the subclass's own gets the state its __getstate__ gave.
        PyObject* argument = tokenizer;
        if (own_setstate && PyDict_Check(state.get())) {
            // The class's own __getstate__ makes a new dict; a subclass's may hand out one it keeps.
            // None needs no entry: __new__ is given None already, and a load skips the entry.
            if (!own_getstate) state = check(PyDict_Copy(state.get()));
            if (tokenizer != Py_None) check_status(PyDict_SetItemString(state.get(), "tokenizer", tokenizer));
            if (unread_markup != nullptr) check_status(PyDict_SetItemString(state.get(), "template", unread_markup));
            argument = Py_None;
        }
        Ref tail = check(PyTuple_Pack(1, argument));
        arguments = check(PySequence_Concat(default_arguments, tail.get()));
    }
    if (subclass && own_getstate) {
        Ref dict = own_dict(self);
        Ref slots = own_slots(self, type.get());
        if (dict || slots) {
            state = check(PyTuple_Pack(3, state.get(), dict ? dict.get() : Py_None, slots ? slots.get() : Py_None));
        }
    }
    auto [callable, callable_arguments] = recreation(self, type.get(), copyreg_module(), arguments.get(), subclass);
    return check(PyTuple_Pack(3, callable.get(), callable_arguments.get(), state.get()));
}

StateParts split_state(PyObject* state) {
    if (!PyTuple_CheckExact(state) || PyTuple_GET_SIZE(state) != 3) return {state, Py_None, Py_None};
    StateParts parts{PyTuple_GET_ITEM(state, 0), PyTuple_GET_ITEM(state, 1), PyTuple_GET_ITEM(state, 2)};
    if (parts.dict != Py_None && !PyDict_Check(parts.dict)) raise_conversion(parts.dict, messages::py_dict);
    if (parts.slots != Py_None && !PyDict_Check(parts.slots)) raise_conversion(parts.slots, messages::py_dict);
    return parts;
}

void restore_attributes(PyObject* self, const StateParts& parts) {
    // Held: the state tuple is the caller's, but setting an attribute runs
    // the subclass's code, which may drop what the dicts hold.
    Ref dict = Ref::borrow(parts.dict), slots = Ref::borrow(parts.slots);
    if (dict.get() != Py_None) {
        Ref own = check(PyObject_GetAttrString(self, "__dict__"));
        check_status(PyDict_Update(own.get(), dict.get()));
    }
    if (slots.get() != Py_None) {
        Py_ssize_t position = 0;
        Ref name, value;
        while (next_entry(slots.get(), position, name, value)) check_status(PyObject_SetAttr(self, name.get(), value.get()));
    }
}

}  // namespace korvanta
