// The statics' storage, each interpreter's own values and the texts of the interned names.
#include "binding/statics.hpp"

#include <cstdint>
#include <new>

#include "binding/free_threading.hpp"
#include "binding/messages.hpp"

namespace korvanta {

namespace {

const char* name_text(Kept which) noexcept {
    switch (which) {
        case Kept::qualname: return "__qualname__";
        case Kept::ids: return "ids";
        case Kept::offsets: return "offsets";
        case Kept::special_tokens_mask: return "special_tokens_mask";
        case Kept::add_special_tokens: return "add_special_tokens";
        default: return nullptr;
    }
}

// An interpreter's own values live in a capsule in its dict, released with it.
constexpr char kept_key[] = "korvanta.kept";

// Each thread remembers the last interpreter it found values for, by its id
// (never given to another interpreter) and by how many interpreters' values
// were released before (an interpreter made again after the process's
// interpreter was finalized has the same id).
std::atomic<std::uint64_t> releases{0};  // times an interpreter's values were released
struct Remembered {
    std::int64_t interpreter = -1;
    std::uint64_t releases = 0;
    detail::InterpreterKept* kept = nullptr;
};
thread_local Remembered remembered;

// Releases an interpreter's values as it ends, and counts the release.
void release_kept(PyObject* capsule) noexcept {
    releases.fetch_add(1, std::memory_order_acq_rel);
    auto* kept = static_cast<detail::InterpreterKept*>(PyCapsule_GetPointer(capsule, kept_key));
    if (kept == nullptr) {
        PyErr_Clear();
        return;
    }
    for (std::atomic<PyObject*>& value : kept->values) {
        if (PyObject* held = value.exchange(nullptr); held != nullptr && may_release()) Py_DECREF(held);
    }
    delete kept;
}

}  // namespace

namespace detail {

InterpreterKept* interpreter_kept() noexcept {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    const std::uint64_t released = releases.load(std::memory_order_acquire);
    if (remembered.kept != nullptr && remembered.interpreter == id && remembered.releases == released) {
        return remembered.kept;
    }
    PyObject* dict = PyInterpreterState_GetDict(interpreter);
    if (dict == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, messages::no_interpreter_dict);
        return nullptr;
    }
    PyObject* key = PyUnicode_FromString(kept_key);
    if (key == nullptr) return nullptr;
    PyObject* capsule = PyDict_GetItemWithError(dict, key);  // the dict holds it while the interpreter lives
    if (capsule == nullptr && !PyErr_Occurred()) {
        auto* made = new (std::nothrow) InterpreterKept();
        PyObject* fresh = made != nullptr ? PyCapsule_New(made, kept_key, release_kept) : PyErr_NoMemory();
        if (fresh == nullptr) delete made;
        capsule = fresh != nullptr ? PyDict_SetDefault(dict, key, fresh) : nullptr;  // another thread's may be first
        Py_XDECREF(fresh);
    }
    Py_DECREF(key);
    if (capsule == nullptr) return nullptr;
    auto* kept = static_cast<InterpreterKept*>(PyCapsule_GetPointer(capsule, kept_key));
    if (kept != nullptr) remembered = {id, released, kept};
    return kept;
}

}  // namespace detail

bool watched_for_the_end() noexcept {
    detail::InterpreterKept* kept = detail::interpreter_kept();
    if (kept == nullptr) {
        PyErr_Clear();
        return true;
    }
    return kept->watched.exchange(true);
}

PyObject* interned(Kept which) noexcept {
    return lazily(which, [which] { return PyUnicode_InternFromString(name_text(which)); });
}

PyTypeObject* class_object(Static which, PyType_Spec& definition) noexcept {
    return reinterpret_cast<PyTypeObject*>(lazily(which, [&] {
        PyObject* made = PyType_FromSpec(&definition);
        if (made != nullptr) make_immortal_class(made);  // it lives as long as the process
        return made;
    }));
}

}  // namespace korvanta
