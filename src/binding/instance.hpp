// Instances of the module's classes: the object header, then the class's
// native record, placed right after allocation and destroyed by the release slot.
#pragma once

#include <cstring>

#include <memory>
#include <new>
#include <type_traits>

#include "binding/failures.hpp"
#include "binding/free_threading.hpp"

namespace korvanta {

// Every instance: the object header, then the record. Who is inside the
// object is kept by each thread (binding/access.hpp), not in the object.
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

// Moves `record` into a just-allocated instance, or makes it there when given
// its maker (a function that returns the record); nothing can fail from here.
template <class Object, class Record>
Ref install_record(PyObject* instance, Record&& record) noexcept {
    auto* object = reinterpret_cast<Object*>(instance);
    if constexpr (std::is_invocable_v<Record&>) {
        static_assert(std::is_nothrow_invocable_v<Record&>, "only a maker that cannot fail makes a record in place");
        ::new (static_cast<void*>(&object->record)) decltype(object->record)(record());
    } else {
        ::new (static_cast<void*>(&object->record)) std::remove_cvref_t<Record>(std::forward<Record>(record));
    }
    return Ref::steal(instance);
}

// Released instances of exactly a class kept for the next ones (parsing a
// short template makes and frees a few objects a call), up to `Capacity`.
// Their memory came from the object allocator, as every instance of the exact
// class does. Like every static of the module, it lives as long as the
// process. Only touched with the interpreter lock held: a build without that
// lock keeps nothing (KORVANTA_NO_FREE_LISTS), as threads would share it.
//
// Whether released memory is kept at all: a sanitized build frees it at once.
#ifdef KORVANTA_NO_FREE_LISTS
inline constexpr bool keeps_released_memory = false;
#else
inline constexpr bool keeps_released_memory = true;
#endif

template <std::size_t Capacity>
class ReleasedInstances {
   public:
    PyObject* take() noexcept { return count_ ? kept_[--count_] : nullptr; }
    bool keep(PyObject* released) noexcept {
        if (!keeps_released_memory || count_ == Capacity) return false;
        kept_[count_++] = released;
        return true;
    }

   private:
    PyObject* kept_[Capacity] = {};  // memory of released instances, their record destroyed
    std::size_t count_ = 0;
};

// Whether a class keeps its released instances: a static member `released`,
// and `made_type()`, the class object once made (never failing).
template <class Object>
concept KeepsReleased = requires {
    Object::released.take();
    { Object::made_type() } noexcept;
};

// A new instance of exactly `type`, a class outside cyclic collection: its
// memory is a released instance's, or comes straight from the object
// allocator, with no zeroing.
template <class Object, class Record>
Ref new_exact_instance(PyTypeObject* type, Record&& record) {
    if constexpr (std::is_invocable_v<Record&> && !std::is_nothrow_invocable_v<Record&>) {
        return new_exact_instance<Object>(type, record());  // a maker that may fail makes the record first
    } else {
        PyObject* memory = nullptr;
        if constexpr (KeepsReleased<Object>) memory = Object::released.take();
        if (memory == nullptr) memory = static_cast<PyObject*>(PyObject_Malloc(sizeof(Object)));
        if (memory == nullptr) {
            PyErr_NoMemory();
            throw PythonError{};
        }
        // Without the interpreter lock, the header holds more than the count
        // and the class (the object's lock, its owner thread, collector bits),
        // which making the object does not all set: they start from zero.
        if constexpr (without_interpreter_lock) std::memset(static_cast<void*>(memory), 0, sizeof(PyObject));
        return install_record<Object>(PyObject_Init(memory, type), std::forward<Record>(record));
    }
}

// A new instance of `type` (possibly a Python subclass) taking over `record`.
template <class Object, class Record>
Ref new_instance(PyTypeObject* type, Record&& record) {
    if constexpr (KeepsReleased<Object>) {
        if (type == Object::made_type()) return new_exact_instance<Object>(type, std::forward<Record>(record));
    }
    PyObject* memory = type->tp_alloc(type, 0);
    if (memory == nullptr) throw PythonError{};
    return install_record<Object>(memory, std::forward<Record>(record));
}

// The release slot: destroys the record, frees the memory (or keeps it, for
// an instance of exactly a class that keeps them) and drops the instance's
// class reference.
template <class Object>
void instance_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<Object*>(self)->record);
    bool kept = false;
    if constexpr (KeepsReleased<Object>) kept = type == Object::made_type() && Object::released.keep(self);
    if (!kept) type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace korvanta
