// The result of encode() and encode_batch(): lists of ints (shared per
// value), or int64 numpy arrays (checked before they are written) or torch
// tensors over them, or Arrow arrays written in place; padding on either side.
#include "binding/encode_results.hpp"

#include <algorithm>
#include <string_view>

namespace korvanta {

// A new int64 numpy array of `shape`, filled by `fill(std::int64_t* data)`.
// What numpy.zeros gave is checked before anything is written into it.
Ref int64_array(PyObject* numpy, std::initializer_list<std::size_t> shape,
                const std::function<void(std::int64_t*)>& fill) {
    Ref dims = check(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    Py_ssize_t i = 0;
    std::size_t items = 1;
    for (std::size_t extent : shape) {
        PyTuple_SET_ITEM(dims.get(), i++, check(PyLong_FromSize_t(extent)).release());  // an int's making runs no collection
        // An array whose size or bytes overflow cannot be made (a lying numpy.zeros must not pass the check below).
        if (__builtin_mul_overflow(items, extent, &items) || items > static_cast<std::size_t>(PY_SSIZE_T_MAX) / 8) {
            PyErr_NoMemory();
            throw PythonError{};
        }
    }
    Ref array = check(PyObject_CallMethod(numpy, "zeros", "Os", dims.get(), "int64"));
    BufferView buffer;
    check_status(PyObject_GetBuffer(array.get(), &buffer.view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT));
    buffer.held = true;
    const std::string_view format = buffer.view.format != nullptr ? buffer.view.format : "B";
    const bool int64 = buffer.view.itemsize == 8 && !format.empty() && (format.back() == 'q' || format.back() == 'l') &&
                       format.find_first_of(">!") == std::string_view::npos;
    if (!int64 || buffer.view.len != static_cast<Py_ssize_t>(items * 8)) {
        PyErr_Format(PyExc_TypeError, messages::array_mismatch, array.get(), static_cast<Py_ssize_t>(items));
        throw PythonError{};
    }
    fill(static_cast<std::int64_t*>(buffer.view.buf));
    return array;
}

// The module, or an ImportError that says what to install, caused by the
// import's own failure (a broken install shows why).
Ref import_module(const char* name, const char* missing) {
    Ref module = Ref::steal(PyImport_ImportModule(name));
    if (!module) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw PythonError{};
        raise_from_pending(PyExc_ImportError, missing);
    }
    return module;
}

Ref new_arrow(PyObject* pyarrow, std::size_t size, const char* type, std::size_t width,
              const std::function<void(char*)>& fill) {
    Ref buffer = check(PyObject_CallMethod(pyarrow, "allocate_buffer", "n", static_cast<Py_ssize_t>(size * width)));
    {
        BufferView view;
        check_status(PyObject_GetBuffer(buffer.get(), &view.view, PyBUF_SIMPLE | PyBUF_WRITABLE));
        view.held = true;
        if (view.view.len != static_cast<Py_ssize_t>(size * width)) {
            PyErr_NoMemory();  // a buffer of another size than asked for cannot be written
            throw PythonError{};
        }
        fill(static_cast<char*>(view.view.buf));
    }
    Ref array_type = check(PyObject_GetAttrString(pyarrow, "Array"));
    Ref item_type = check(PyObject_CallMethod(pyarrow, type, nullptr));
    Ref buffers = check(Py_BuildValue("[OO]", Py_None, buffer.get()));
    return check(PyObject_CallMethod(array_type.get(), "from_buffers", "OnO", item_type.get(),
                                     static_cast<Py_ssize_t>(size), buffers.get()));
}

Ref list_array(PyObject* pyarrow, const Ref& offsets, const Ref& values, bool wide) {
    Ref type = check(PyObject_GetAttrString(pyarrow, wide ? "LargeListArray" : "ListArray"));
    return check(PyObject_CallMethod(type.get(), "from_arrays", "OO", offsets.get(), values.get()));
}

Ref as_tensors(Ref array, Tensors tensors) {
    if (tensors != Tensors::torch) return array;
    Ref torch = import_module("torch", messages::needs_torch);
    return check(PyObject_CallMethod(torch.get(), "from_numpy", "O", array.get()));
}

namespace {

Ref new_int(std::size_t value) { return check(PyLong_FromSize_t(value)); }

// One column of the result: for each row r, value(r, c) for c below
// size_of(r) (as lists), or below `inner` (as an array of rows).
template <class SizeOf, class Value>
Ref new_column(const EncodedRows& rows, const Layout& layout, PyObject* numpy, std::size_t inner, SizeOf&& size_of,
               Value&& value, const EncodingCache& cache) {
    if (layout.tensors == Tensors::arrow) {  // `numpy` is pyarrow
        if (layout.batch) return arrow_rows(numpy, rows.size(), size_of, value);
        return int64_arrow(numpy, size_of(0), [&](std::size_t c) { return value(0, c); });
    }
    if (layout.tensors != Tensors::none) {
        auto fill = [&](std::int64_t* data) {
            for (std::size_t r = 0; r < rows.size(); ++r) {
                for (std::size_t c = 0; c < inner; ++c) data[r * inner + c] = value(r, c);
            }
        };
        return layout.batch ? int64_array(numpy, {rows.size(), inner}, fill) : int64_array(numpy, {inner}, fill);
    }
    // Each row's list, filled as it is made (making an int runs no
    // collection), then the list of rows from lists already whole.
    std::vector<Ref> lists;
    lists.reserve(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const std::size_t size = size_of(r);
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(size)));
        for (std::size_t c = 0; c < size; ++c) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(c), cache.int_object(value(r, c)).release());
        }
        lists.push_back(std::move(list));
    }
    if (!layout.batch) return std::move(lists.at(0));
    return list_of(std::move(lists));
}

