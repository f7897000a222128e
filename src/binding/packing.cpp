// pack() and Packer: encoded rows read into plain values (each item held
// while it is read), packed by the core, handed back as lists, arrays or
// tensors.
#include "binding/packing.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <numeric>
#include <tuple>
#include <string_view>

#include "binding/class_tables.hpp"
#include "binding/entry_points.hpp"
#include "binding/statics.hpp"

namespace korvanta {

namespace {

// ---------------------------------------------------------------- reading rows of ids

[[noreturn]] void raise_not_rows(const char* column, PyObject* value) {
    PyErr_Format(PyExc_TypeError, messages::not_token_rows, column, Py_TYPE(value)->tp_name);
    throw PythonError{};
}

// One int, held while read: an exact int runs no Python code; anything else
// (a numpy integer) goes through its __index__.
std::int64_t int_value(PyObject* item, const char* column) {
    Ref held = Ref::borrow(item);
    if (PyLong_CheckExact(item)) {
        const long long value = PyLong_AsLongLong(item);
        if (value == -1 && PyErr_Occurred()) throw PythonError{};
        return value;
    }
    if (PyBool_Check(item) || !PyIndex_Check(item)) raise_not_rows(column, item);
    Ref index = check(PyNumber_Index(item));
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    return value;
}

// Whether a buffer's format is a native integer (or bool) type, and its reader.
std::int64_t (*integer_reader(const Py_buffer& view))(const char*) {
    std::string_view format = view.format != nullptr ? view.format : "B";
    if (!format.empty() && (format.front() == '@' || format.front() == '=' || format.front() == '<')) {
        format.remove_prefix(1);
    }
    if (format.size() != 1) return nullptr;
    switch (format.front()) {
        case 'b': return [](const char* p) -> std::int64_t { return *reinterpret_cast<const signed char*>(p); };
        case 'B': case '?': return [](const char* p) -> std::int64_t { return *reinterpret_cast<const unsigned char*>(p); };
        case 'h': return [](const char* p) -> std::int64_t { return *reinterpret_cast<const short*>(p); };
        case 'H': return [](const char* p) -> std::int64_t { return *reinterpret_cast<const unsigned short*>(p); };
        case 'i': return [](const char* p) -> std::int64_t { return *reinterpret_cast<const int*>(p); };
        case 'I': return [](const char* p) -> std::int64_t { return *reinterpret_cast<const unsigned*>(p); };
        case 'l': case 'q': return [](const char* p) -> std::int64_t { return *reinterpret_cast<const long long*>(p); };
        case 'L': case 'Q':
            return [](const char* p) -> std::int64_t {
                return static_cast<std::int64_t>(*reinterpret_cast<const unsigned long long*>(p));
            };
        default: return nullptr;
    }
}

// A 1-D integer array read in place through the buffer protocol, held while read.
struct IntView {
    Ref owner;
    BufferView buffer;
    std::int64_t (*read)(const char*) = nullptr;
    std::size_t size = 0;

    std::int64_t operator[](std::size_t i) const noexcept {
        return read(static_cast<const char*>(buffer.view.buf) + static_cast<Py_ssize_t>(i) * buffer.view.strides[0]);
    }
    bool contiguous() const noexcept { return buffer.view.strides[0] == buffer.view.itemsize; }
};

void view_ints(Ref array, const char* column, IntView& view) {
    view.owner = std::move(array);
    check_status(PyObject_GetBuffer(view.owner.get(), &view.buffer.view, PyBUF_RECORDS_RO));
    view.buffer.held = true;
    view.read = integer_reader(view.buffer.view);
    if (view.read == nullptr || view.buffer.view.ndim != 1) raise_not_rows(column, view.owner.get());
    view.size = static_cast<std::size_t>(view.buffer.view.shape[0]);
}

// A list column of an Arrow table: its offsets and its values, both read in place.
struct ArrowColumn {
    IntView offsets, values;
    std::size_t rows() const noexcept { return offsets.size - 1; }
    std::size_t begin(std::size_t r) const noexcept { return static_cast<std::size_t>(offsets[r]); }
    std::size_t length(std::size_t r) const noexcept { return static_cast<std::size_t>(offsets[r + 1] - offsets[r]); }
};

// An array's rows (`dimensions` 1 or 2) read through the buffer protocol, or
// false when `value` offers none. A tensor is read through its __array__.
bool read_array(PyObject* value, int dimensions, const char* column, std::vector<std::int64_t>& values,
                std::vector<std::size_t>& ends) {
    Ref array = Ref::borrow(value);
    if (!PyObject_CheckBuffer(value)) {
        if (PyList_Check(value) || PyTuple_Check(value)) return false;
        Ref convert = attribute_or_null(value, "__array__");
        if (!convert) return false;
        array = check(PyObject_CallNoArgs(convert.get()));
        if (!PyObject_CheckBuffer(array.get())) raise_not_rows(column, value);
    }
    BufferView buffer;
    check_status(PyObject_GetBuffer(array.get(), &buffer.view, PyBUF_RECORDS_RO));
    buffer.held = true;
    const Py_buffer& view = buffer.view;
    const auto read = integer_reader(view);
    if (read == nullptr || view.ndim != dimensions || view.itemsize > 8) raise_not_rows(column, value);
    const Py_ssize_t rows = dimensions == 2 ? view.shape[0] : 1;
    const Py_ssize_t columns = view.shape[dimensions - 1];
    const Py_ssize_t row_stride = dimensions == 2 ? view.strides[0] : 0;
    const Py_ssize_t column_stride = view.strides[dimensions - 1];
    const char* data = static_cast<const char*>(view.buf);
    values.reserve(values.size() + static_cast<std::size_t>(rows * columns));
    for (Py_ssize_t r = 0; r < rows; ++r) {
        for (Py_ssize_t c = 0; c < columns; ++c) values.push_back(read(data + r * row_stride + c * column_stride));
        ends.push_back(values.size());
    }
    return true;
}

}  // namespace

Ref int_list(std::span<const std::int64_t> values) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromLongLong(values[i])).release());
    }
    return list;
}

