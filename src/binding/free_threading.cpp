// What differs without the interpreter lock (see free_threading.hpp).
#include "binding/free_threading.hpp"

#include "binding/failures.hpp"

namespace korvanta {

namespace {

#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
// The thread id of an object no thread owns (the interpreter's _Py_UNOWNED_TID,
// which its public headers do not name).
constexpr std::uintptr_t unowned_thread = 0;
#endif

}  // namespace

void make_immortal_class([[maybe_unused]] PyObject* made) noexcept {
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
    PyObject_GC_UnTrack(made);
    made->ob_tid = unowned_thread;
    made->ob_ref_local = _Py_IMMORTAL_REFCNT_LOCAL;
    made->ob_ref_shared = 0;
#endif
}

Ref stable_items(PyObject* sequence) {
    if (PyTuple_Check(sequence)) return Ref::borrow(sequence);
    if (!PyList_Check(sequence)) return Ref();
    if constexpr (!without_interpreter_lock) return Ref::borrow(sequence);
    return check(PyList_AsTuple(sequence));
}

}  // namespace korvanta
