// Pickling and copying shared by both classes: the reduction that recreates an
// instance without __init__ and hands it its state, and the attributes of
// Python subclasses (__dict__ entries and __slots__ values) that travel with it.
#include "module/state.hpp"

namespace korvanta {
namespace {

// The name of each __slots__ entry of `type` and its bases, as pickle and copy find them.
Ref slot_names(PyObject* type) {
    Ref copyreg = check(PyImport_ImportModule("copyreg"));
    return check(PyObject_CallMethod(copyreg.get(), "_slotnames", "O", type));
}

// The instance's __dict__ when it has one with entries, else null.
Ref own_dict(PyObject* self) {
    if (Py_TYPE(self)->tp_dictoffset == 0) return Ref();
    Ref dict = check(PyObject_GetAttrString(self, "__dict__"));
    if (!PyDict_Check(dict.get()) || PyDict_GET_SIZE(dict.get()) == 0) return Ref();
    return check(PyDict_Copy(dict.get()));
}

// The values of the instance's slots that are set, by name, or null when none is.
Ref own_slots(PyObject* self) {
    Ref names = slot_names(reinterpret_cast<PyObject*>(Py_TYPE(self)));
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

// Whether `name` on the instance's class is still what `base` defines.
bool inherited(PyObject* self, PyTypeObject* base, const char* name) {
    Ref found = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), name));
    Ref own = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(base), name));
    return found.get() == own.get();
}

}  // namespace

Ref reduce_instance(PyObject* self, PyTypeObject* base, std::initializer_list<PyObject*> arguments) {
    // Held before any Python code (an import) can run and assign __class__.
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Ref newobj_arguments = check(PyTuple_New(static_cast<Py_ssize_t>(1 + arguments.size())));
    PyTuple_SET_ITEM(newobj_arguments.get(), 0, Ref::borrow(type.get()).release());
    Py_ssize_t i = 1;
    for (PyObject* argument : arguments) PyTuple_SET_ITEM(newobj_arguments.get(), i++, Ref::borrow(argument).release());

    Ref state = check(PyObject_CallMethod(self, "__getstate__", nullptr));
    // Only instances of Python subclasses have attributes of their own.
    if (Py_TYPE(self) != base && inherited(self, base, "__getstate__")) {
        Ref dict = own_dict(self);
        Ref slots = own_slots(self);
        if (dict || slots) {
            state = check(PyTuple_Pack(3, state.get(), dict ? dict.get() : Py_None, slots ? slots.get() : Py_None));
        }
    }
    Ref copyreg = check(PyImport_ImportModule("copyreg"));
    Ref newobj = check(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
    return check(PyTuple_Pack(3, newobj.get(), newobj_arguments.get(), state.get()));
}

PyObject* own_state(PyObject* self, PyObject* state) {
    if (!PyTuple_CheckExact(state) || PyTuple_GET_SIZE(state) != 3) return state;
    PyObject* dict = PyTuple_GET_ITEM(state, 1);
    PyObject* slots = PyTuple_GET_ITEM(state, 2);
    if (dict != Py_None) {
        if (!PyDict_Check(dict)) raise_conversion(dict, messages::py_dict);
        Ref own = check(PyObject_GetAttrString(self, "__dict__"));
        check_status(PyDict_Update(own.get(), dict));
    }
    if (slots != Py_None) {
        if (!PyDict_Check(slots)) raise_conversion(slots, messages::py_dict);
        Py_ssize_t position = 0;
        PyObject *name, *value;
        while (PyDict_Next(slots, &position, &name, &value)) {
            Ref held_name = Ref::borrow(name), held_value = Ref::borrow(value);
            check_status(PyObject_SetAttr(self, held_name.get(), held_value.get()));
        }
    }
    return PyTuple_GET_ITEM(state, 0);
}

}  // namespace korvanta