void read_row(PyObject* row, const char* column, std::vector<std::int64_t>& values, std::vector<std::size_t>& ends) {
    Ref held = Ref::borrow(row);
    if (PyLong_Check(row)) raise_not_rows(column, row);  // one row, not rows
    if (read_array(row, 1, column, values, ends)) return;
    Ref items = stable_items(row);
    if (!items) {
        items = Ref::steal(PySequence_Tuple(row));
        if (!items) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
            PyErr_Clear();
            raise_not_rows(column, row);
        }
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        values.push_back(int_value(PySequence_Fast_GET_ITEM(items.get(), i), column));
    }
    ends.push_back(values.size());
}

namespace {

void arrow_list(Ref list, const char* name, ArrowColumn& column);

// A column's rows: an Arrow list array, a 2-D array, or a sequence of rows.
void read_rows(PyObject* value, const char* column, std::vector<std::int64_t>& values, std::vector<std::size_t>& ends) {
    if (std::string_view(Py_TYPE(value)->tp_name).starts_with("pyarrow.")) {
        ArrowColumn rows;
        arrow_list(Ref::borrow(value), column, rows);
        values.reserve(values.size() + (rows.rows() ? rows.begin(rows.rows()) - rows.begin(0) : 0));
        ends.reserve(ends.size() + rows.rows());
        for (std::size_t r = 0; r < rows.rows(); ++r) {
            for (std::size_t k = rows.begin(r); k < rows.begin(r) + rows.length(r); ++k) values.push_back(rows.values[k]);
            ends.push_back(values.size());
        }
        return;
    }
    if (read_array(value, 2, column, values, ends)) return;
    Ref items = stable_items(value);
    if (!items) {
        if (PyUnicode_Check(value) || PyBytes_Check(value)) raise_not_rows(column, value);
        items = Ref::steal(PySequence_Tuple(value));
        if (!items) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
            PyErr_Clear();
            raise_not_rows(column, value);
        }
    }
    if (PyList_Check(items.get())) items = check(PyList_AsTuple(items.get()));  // its rows, as they are now
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        read_row(PyTuple_GET_ITEM(items.get(), i), column, values, ends);
    }
}

void check_rows(const char* column, const std::vector<std::size_t>& ends, const ExampleRows& examples) {
    if (ends.size() != examples.size()) {
        PyErr_Format(PyExc_ValueError, messages::column_rows_differ, column, ends.size(), examples.size());
        throw PythonError{};
    }
    for (std::size_t e = 0; e < ends.size(); ++e) {
        const std::size_t length = ends[e] - (e == 0 ? 0 : ends[e - 1]);
        if (length != examples.length(e)) {
            PyErr_Format(PyExc_ValueError, messages::row_lengths_differ, column, e, length, examples.length(e));
            throw PythonError{};
        }
    }
}

// Leaves out the tokens whose mask is 0.
void keep_attended(const std::vector<std::int64_t>& mask, ExampleRows& examples) {
    std::size_t to = 0, begin = 0;
    for (std::size_t e = 0; e < examples.size(); ++e) {
        for (std::size_t k = begin; k < examples.ends[e]; ++k) {
            if (mask[k] == 0) continue;
            examples.ids[to] = examples.ids[k];
            if (examples.labelled) examples.labels[to] = examples.labels[k];
            ++to;
        }
        begin = examples.ends[e];
        examples.ends[e] = to;
    }
    examples.ids.resize(to);
    if (examples.labelled) examples.labels.resize(to);
}

// ---------------------------------------------------------------- options

PackStrategy strategy_of(PyObject* value) {
    if (value == nullptr) return PackStrategy::best_fit;
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "bfd") == 0) return PackStrategy::best_fit;
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "sequential") == 0) {
        return PackStrategy::sequential;
    }
    PyErr_Format(PyExc_ValueError, messages::bad_strategy, value);
    throw PythonError{};
}

