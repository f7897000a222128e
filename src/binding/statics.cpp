// The statics' storage and the texts of the interned names.
#include "binding/statics.hpp"

namespace korvanta {

namespace {

const char* name_text(Static which) noexcept {
    switch (which) {
        case Static::qualname: return "__qualname__";
        case Static::ids: return "ids";
        case Static::offsets: return "offsets";
        case Static::special_tokens_mask: return "special_tokens_mask";
        case Static::add_special_tokens: return "add_special_tokens";
        default: return nullptr;
    }
}

// A class object lives as long as the process. Every instance made or
// released counts a reference to its class; without the interpreter lock on
// 3.13 those counts are atomic writes to one word of the class object that
// all threads share, which makes threads that only make objects of their own
// wait on each other. The interpreter spares the classes Python code defines
// by making them immortal once a second thread starts (3.14 counts a class's
// references per thread instead); `made`, a class no other thread has seen
// yet, is made immortal the same way: out of cyclic collection, owned by no
// thread, its count the mark that makes counting it do nothing.
void immortal_when_shared([[maybe_unused]] PyObject* made) noexcept {
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
    PyObject_GC_UnTrack(made);
    made->ob_tid = 0;
    made->ob_ref_local = _Py_IMMORTAL_REFCNT_LOCAL;
    made->ob_ref_shared = 0;
#endif
}

}  // namespace

PyObject* interned(Static which) noexcept {
    return lazily(which, [which] { return PyUnicode_InternFromString(name_text(which)); });
}

PyTypeObject* class_object(Static which, PyType_Spec& definition) noexcept {
    return reinterpret_cast<PyTypeObject*>(lazily(which, [&] {
        PyObject* made = PyType_FromSpec(&definition);
        if (made != nullptr) immortal_when_shared(made);
        return made;
    }));
}

}  // namespace korvanta
