// Instances of the module's classes: the object header, then the class's
// native record, placed right after allocation and destroyed by the release slot.
#pragma once

#include <memory>
#include <new>
#include <type_traits>

#include "binding/failures.hpp"

namespace korvanta {

// Every instance: the object header, then the record. Who is inside the
// object is kept by each thread (module/access.hpp), not in the object.
template <class Record>
struct Instance {
    PyObject_HEAD
    Record record;  // the class's native record, owned by the object
};

template <class Object>
Object& receiver(PyObject* self) {
    if (!PyObject_TypeCheck(self, Object::type())) raise_conversion(self, Object::class_name);
    return *reinterpret_cast<Object*>(self);
}

// The receiver of a call, held for the whole call: a caller may pass it
// borrowed (functools.partial does) and drop its own reference from Python
// code that the call runs.
template <class Object>
struct HeldReceiver {
    Ref held;        // the receiver, for as long as the call runs
    Object& object;  // the receiver as its class's instance

    explicit HeldReceiver(PyObject* self) : held(Ref::borrow(self)), object(receiver<Object>(self)) {}
};

// The Python object of an instance, the other way round.
template <class Object>
PyObject* self_of(Object& object) noexcept {
    return reinterpret_cast<PyObject*>(&object);
}

// Moves `record` into a just-allocated instance; nothing can fail from here.
template <class Object, class Record>
Ref install_record(PyObject* instance, Record&& record) noexcept {
    auto* object = reinterpret_cast<Object*>(instance);
    ::new (static_cast<void*>(&object->record)) std::remove_cvref_t<Record>(std::forward<Record>(record));
    return Ref::steal(instance);
}

// A new instance of exactly `type`, a class outside cyclic collection: its
// memory comes straight from the object allocator, with no zeroing.
template <class Object, class Record>
Ref new_exact_instance(PyTypeObject* type, Record&& record) {
    PyObject* memory = static_cast<PyObject*>(PyObject_Malloc(sizeof(Object)));
    if (memory == nullptr) {
        PyErr_NoMemory();
        throw PythonError{};
    }
    return install_record<Object>(PyObject_Init(memory, type), std::forward<Record>(record));
}

// A new instance of `type` (possibly a Python subclass) taking over `record`.
template <class Object, class Record>
Ref new_instance(PyTypeObject* type, Record&& record) {
    PyObject* memory = type->tp_alloc(type, 0);
    if (memory == nullptr) throw PythonError{};
    return install_record<Object>(memory, std::forward<Record>(record));
}

// The release slot: destroys the record, frees the memory and drops the
// instance's class reference.
template <class Object>
void instance_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<Object*>(self)->record);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace korvanta
