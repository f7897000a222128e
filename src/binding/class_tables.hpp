// The method tables of the classes, made from rows: one row per operation
// (name, access, signature, body, doc), the rows both classes share (the
// static parse and pickling) made once here, and a table closed by its end row.
#pragma once

#include <array>
#include <cstddef>

#include "binding/entry_points.hpp"
#include "binding/fragment_type.hpp"

namespace korvanta {

// A method of `Object`, run under `kind` access, its arguments bound by `signature`.
template <class Object, Access kind, const Signature& signature, auto body>
PyMethodDef method_row(const char* name, const char* doc = nullptr) {
    return {name, method_pointer(method<Object, kind, signature, body>), fast_call_flags, doc};
}

// The rows both classes start with: the static parse, then pickling:
// __getstate__ reads (shared access), __setstate__ replaces the state
// (exclusive access), __reduce__ only calls the other two (no access). Each
// signature carries its class's name into its messages.
template <class Object, const Signature& parse, const Signature& getstate_signature, auto getstate,
          const Signature& setstate_signature, auto setstate, const Signature& reduce_signature, auto reduce>
std::array<PyMethodDef, 4> shared_rows() {
    return {{
        {"parse", method_pointer(function<parse, parse_to_list>), fast_call_flags | METH_STATIC, parse_doc},
        method_row<Object, Access::shared, getstate_signature, getstate>("__getstate__"),
        method_row<Object, Access::exclusive, setstate_signature, setstate>("__setstate__"),
        method_row<Object, Access::none, reduce_signature, reduce>("__reduce__"),
    }};
}

// A method table: the rows of `parts`, in order, and the end row.
template <std::size_t... Sizes>
std::array<PyMethodDef, (Sizes + ... + 1)> method_table(const std::array<PyMethodDef, Sizes>&... parts) {
    std::array<PyMethodDef, (Sizes + ... + 1)> table{};
    std::size_t next = 0;
    ((std::copy(parts.begin(), parts.end(), table.begin() + static_cast<std::ptrdiff_t>(next)), next += Sizes), ...);
    table[next] = {nullptr, nullptr, 0, nullptr};
    return table;
}

}  // namespace korvanta