std::optional<std::int64_t> pad_id_option(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, messages::bad_pad_id, value);
        throw PythonError{};
    }
    const long long id = PyLong_AsLongLong(value);
    if (id == -1 && PyErr_Occurred()) throw PythonError{};
    return id;
}

bool side_is_left(PyObject* value) {
    if (value == nullptr || value == Py_None) return false;
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "right") == 0) return false;
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "left") == 0) return true;
    PyErr_Format(PyExc_ValueError, messages::bad_padding_side, value);
    throw PythonError{};
}

}  // namespace

ExampleRows read_examples(PyObject* encoded, const char* who) {
    Ref held = Ref::borrow(encoded);
    ExampleRows examples;
    Ref ids = PyMapping_Check(encoded) && !PySequence_Check(encoded) ? item_or_null(encoded, "input_ids") : Ref();
    if (!ids) {
        PyErr_Format(PyExc_TypeError, messages::not_encoded, who, Py_TYPE(encoded)->tp_name);
        throw PythonError{};
    }
    read_rows(ids.get(), "input_ids", examples.ids, examples.ends);
    if (Ref labels = item_or_null(encoded, "labels")) {
        std::vector<std::size_t> ends;
        read_rows(labels.get(), "labels", examples.labels, ends);
        check_rows("labels", ends, examples);
        examples.labelled = true;
    }
    if (Ref mask = item_or_null(encoded, "attention_mask")) {
        std::vector<std::int64_t> values;
        std::vector<std::size_t> ends;
        read_rows(mask.get(), "attention_mask", values, ends);
        check_rows("attention_mask", ends, examples);
        if (std::find(values.begin(), values.end(), 0) != values.end()) keep_attended(values, examples);
    }
    if (Ref index = item_or_null(encoded, "row_index")) {
        std::vector<std::size_t> ends;
        read_row(index.get(), "row_index", examples.index, ends);
        if (examples.index.size() != examples.size()) {
            PyErr_Format(PyExc_ValueError, messages::column_rows_differ, "row_index", examples.index.size(),
                         examples.size());
            throw PythonError{};
        }
    }
    return examples;
}

PackOptions read_pack_options(PyObject* max_length, PyObject* strategy, PyObject* overflow, PyObject* padding,
                              PyObject* pad_token_id, PyObject* padding_side, PyObject* return_tensors) {
    PackOptions options;
    const std::optional<std::size_t> length = max_length_of(max_length == Py_None ? nullptr : max_length);
    if (!length) {
        PyErr_Format(PyExc_ValueError, messages::bad_max_length, max_length != nullptr ? max_length : Py_None);
        throw PythonError{};
    }
    options.max_length = *length;
    options.strategy = strategy_of(strategy);
    options.drop = overflow_of(overflow, false) == Overflow::drop;
    options.output.padding = padding_of(padding);
    options.output.pad = pad_id_option(pad_token_id);
    if (options.output.padding.kind != Padding::none && !options.output.pad) raise(PyExc_ValueError, messages::needs_pad_id);
    options.output.left = side_is_left(padding_side);
    options.output.tensors = tensors_of(return_tensors);
    return options;
}

std::vector<std::size_t> lengths_to_place(const ExampleRows& examples, const PackOptions& options,
                                          std::vector<std::size_t>& placed, std::uint64_t first) {
    std::vector<std::size_t> lengths;
    lengths.reserve(examples.size());
    for (std::size_t e = 0; e < examples.size(); ++e) {
        const std::size_t length = examples.length(e);
        if (length == 0) continue;  // nothing to train on, nothing to place
        if (length > options.max_length) {
            if (options.drop) continue;
            const std::uint64_t number = examples.index.empty() ? first + e : static_cast<std::uint64_t>(examples.index[e]);
            PyErr_Format(PyExc_ValueError, messages::example_too_long, static_cast<std::size_t>(number), length,
                         options.max_length);
            throw PythonError{};
        }
        lengths.push_back(length);
        placed.push_back(e);
    }
    return lengths;
}