// numpy, for rows returned as arrays (or tensors) `columns` wide: rows of
// different lengths without padding cannot be, and tensors need torch too.
Ref array_module(const EncodedRows& rows, const Layout& layout, std::size_t columns) {
    for (std::size_t r = 0; layout.width == 0 && r < rows.size(); ++r) {
        if (rows.ids(r).size() != columns) {
            PyErr_Format(PyExc_ValueError, messages::ragged_arrays, layout.tensors == Tensors::torch ? "pt" : "np");
            throw PythonError{};
        }
    }
    if (layout.tensors == Tensors::torch) import_module("torch", messages::needs_torch);
    return import_module("numpy", messages::needs_numpy);
}

// Which rows of the batch were kept, as a list or an array.
Ref row_index_column(const std::vector<std::size_t>& kept, const Layout& layout, PyObject* numpy) {
    if (layout.tensors == Tensors::arrow) {
        return int64_arrow(numpy, kept.size(), [&](std::size_t r) { return static_cast<std::int64_t>(kept[r]); });
    }
    if (layout.tensors != Tensors::none) {
        return int64_array(numpy, {kept.size()}, [&](std::int64_t* data) {
            for (std::size_t r = 0; r < kept.size(); ++r) data[r] = static_cast<std::int64_t>(kept[r]);
        });
    }
    Ref index = check(PyList_New(static_cast<Py_ssize_t>(kept.size())));
    for (std::size_t r = 0; r < kept.size(); ++r) {
        PyList_SET_ITEM(index.get(), static_cast<Py_ssize_t>(r), new_int(kept[r]).release());
    }
    return index;
}

}  // namespace

Ref encoded_result(const EncodingCache& cache, const EncodedRows& rows, Layout layout) {
    const std::size_t columns = layout.width != 0 ? layout.width : rows.longest();
    Ref numpy;  // or pyarrow
    if (layout.tensors == Tensors::arrow) {
        numpy = import_module("pyarrow", messages::needs_pyarrow);
    } else if (layout.tensors != Tensors::none) {
        numpy = array_module(rows, layout, columns);
        layout.width = columns;
    }
    // Where row r's ids begin in its padded row, and the row's value at column c.
    auto shift = [&](std::size_t r) { return layout.left && layout.width != 0 ? layout.width - rows.ids(r).size() : 0; };
    auto at = [&](std::size_t r, std::size_t c, auto values, std::int64_t pad) -> std::int64_t {
        const std::size_t begin = shift(r);
        if (c < begin || c - begin >= values.size()) return pad;
        return static_cast<std::int64_t>(values[c - begin]);
    };
    const std::size_t inner = layout.tensors == Tensors::numpy || layout.tensors == Tensors::torch ? columns : 0;
    auto ids = [&](std::size_t r, std::size_t c) { return at(r, c, rows.ids(r), static_cast<std::int64_t>(layout.pad)); };
    auto attention = [&](std::size_t r, std::size_t c) -> std::int64_t {
        return c >= shift(r) && c - shift(r) < rows.ids(r).size();
    };
    auto positions = [&](std::size_t r, std::size_t c) {
        return static_cast<std::int64_t>(rows.slot_positions(r)[c] + shift(r));
    };
    Ref result = check(PyDict_New());
    auto set = [&](const char* key, Ref value) {
        value = as_tensors(std::move(value), layout.tensors);
        check_status(PyDict_SetItemString(result.get(), key, value.get()));
    };
    auto padded = [&](std::size_t r) { return std::max(layout.width, rows.ids(r).size()); };
    auto slots = [&](std::size_t) { return layout.slots; };
    set("input_ids", new_column(rows, layout, numpy.get(), inner, padded, ids, cache));
    set("attention_mask", new_column(rows, layout, numpy.get(), inner, padded, attention, cache));
    if (layout.positions) set("mask_positions", new_column(rows, layout, numpy.get(), layout.slots, slots, positions, cache));
    if (rows.labelled()) {
        auto labels = [&](std::size_t r, std::size_t c) { return at(r, c, rows.labels(r), ignored_label); };
        set("labels", new_column(rows, layout, numpy.get(), inner, padded, labels, cache));
    }
    if (layout.row_index != nullptr) set("row_index", row_index_column(*layout.row_index, layout, numpy.get()));
    return result;
}

}  // namespace korvanta
