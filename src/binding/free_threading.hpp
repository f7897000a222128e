// What differs where the interpreter runs without its global lock (3.13t),
// said in one place. The interpreter's headers set Py_GIL_DISABLED, which the
// binding follows; the build sets KORVANTA_FREE_THREADED from the
// interpreter's ABI for the core (its shared counts, core/count.hpp) and
// turns the memory kept of released objects off (KORVANTA_NO_FREE_LISTS):
// the switches must agree, and the compiler checks that they do.
#pragma once

#include <cstdint>

#include "binding/ref.hpp"

#if defined(Py_GIL_DISABLED) != defined(KORVANTA_FREE_THREADED)
#error "KORVANTA_FREE_THREADED (the build's switch) must be set exactly where Py_GIL_DISABLED (the interpreter's) is"
#endif
#if defined(Py_GIL_DISABLED) && !defined(KORVANTA_NO_FREE_LISTS)
#error "without the interpreter lock no memory of released objects is kept: define KORVANTA_NO_FREE_LISTS"
#endif

namespace korvanta {

#ifdef Py_GIL_DISABLED
inline constexpr bool without_interpreter_lock = true;
#else
inline constexpr bool without_interpreter_lock = false;
#endif

// Runs `step` (which neither fails nor runs Python code) as one step on
// `object`: under the object's own lock where there is no interpreter lock
// (a critical section, which the interpreter suspends rather than deadlocks).
template <class Step>
void locked_step([[maybe_unused]] PyObject* object, Step&& step) noexcept {
#ifdef Py_GIL_DISABLED
    Py_BEGIN_CRITICAL_SECTION(object);
    step();
    Py_END_CRITICAL_SECTION();
#else
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

// Item `i` of `list` with a reference of its own, or null with IndexError
// set when the list is shorter now: another thread may change it at once.
inline PyObject* list_item_ref(PyObject* list, Py_ssize_t i) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyList_GetItemRef(list, i);
#else
    PyObject* item = PyList_GetItem(list, i);
    Py_XINCREF(item);
    return item;
#endif
}

// Makes a class object no other thread has seen yet immortal, as the
// interpreter makes the classes Python code defines once a second thread
// starts: out of cyclic collection, owned by no thread, its count the mark
// that makes counting it do nothing. Every instance made or released counts
// a reference to its class; without the interpreter lock on 3.13 those
// counts are atomic writes to one word all threads share, which makes
// threads that only make objects of their own wait on each other (3.14
// counts a class's references per thread instead). Does nothing elsewhere.
void make_immortal_class(PyObject* made) noexcept;

// The items of a list or tuple that a caller or a tokenizer handed us, in a
// sequence no other thread changes while we read it: a tuple as it is; a
// list as it is under the interpreter lock (reading it runs no Python code),
// and without that lock a tuple copied from it under the list's own lock,
// each item held. Null, with no exception set, for anything else.
Ref stable_items(PyObject* sequence);

}  // namespace korvanta