Ref packed_result(const PackedRows& rows, const PackPlan& plan,
                  const std::function<std::int64_t(std::uint64_t)>& row_index, const PackOutput& output) {
    const std::size_t longest = rows.longest();
    std::size_t width = output.padding.kind == Padding::longest ? longest
                        : output.padding.kind == Padding::width ? std::max(output.padding.size, longest)
                                                                : 0;
    Ref numpy, pyarrow;
    if (output.tensors == Tensors::arrow) {
        pyarrow = import_module("pyarrow", messages::needs_pyarrow);
    } else if (output.tensors != Tensors::none) {
        for (std::size_t r = 0; width == 0 && r < rows.size(); ++r) {
            if (rows.ends[r] - rows.begin_of(r) != longest) {
                PyErr_Format(PyExc_ValueError, messages::ragged_arrays, output.tensors == Tensors::torch ? "pt" : "np");
                throw PythonError{};
            }
        }
        if (output.tensors == Tensors::torch) import_module("torch", messages::needs_torch);
        numpy = import_module("numpy", messages::needs_numpy);
        width = longest;
    }
    // Row r's value at column c of its padded row, `value_of` giving a token's value.
    auto at = [&](const auto& value_of, std::size_t r, std::size_t c, std::int64_t pad) -> std::int64_t {
        const std::size_t size = rows.ends[r] - rows.begin_of(r);
        const std::size_t shift = output.left && width > size ? width - size : 0;
        return c < shift || c - shift >= size ? pad : value_of(rows.begin_of(r) + c - shift);
    };
    Ref result = check(PyDict_New());
    auto set_column = [&](const char* key, const auto& values, std::int64_t pad) {
        Ref value;
        if (pyarrow) {
            value = arrow_rows(pyarrow.get(), rows.size(),
                               [&](std::size_t r) { return std::max(width, rows.ends[r] - rows.begin_of(r)); },
                               [&](std::size_t r, std::size_t c) { return at(values, r, c, pad); });
        } else if (numpy) {
            value = as_tensors(int64_array(numpy.get(), {rows.size(), width},
                                           [&](std::int64_t* data) {
                                               for (std::size_t r = 0; r < rows.size(); ++r) {
                                                   for (std::size_t c = 0; c < width; ++c) {
                                                       data[r * width + c] = at(values, r, c, pad);
                                                   }
                                               }
                                           }),
                               output.tensors);
        } else {
            std::vector<Ref> lists;
            lists.reserve(rows.size());
            std::vector<std::int64_t> row;
            for (std::size_t r = 0; r < rows.size(); ++r) {
                const std::size_t size = std::max(width, rows.ends[r] - rows.begin_of(r));
                row.resize(size);
                for (std::size_t c = 0; c < size; ++c) row[c] = at(values, r, c, pad);
                lists.push_back(int_list(row));
            }
            value = list_of(std::move(lists));
        }
        check_status(PyDict_SetItemString(result.get(), key, value.get()));
    };
    auto in = [](const std::vector<std::int64_t>& values) { return [&values](std::size_t k) { return values[k]; }; };
    set_column("input_ids", in(rows.ids), output.pad.value_or(0));
    if (rows.labelled) set_column("labels", in(rows.labels), unlearnt_label);
    set_column("position_ids", in(rows.positions), 0);
    set_column("attention_mask", [](std::size_t) { return std::int64_t{1}; }, 0);
    // The examples of each row: their lengths and their input rows (ragged: lists, or Arrow list arrays).
    if (pyarrow) {
        std::vector<std::size_t> firsts(rows.size() + 1);  // each row's first example
        for (std::size_t r = 0; r < rows.size(); ++r) firsts[r + 1] = firsts[r] + plan.row(r).size();
        auto size = [&](std::size_t r) { return firsts[r + 1] - firsts[r]; };
        Ref lengths = arrow_rows(pyarrow.get(), rows.size(), size, [&](std::size_t r, std::size_t k) {
            return static_cast<std::int64_t>(rows.lengths[firsts[r] + k]);
        });
        Ref index = arrow_rows(pyarrow.get(), rows.size(), size,
                               [&](std::size_t r, std::size_t k) { return row_index(plan.row(r)[k]); });
        check_status(PyDict_SetItemString(result.get(), "seq_lengths", lengths.get()));
        check_status(PyDict_SetItemString(result.get(), "row_index", index.get()));
        return result;
    }
    std::vector<Ref> lengths, index;
    std::vector<std::int64_t> row;
    for (std::size_t r = 0, at_example = 0; r < rows.size(); ++r) {
        const std::span<const std::uint64_t> examples = plan.row(r);
        row.assign(rows.lengths.begin() + static_cast<std::ptrdiff_t>(at_example),
                   rows.lengths.begin() + static_cast<std::ptrdiff_t>(at_example + examples.size()));
        lengths.push_back(int_list(row));
        row.clear();
        for (const std::uint64_t e : examples) row.push_back(row_index(e));
        index.push_back(int_list(row));
        at_example += examples.size();
    }
    check_status(PyDict_SetItemString(result.get(), "seq_lengths", list_of(std::move(lengths)).get()));
    check_status(PyDict_SetItemString(result.get(), "row_index", list_of(std::move(index)).get()));
    return result;
}

// Packs examples read into plain values, each named by the input's row_index (or its place).
Ref pack_examples(const ExampleRows& examples, const PackOptions& options) {
    std::vector<std::size_t> placed;
    const std::vector<std::size_t> lengths = lengths_to_place(examples, options, placed, 0);
    const PackPlan plan = plan_packing(lengths, options.max_length, options.strategy);
    const PackedRows packed =
        lay_out_packed(plan, examples.labelled, [&](std::uint64_t e) { return examples.example(placed[e]); });
    return packed_result(packed, plan, [&](std::uint64_t e) {
        const std::size_t r = placed[e];
        return examples.index.empty() ? static_cast<std::int64_t>(r) : examples.index[r];
    }, options.output);
}

