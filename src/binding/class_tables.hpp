// The method and attribute tables of the classes, made from rows: one row per
// operation (name, access, signature, body, doc), the pickling rows both
// classes share made once here, and a table closed by its end row.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>

#include "binding/entry_points.hpp"

namespace korvanta {

// A method of `Object`, run under `kind` access, its arguments bound by `signature`.
template <class Object, Access kind, const Signature& signature, auto body>
PyMethodDef method_row(const char* name, const char* doc = nullptr) {
    return {name, method_pointer(method<Object, kind, signature, body>), fast_call_flags, doc};
}

// A static method: no receiver, no access.
template <const Signature& signature, auto body>
PyMethodDef static_row(const char* name, const char* doc = nullptr) {
    return {name, method_pointer(function<signature, body>), fast_call_flags | METH_STATIC, doc};
}

// The pickling rows both classes have: __getstate__ reads (shared access),
// __setstate__ replaces the state (exclusive access), __reduce__ only calls
// the other two (no access). Each signature carries its class's name into
// its messages.
template <class Object, const Signature& getstate_signature, auto getstate, const Signature& setstate_signature,
          auto setstate, const Signature& reduce_signature, auto reduce>
std::array<PyMethodDef, 3> pickling_rows() {
    return {{
        method_row<Object, Access::shared, getstate_signature, getstate>("__getstate__"),
        method_row<Object, Access::exclusive, setstate_signature, setstate>("__setstate__"),
        method_row<Object, Access::none, reduce_signature, reduce>("__reduce__"),
    }};
}

// An attribute of `Object`, read under `kind` access and written by `set`
// (under exclusive access); read-only without `set`.
template <class Object, Access kind, auto get, auto set = nullptr>
PyGetSetDef attribute_row(const char* name, const char* doc) {
    if constexpr (std::is_null_pointer_v<decltype(set)>) {
        return {name, getter<Object, kind, get>, nullptr, doc, nullptr};
    } else {
        return {name, getter<Object, kind, get>, setter<Object, set>, doc, nullptr};
    }
}

// A method or attribute table: the rows of `parts`, in order, and the end row (all null).
template <class Row, std::size_t... Sizes>
std::array<Row, (Sizes + ... + 1)> class_table(const std::array<Row, Sizes>&... parts) {
    std::array<Row, (Sizes + ... + 1)> table{};
    std::size_t next = 0;
    ((std::copy(parts.begin(), parts.end(), table.begin() + static_cast<std::ptrdiff_t>(next)), next += Sizes), ...);
    return table;
}

}  // namespace korvanta
