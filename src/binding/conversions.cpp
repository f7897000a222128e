// The UTF-8 text of a str, new str objects, and size hints of sequences.
#include "binding/conversions.hpp"

#include "binding/instance.hpp"
#include "binding/statics.hpp"

#include <cstring>
#include <iterator>
#include <new>

namespace korvanta {

Utf8Text::Utf8Text(PyObject* object) {
    if (!PyUnicode_Check(object)) raise_conversion(object, messages::py_string);
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(object) < 0) throw PythonError{};
#endif
    Py_ssize_t size;
    const char* utf8;
    if (PyUnicode_IS_ASCII(object)) {
        // ASCII is its own UTF-8: a compact str's own data, or what the
        // interpreter hands out for one of the legacy kind.
        if (PyUnicode_IS_COMPACT_ASCII(object)) {
            utf8 = static_cast<const char*>(PyUnicode_DATA(object));
            size = PyUnicode_GET_LENGTH(object);
        } else {
            utf8 = PyUnicode_AsUTF8AndSize(object, &size);
            if (utf8 == nullptr) throw PythonError{};
        }
        // A subclass instance may hold other objects, even the records that
        // would keep it: never kept.
        if (PyUnicode_CheckExact(object)) holder_ = object;
    } else {
        // Asking the str for its UTF-8 would attach a copy to it for as long
        // as it lives; a bytes object of our own goes when the call ends.
        encoded_ = check(PyUnicode_AsUTF8String(object));
        utf8 = PyBytes_AS_STRING(encoded_.get());
        size = PyBytes_GET_SIZE(encoded_.get());
        holder_ = encoded_.get();
    }
    text_ = std::string_view(utf8, static_cast<std::size_t>(size));
}

Ref new_str(std::string_view text) {
    return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

namespace {

// Keeps an exact str or bytes object: its bytes never change, and it holds no
// other object, so records that keep it take part in no reference cycle.
// Every parse makes one: the memory of a few released ones is kept for the
// next (with the interpreter lock held, as all of this module's statics).
// Not an object, so its memory comes from the interpreter's raw-memory
// allocator (without the interpreter lock, the object allocator's blocks are
// read as objects).
struct ObjectKeeper : TextKeeper {
    PyObject* object;  // owned reference

    explicit ObjectKeeper(PyObject* object_) noexcept : TextKeeper(release), object(Py_NewRef(object_)) {}

    static ObjectKeeper* make(PyObject* object) {
        void* memory = spare_count > 0 ? spares[--spare_count] : PyMem_Malloc(sizeof(ObjectKeeper));
        if (memory == nullptr) throw std::bad_alloc();
        return ::new (memory) ObjectKeeper(object);
    }

    static void release(TextKeeper* keeper) noexcept {
        auto* kept = static_cast<ObjectKeeper*>(keeper);
        if (!may_release()) return;
        Py_DECREF(kept->object);
        kept->~ObjectKeeper();
        if (keeps_released_memory && spare_count < std::size(spares)) {
            spares[spare_count++] = kept;
        } else {
            PyMem_Free(kept);
        }
    }

    static inline void* spares[8] = {};    // memory of released keepers
    static inline std::size_t spare_count = 0;
};

// The str a keeper keeps, or null.
PyObject* kept_str(const TextKeeper* keeper) noexcept {
    if (keeper == nullptr || keeper->release_function() != ObjectKeeper::release) return nullptr;
    PyObject* object = static_cast<const ObjectKeeper*>(keeper)->object;
    return PyUnicode_CheckExact(object) ? object : nullptr;
}

}  // namespace

TextKeeper* new_object_keeper(const Utf8Text& text) {
    if (text.holder() == nullptr) return nullptr;
    return ObjectKeeper::make(text.holder());
}

SharedText shared_text_of(PyObject* object) {
    Utf8Text text(object);
    if (text.view().empty()) return SharedText();
    MadeKeeper keeper(new_object_keeper(text));
    return keeper.get() ? SharedText(text.view(), *keeper.get()) : SharedText(text.view());
}

bool keeps_ascii(const TextKeeper* keeper) noexcept {
    // The str a keeper keeps is ASCII: other text is kept as its UTF-8 bytes.
    return keeper == nullptr || kept_str(keeper) != nullptr;
}

Ref new_str(const SharedText& text) {
    PyObject* str = kept_str(text.keeper());
    // One character comes from the interpreter's own table of them.
    if (str == nullptr || text.size() < 2) return new_str(text.view());
    if (static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)) == text.size()) return Ref::borrow(str);
    Ref part = check(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(part.get()), text.data(), text.size());
    return part;
}

Ref list_of(std::vector<Ref> items) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return list;
}

Ref type_name(PyObject* object) {
    return check(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), check_borrowed(interned(Kept::qualname))));
}

bool truth(PyObject* object) {
    const int value = PyObject_IsTrue(object);
    check_status(value);
    return value == 1;
}

Ref attribute_or_null(PyObject* object, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(object, name));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
    }
    return value;
}

Ref item_or_null(PyObject* mapping, const char* key) {
    Ref value = Ref::steal(PyMapping_GetItemString(mapping, key));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PythonError{};
        PyErr_Clear();
    }
    return value;
}

Py_ssize_t sequence_size_hint(PyObject* object) {
    // A length that lies must not make us reserve without bound: trust only
    // containers whose length is their size.
    constexpr Py_ssize_t untrusted_limit = 4096;
    Py_ssize_t size = PySequence_Size(object);
    if (size < 0) {
        // An object without a length, or whose __len__ fails, gives no hint;
        // running out of memory, an interrupt or an exit request is not that.
        clear_ordinary_failure();
        return 0;
    }
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object) || PyUnicode_CheckExact(object)) return size;
    return size < untrusted_limit ? size : untrusted_limit;
}

}  // namespace korvanta