Ref pack_encoded(const EncodedRows& rows, const std::vector<std::size_t>* row_index, const OutputOptions& call) {
    PackOptions options;
    options.max_length = *call.max_length;
    options.output = {call.padding, call.pad ? std::optional<std::int64_t>(static_cast<std::int64_t>(*call.pad)) : std::nullopt,
                      call.left, call.tensors};
    ExampleRows examples;
    examples.labelled = rows.labelled();
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (const TokenId id : rows.ids(r)) examples.ids.push_back(static_cast<std::int64_t>(id));
        if (examples.labelled) examples.labels.insert(examples.labels.end(), rows.labels(r).begin(), rows.labels(r).end());
        examples.ends.push_back(examples.ids.size());
        if (row_index != nullptr) examples.index.push_back(static_cast<std::int64_t>((*row_index)[r]));
    }
    return pack_examples(examples, options);
}

// ---------------------------------------------------------------- Arrow tables

namespace {

// The column `name` of `table` (a pyarrow Table or RecordBatch), or false when it has none.
bool arrow_column(PyObject* table, const char* name, ArrowColumn& column) {
    Ref names = check(PyObject_GetAttrString(table, "column_names"));
    Ref key = check(PyUnicode_FromString(name));
    const int has = PySequence_Contains(names.get(), key.get());
    check_status(has);
    if (has == 0) return false;
    arrow_list(check(PyObject_CallMethod(table, "column", "O", key.get())), name, column);
    return true;
}

// Lays the rows of an Arrow list array (or chunked array) out in `column`.
void arrow_list(Ref list, const char* name, ArrowColumn& column) {
    // One chunk is read as it is; several are joined first (a copy).
    if (Ref chunks = attribute_or_null(list.get(), "num_chunks")) {
        list = PyLong_AsLong(chunks.get()) == 1 ? check(PyObject_CallMethod(list.get(), "chunk", "i", 0))
                                                : check(PyObject_CallMethod(list.get(), "combine_chunks", nullptr));
    }
    Ref nulls = check(PyObject_GetAttrString(list.get(), "null_count"));
    Ref offsets = Ref::steal(PyObject_GetAttrString(list.get(), "offsets"));
    if (!offsets || PyLong_AsLong(nulls.get()) != 0) {
        PyErr_Clear();
        raise_not_rows(name, list.get());
    }
    Ref values = check(PyObject_GetAttrString(list.get(), "values"));
    view_ints(check(PyObject_CallMethod(offsets.get(), "to_numpy", nullptr)), name, column.offsets);
    view_ints(check(PyObject_CallMethod(values.get(), "to_numpy", nullptr)), name, column.values);
    if (column.offsets.size == 0) raise_not_rows(name, list.get());
}

}  // namespace

