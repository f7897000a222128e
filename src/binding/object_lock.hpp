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

#include <utility>

#include "binding/instance.hpp"
#include "binding/ref.hpp"

namespace korvanta {

// Runs `step` (which neither fails nor runs Python code) as one step on `object`.
template <class Step>
void locked_step(PyObject* object, Step&& step) noexcept {
#ifdef Py_GIL_DISABLED
    Py_BEGIN_CRITICAL_SECTION(object);
    step();
    Py_END_CRITICAL_SECTION();
#else
    (void)object;
    step();
#endif
}

// Guards the caches an object fills as it is used, where the interpreter
// runs without its lock; costs nothing where it runs with it. Held for short
// steps that run no Python code (waiting for it lets the interpreter collect).
class CacheMutex {
   public:
#ifdef Py_GIL_DISABLED
    void lock() noexcept { PyMutex_Lock(&mutex_); }
    void unlock() noexcept { PyMutex_Unlock(&mutex_); }

   private:
    PyMutex mutex_{};
#else
    void lock() noexcept {}
    void unlock() noexcept {}
#endif
};

inline Ref copy_handle(const Ref& handle) noexcept { return Ref::borrow(handle.get()); }
template <class Handle>
Handle copy_handle(const Handle& handle) noexcept {
    return handle;
}

// A copy of the handle `slot` of `self`.
template <class Object, class Handle>
Handle read_held(Object& self, const Handle& slot) noexcept {
    Handle copy;
    locked_step(self_of(self), [&] { copy = copy_handle(slot); });
    return copy;
}

// Puts `value` in `slot` of `self`; returns the old value, for the caller to release.
template <class Object, class Handle>
[[nodiscard]] Handle replace_held(Object& self, Handle& slot, Handle value) noexcept {
    locked_step(self_of(self), [&] { std::swap(slot, value); });
    return value;
}

}  // namespace korvanta
