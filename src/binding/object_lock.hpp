// What an object holds that one thread may replace while others read it (a
// template's content, tokenizer and encoding cache; a conversation
// template's; a fragment's record): read by copying the handle, replaced by
// exchanging it, each in a step of its own. Under the interpreter lock such a
// step runs no Python code and is already whole to every other thread; where
// the interpreter runs without it, the step holds the object's own lock (a
// critical section, which the interpreter suspends rather than deadlocks
// when the thread waits on something else). The old value is released after
// the step, so its release may run Python code.
#pragma once

#include <type_traits>
#include <utility>

#include "binding/free_threading.hpp"
#include "binding/instance.hpp"

namespace korvanta {


inline Ref copy_handle(const Ref& handle) noexcept { return Ref::borrow(handle.get()); }
template <class Handle>
Handle copy_handle(const Handle& handle) noexcept {
    return handle;
}

// The next entry of a dict the caller gave, held (`position` starts at 0):
// without the interpreter lock, read under the dict's own lock, so that
// another thread changing the dict cannot free it first. False at the end.
inline bool next_entry(PyObject* dict, Py_ssize_t& position, Ref& key, Ref& value) noexcept {
    PyObject* found_key = nullptr;
    PyObject* found_value = nullptr;
    locked_step(dict, [&] {
        if (PyDict_Next(dict, &position, &found_key, &found_value)) {
            Py_INCREF(found_key);
            Py_INCREF(found_value);
        } else {
            found_key = found_value = nullptr;
        }
    });
    key = Ref::steal(found_key);
    value = Ref::steal(found_value);
    return found_key != nullptr;
}

// A copy of the handle `slot` of `self`.
template <class Object, class Handle>
Handle read_held(Object& self, const Handle& slot) noexcept {
    Handle copy;
    locked_step(self_of(self), [&] { copy = copy_handle(slot); });
    return copy;
}

// What an attribute reads of `slot`, which a setter may replace: the value
// itself under the interpreter lock (the setter cannot run meanwhile), a copy
// read in one step without it.
template <class Object, class Value>
std::conditional_t<without_interpreter_lock, Value, const Value&> current_value(Object& self,
                                                                                 const Value& slot) noexcept {
    if constexpr (without_interpreter_lock) {
        return read_held(self, slot);
    } else {
        return slot;
    }
}

// Puts `value` in `slot` of `self`; returns the old value, for the caller to release.
template <class Object, class Handle>
[[nodiscard]] Handle replace_held(Object& self, Handle& slot, Handle value) noexcept {
    locked_step(self_of(self), [&] { std::swap(slot, value); });
    return value;
}

}  // namespace korvanta