// pack() of an Arrow table: each example's ids copied whole from the
// table's buffers into the packed rows' buffers; a table of list columns back.
Ref pack_arrow(PyObject* table, const PackOptions& options) {
    Ref pyarrow = import_module("pyarrow", messages::needs_pyarrow);
    Ref numpy = import_module("numpy", messages::needs_numpy);
    ArrowColumn ids, labels, mask;
    if (!arrow_column(table, "input_ids", ids)) {
        PyErr_Format(PyExc_TypeError, messages::not_encoded, "pack()", Py_TYPE(table)->tp_name);
        throw PythonError{};
    }
    const bool labelled = arrow_column(table, "labels", labels);
    for (const auto& [name, other, present] : {std::tuple{"labels", &labels, labelled},
                                              std::tuple{"attention_mask", &mask, arrow_column(table, "attention_mask", mask)}}) {
        if (!present) continue;
        if (other->rows() != ids.rows()) {
            PyErr_Format(PyExc_ValueError, messages::column_rows_differ, name, other->rows(), ids.rows());
            throw PythonError{};
        }
        for (std::size_t r = 0; r < ids.rows(); ++r) {
            if (other->length(r) != ids.length(r)) {
                PyErr_Format(PyExc_ValueError, messages::row_lengths_differ, name, r, other->length(r), ids.length(r));
                throw PythonError{};
            }
        }
    }
    if (mask.offsets.size > 0) {
        for (std::size_t k = mask.begin(0); k < mask.begin(0) + mask.offsets[mask.rows()] - mask.offsets[0]; ++k) {
            if (mask.values[k] == 0) raise(PyExc_ValueError, messages::padded_arrow_rows);
        }
    }
    IntView index;
    Ref names = check(PyObject_GetAttrString(table, "column_names"));
    Ref index_key = check(PyUnicode_FromString("row_index"));
    const int has_index = PySequence_Contains(names.get(), index_key.get());
    check_status(has_index);
    if (has_index) {
        Ref column = check(PyObject_CallMethod(table, "column", "O", index_key.get()));
        view_ints(check(PyObject_CallMethod(column.get(), "to_numpy", nullptr)), "row_index", index);
    }
    // The plan, from the rows' lengths alone.
    std::vector<std::size_t> lengths, placed;
    for (std::size_t r = 0; r < ids.rows(); ++r) {
        const std::size_t length = ids.length(r);
        if (length == 0) continue;
        if (length > options.max_length) {
            if (options.drop) continue;
            PyErr_Format(PyExc_ValueError, messages::example_too_long,
                         has_index ? static_cast<std::size_t>(index[r]) : r, length, options.max_length);
            throw PythonError{};
        }
        lengths.push_back(length);
        placed.push_back(r);
    }
    const PackPlan plan = plan_packing(lengths, options.max_length, options.strategy);
    std::size_t total = 0, longest = 0;
    for (const std::size_t length : lengths) {
        total += length;
        longest = std::max(longest, length);
    }
    // Row offsets (int32 where they fit), shared by every token column.
    const bool wide = total > static_cast<std::size_t>(INT32_MAX);
    Ref row_offsets = arrow_offsets(pyarrow.get(), plan.size(), wide, [&](std::size_t r) {
        std::size_t size = 0;
        for (const std::uint64_t e : plan.row(r)) size += lengths[e];
        return size;
    });
    // Token columns: each example's values copied whole, in the input's type.
    auto tokens = [&](const ArrowColumn& column, bool unlearn_starts) {
        const std::size_t width = static_cast<std::size_t>(column.values.buffer.view.itemsize);
        Ref dtype = check(PyObject_GetAttrString(column.values.owner.get(), "dtype"));
        Ref dtype_name = check(PyObject_Str(dtype.get()));
        const char* name = PyUnicode_AsUTF8(dtype_name.get());
        if (name == nullptr) throw PythonError{};
        return new_arrow(pyarrow.get(), total, name, width, [&](char* data) {
            std::size_t at = 0;
            for (std::size_t r = 0; r < plan.size(); ++r) {
                bool first = true;
                for (const std::uint64_t e : plan.row(r)) {
                    const std::size_t begin = column.begin(placed[e]), length = lengths[e];
                    if (column.values.contiguous()) {
                        std::memcpy(data + at * width, static_cast<const char*>(column.values.buffer.view.buf) + begin * width,
                                    length * width);
                    } else {
                        for (std::size_t k = 0; k < length; ++k) {
                            const std::int64_t value = column.values[begin + k];
                            std::memcpy(data + (at + k) * width, &value, width);  // little-endian: the low bytes
                        }
                    }
                    if (unlearn_starts && !first) {
                        const std::int64_t unlearnt = unlearnt_label;
                        std::memcpy(data + at * width, &unlearnt, width);
                    }
                    at += length;
                    first = false;
                }
            }
        });
    };
    Ref result = check(PyDict_New());
    auto list_column = [&](const char* key, const Ref& offsets, Ref values) {
        Ref column = list_array(pyarrow.get(), offsets, values, wide && offsets.get() == row_offsets.get());
        check_status(PyDict_SetItemString(result.get(), key, column.get()));
    };
    list_column("input_ids", row_offsets, tokens(ids, false));
    if (labelled) {
        if (!labels.values.buffer.view.format || std::string_view(labels.values.buffer.view.format).find_first_of("BHILQ") !=
                                                     std::string_view::npos) {
            raise_not_rows("labels", labels.values.owner.get());  // labels are signed: -100 must fit
        }
        list_column("labels", row_offsets, tokens(labels, true));
    }
    list_column("position_ids", row_offsets, new_arrow(pyarrow.get(), total, "int32", 4, [&](char* data) {
        std::vector<std::int32_t> counting(longest);  // 0, 1, 2, ...: each example's positions are its start
        std::iota(counting.begin(), counting.end(), 0);
        for (const std::uint64_t e : plan.examples) {
            std::memcpy(data, counting.data(), lengths[e] * sizeof(std::int32_t));
            data += lengths[e] * sizeof(std::int32_t);
        }
    }));
    list_column("attention_mask", row_offsets,
                new_arrow(pyarrow.get(), total, "int8", 1, [&](char* data) { std::memset(data, 1, total); }));
    // Per row, its examples: their lengths and their input rows.
    Ref example_offsets = new_arrow(pyarrow.get(), plan.size() + 1, "int32", 4, [&](char* data) {
        auto* out = reinterpret_cast<std::int32_t*>(data);
        out[0] = 0;
        for (std::size_t r = 0; r < plan.size(); ++r) out[r + 1] = static_cast<std::int32_t>(plan.ends[r]);
    });
    list_column("seq_lengths", example_offsets, new_arrow(pyarrow.get(), plan.examples.size(), "int32", 4, [&](char* data) {
        auto* out = reinterpret_cast<std::int32_t*>(data);
        for (const std::uint64_t e : plan.examples) *out++ = static_cast<std::int32_t>(lengths[e]);
    }));
    list_column("row_index", example_offsets, new_arrow(pyarrow.get(), plan.examples.size(), "int64", 8, [&](char* data) {
        auto* out = reinterpret_cast<std::int64_t*>(data);
        for (const std::uint64_t e : plan.examples) *out++ = has_index ? index[placed[e]] : static_cast<std::int64_t>(placed[e]);
    }));
    Ref table_type = check(PyObject_GetAttrString(pyarrow.get(), "table"));
    return check(PyObject_CallOneArg(table_type.get(), result.get()));
}

