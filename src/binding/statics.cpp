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

}  // namespace

PyObject* interned(Static which) noexcept {
    return lazily(which, [which] { return PyUnicode_InternFromString(name_text(which)); });
}

PyTypeObject* class_object(Static which, PyType_Spec& definition) noexcept {
    return reinterpret_cast<PyTypeObject*>(lazily(which, [&] { return PyType_FromSpec(&definition); }));
}

}  // namespace korvanta