// ---------------------------------------------------------------- pack()

namespace {

constexpr std::string_view pack_names[] = {"encoded", "max_length"};
constexpr std::string_view pack_option_names[] = {"strategy", "overflow", "padding", "pad_token_id", "padding_side",
                                                  "return_tensors"};
namespace pack_option {
enum : std::size_t { strategy, overflow, padding, pad_token_id, padding_side, return_tensors };
}

constexpr Signature pack_signature{"pack()", pack_names, 2, pack_option_names, Keywords::named, 1};

const char pack_doc[] =
    "pack(encoded, /, max_length, *, strategy='bfd', overflow='raise', padding=False, pad_token_id=None, "
    "padding_side='right', return_tensors=None)\n--\n\n"
    "Pack encoded rows (what encode_batch returns: lists, arrays or Arrow list arrays, with or\n"
    "without labels) into rows of at most max_length tokens, never splitting an example. Returns\n"
    "a dict: input_ids, labels (where given), position_ids (from 0 in each example),\n"
    "attention_mask, seq_lengths (the lengths of the examples in each row) and row_index (the\n"
    "input rows each row holds, in order). In each row, the first token of every example after\n"
    "the first is labelled -100, so that no example learns from the one before it.\n"
    "strategy='bfd' (best fit decreasing) makes the fewest rows; 'sequential' keeps the input\n"
    "order. An example longer than max_length raises, or with overflow='drop' is left out.\n"
    "padding, pad_token_id, padding_side and return_tensors shape the rows as in encode_batch\n"
    "(seq_lengths and row_index stay lists, or with 'arrow' are list arrays too). A pyarrow\n"
    "Table of such list columns is packed from its buffers into a pyarrow Table.";

Ref pack(const Arguments& arguments, const Options& options) {
    const PackOptions pack = read_pack_options(
        arguments[1].get(), options[pack_option::strategy].get(), options[pack_option::overflow].get(),
        options[pack_option::padding].get(), options[pack_option::pad_token_id].get(),
        options[pack_option::padding_side].get(), options[pack_option::return_tensors].get());
    if (attribute_or_null(arguments[0].get(), "schema") && attribute_or_null(arguments[0].get(), "column_names")) {
        return pack_arrow(arguments[0].get(), pack);  // a pyarrow Table or RecordBatch
    }
    return pack_examples(read_examples(arguments[0].get(), "pack()"), pack);
}

PyMethodDef pack_definition = {"pack", method_pointer(function<pack_signature, pack>), fast_call_flags, pack_doc};

// ---------------------------------------------------------------- Packer

// A Packer: the options it packs with, and the examples of its open rows.
struct PackerRecord {
    PackOptions options;
    std::size_t open = 128;  // best fit: the rows kept open
    struct State {
        RowPacker packer;
        std::vector<std::vector<std::int64_t>> ids, labels;  // per example still in an open row, by number - first
        std::uint64_t first = 0;                            // the number of the first example kept
        bool labelled = false;
        bool started = false;
    };
    std::unique_ptr<std::mutex> lock = std::make_unique<std::mutex>();  // one add() or flush() at a time
    std::unique_ptr<State> state;
};

struct PackerObject : Instance<PackerRecord> {
    static constexpr const char* class_name = "Packer";
    static PyTypeObject* type();
};

constexpr std::string_view packer_names[] = {"max_length"};
constexpr std::string_view packer_option_names[] = {"strategy",     "overflow",       "padding", "pad_token_id",
                                                    "padding_side", "return_tensors", "open_rows"};
constexpr Signature packer_signature{"Packer.__new__()", packer_names, 1, packer_option_names};
constexpr std::string_view add_names[] = {"encoded"};
constexpr Signature add_signature{"Packer.add()", add_names, 1, {}, Keywords::named, 1};
constexpr Signature flush_signature{"Packer.flush()", {}, 0};

const char packer_doc[] =
    "Packer(max_length, *, strategy='bfd', overflow='raise', padding=False, pad_token_id=None, "
    "padding_side='right', return_tensors=None, open_rows=128)\n--\n\n"
    "Packs a stream of encoded batches, keeping open rows across calls: add(encoded) returns the\n"
    "rows that are done (no example seen so far fits what they have left, or they are beyond the\n"
    "open_rows fullest kept open), flush() the rest. Rows are those pack() makes; row_index counts\n"
    "the examples added since the Packer was made.";
const char add_doc[] =
    "add($self, encoded, /)\n--\n\n"
    "Add a batch of encoded rows; returns the packed rows that are done (as pack() returns them).";
const char flush_doc[] = "flush($self, /)\n--\n\nReturns every row still open, and starts afresh.";

Ref packer_new(PyTypeObject* type, const Arguments& arguments, const Options& options) {
    PackerRecord record;
    record.options = read_pack_options(arguments[0].get(), options[0].get(), options[1].get(), options[2].get(),
                                       options[3].get(), options[4].get(), options[5].get());
    if (PyObject* open = options[6].get()) {
        const Py_ssize_t rows = PyLong_Check(open) && !PyBool_Check(open) ? PyLong_AsSsize_t(open) : -1;
        if (rows <= 0) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, messages::bad_open_rows, open);
            throw PythonError{};
        }
        record.open = static_cast<std::size_t>(rows);
    }
    record.state = std::make_unique<PackerRecord::State>(
        PackerRecord::State{RowPacker(record.options.max_length, record.options.strategy), {}, {}, 0, false, false});
    return new_instance<PackerObject>(type, std::move(record));
}

// Takes the rows that are done (all of them with `all`) and lays them out.
Ref take_rows(PackerRecord& record, bool all, ExampleRows* added) {
    PackPlan plan;
    PackedRows packed;
    {
        std::lock_guard guard(*record.lock);  // one caller at a time; no Python code runs while it is held
        PackerRecord::State& state = *record.state;
        if (added != nullptr) {
            std::vector<std::size_t> placed;
            const std::vector<std::size_t> lengths = lengths_to_place(*added, record.options, placed, state.packer.placed());
            for (const std::size_t e : placed) {
                const ExampleTokens tokens = added->example(e);
                state.ids.emplace_back(tokens.ids.begin(), tokens.ids.end());
                state.labels.emplace_back(tokens.labels.begin(), tokens.labels.end());
            }
            state.packer.place(lengths);
        }
        plan = state.packer.take(all, record.open);
        packed = lay_out_packed(plan, state.labelled, [&](std::uint64_t e) {
            const std::size_t at = static_cast<std::size_t>(e - state.first);
            return ExampleTokens{state.ids[at], state.labels[at]};
        });
        for (const std::uint64_t e : plan.examples) {  // their tokens are in the rows now
            const std::size_t at = static_cast<std::size_t>(e - state.first);
            state.ids[at] = {};
            state.labels[at] = {};
        }
        // Forget the leading examples no open row holds.
        std::size_t gone = 0;
        while (gone < state.ids.size() && state.ids[gone].empty()) ++gone;
        state.ids.erase(state.ids.begin(), state.ids.begin() + static_cast<std::ptrdiff_t>(gone));
        state.labels.erase(state.labels.begin(), state.labels.begin() + static_cast<std::ptrdiff_t>(gone));
        state.first += gone;
        if (all) {
            const bool labelled = state.labelled;
            *record.state = PackerRecord::State{RowPacker(record.options.max_length, record.options.strategy), {}, {}, 0,
                                                labelled, false};
        }
    }
    return packed_result(packed, plan, [](std::uint64_t e) { return static_cast<std::int64_t>(e); },
                         record.options.output);
}

Ref packer_add(PackerObject& self, const Arguments& arguments) {
    ExampleRows examples = read_examples(arguments[0].get(), "Packer.add()");
    examples.index.clear();  // the Packer numbers what it is given
    {
        std::lock_guard guard(*self.record.lock);
        PackerRecord::State& state = *self.record.state;
        if (state.started && state.labelled != examples.labelled) raise(PyExc_ValueError, messages::packer_labels_changed);
        state.labelled = examples.labelled;
        state.started = true;
    }
    return take_rows(self.record, false, &examples);
}

Ref packer_flush(PackerObject& self, const Arguments&) { return take_rows(self.record, true, nullptr); }

void packer_dealloc(PyObject* self) noexcept { instance_dealloc<PackerObject>(self); }

auto packer_methods = class_table(std::array{
    method_row<PackerObject, Access::exclusive, add_signature, packer_add>("add", add_doc),
    method_row<PackerObject, Access::exclusive, flush_signature, packer_flush>("flush", flush_doc),
});

PyType_Slot packer_type_slots[] = {
    {Py_tp_doc, const_cast<char*>(packer_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(packer_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(constructor<packer_signature, packer_new>)},
    {Py_tp_methods, packer_methods.data()},
    {0, nullptr},
};

PyType_Spec packer_definition = {
    "korvanta.Packer",
    static_cast<int>(sizeof(PackerObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    packer_type_slots,
};

}  // namespace

PyTypeObject* PackerObject::type() { return check_borrowed(class_object(Static::packer_class, packer_definition)); }

PyMethodDef& pack_method() noexcept { return pack_definition; }
PyObject* packer_class() { return reinterpret_cast<PyObject*>(PackerObject::type()); }

}  // namespace korvanta
