// DataCollator: rows (packed or not) into a training batch for the HF
// Trainer or a torch DataLoader. Rows are padded to the batch's longest; or,
// padding-free, flattened into one row with the position ids and the
// sequence boundaries flash attention reads.
#include <algorithm>

#include "binding/class_tables.hpp"
#include "binding/entry_points.hpp"
#include "binding/packing.hpp"
#include "binding/statics.hpp"

namespace korvanta {

namespace {

struct CollatorRecord {
    std::int64_t pad = 0;            // the pad id
    Ref pad_object;                  // the pad id as given, for pickling
    bool padding_free = false;       // one flattened row, no padding
    std::size_t multiple = 0;        // rows padded to a multiple of this (0: any width)
    Tensors tensors = Tensors::torch;
};

struct CollatorObject : Instance<CollatorRecord> {
    static constexpr const char* class_name = "DataCollator";
    static PyTypeObject* type();
};

constexpr std::string_view collator_names[] = {"pad_token_id"};
constexpr std::string_view collator_option_names[] = {"padding_free", "pad_to_multiple_of", "return_tensors"};
constexpr Signature collator_signature{"DataCollator.__new__()", collator_names, 1, collator_option_names};
constexpr std::string_view call_names[] = {"features"};
constexpr Signature call_signature{"DataCollator.__call__()", call_names, 1, {}, Keywords::named, 1};
constexpr Signature reduce_signature{"DataCollator.__reduce__()", {}, 0};

const char collator_doc[] =
    "DataCollator(pad_token_id, *, padding_free=False, pad_to_multiple_of=None, return_tensors='pt')\n--\n\n"
    "Collates rows (what encode_batch or pack return, one mapping per row) into a batch for the\n"
    "HF Trainer or a torch DataLoader. Rows are padded on the right to the batch's longest (or a\n"
    "multiple of pad_to_multiple_of): input_ids with pad_token_id, labels with -100 (rows without\n"
    "labels are labelled with their own ids). Unpacked rows get an attention_mask; packed rows\n"
    "(with position_ids) get their position_ids and no attention_mask, so that transformers keeps\n"
    "their examples apart (train with use_cache=False). With padding_free=True the batch is one\n"
    "row: every example one after another, the first token of each labelled -100, position_ids\n"
    "from 0 in each, and cu_seq_lens_q/k and max_length_q/k for flash attention.";

// The rows of a batch, read into plain values.
struct Batch {
    ExampleRows rows;
    std::vector<std::int64_t> positions;  // where the rows carry position_ids: one per id
    std::vector<std::size_t> examples;    // each example's length, row after row
    std::vector<std::size_t> row_examples;  // where each row's examples end in `examples`
    bool packed = false;                  // the rows carry position_ids
};

Batch read_batch(PyObject* features) {
    Ref items = stable_items(features);
    if (!items) items = Ref::steal(PySequence_Tuple(features));
    if (!items || PyUnicode_Check(features) || (PyMapping_Check(features) && !PySequence_Check(features))) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, messages::not_features, Py_TYPE(features)->tp_name);
        throw PythonError{};
    }
    if (PyList_Check(items.get())) items = check(PyList_AsTuple(items.get()));
    Batch batch;
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* feature = PyTuple_GET_ITEM(items.get(), i);
        Ref ids = PyMapping_Check(feature) ? item_or_null(feature, "input_ids") : Ref();
        if (!ids) {
            PyErr_Format(PyExc_TypeError, messages::not_features, Py_TYPE(feature)->tp_name);
            throw PythonError{};
        }
        ExampleRows& rows = batch.rows;
        const std::size_t begin = rows.ids.size();
        read_row(ids.get(), "input_ids", rows.ids, rows.ends);
        const std::size_t length = rows.ids.size() - begin;
        auto read_beside = [&](const char* key, std::vector<std::int64_t>& values) {
            Ref value = item_or_null(feature, key);
            if (!value) return false;
            std::vector<std::size_t> ends;
            const std::size_t before = values.size();
            read_row(value.get(), key, values, ends);
            if (values.size() - before != length) {
                PyErr_Format(PyExc_ValueError, messages::row_lengths_differ, key, static_cast<std::size_t>(i),
                             values.size() - before, length);
                throw PythonError{};
            }
            return true;
        };
        const bool labelled = read_beside("labels", rows.labels);
        if (i == 0) rows.labelled = labelled;
        if (labelled != rows.labelled) raise(PyExc_ValueError, messages::collator_labels_mixed);
        const bool packed = read_beside("position_ids", batch.positions);
        if (i == 0) batch.packed = packed;
        if (packed != batch.packed) raise(PyExc_ValueError, messages::collator_positions_mixed);
        std::vector<std::int64_t> mask;
        if (read_beside("attention_mask", mask)) {
            // Padding the row carries is left out (a padded row's mask says where).
            std::size_t to = begin;
            for (std::size_t k = 0; k < length; ++k) {
                if (mask[k] == 0) continue;
                rows.ids[to] = rows.ids[begin + k];
                if (labelled) rows.labels[to] = rows.labels[begin + k];
                if (packed) batch.positions[to] = batch.positions[begin + k];
                ++to;
            }
            rows.ids.resize(to);
            if (labelled) rows.labels.resize(to);
            if (packed) batch.positions.resize(to);
            rows.ends.back() = to;
        }
        // The row's examples: where its position ids start again from 0, or the row.
        const std::size_t row_begin = begin, row_end = rows.ends.back();
        std::size_t start = row_begin;
        for (std::size_t k = row_begin + 1; packed && k < row_end; ++k) {
            if (batch.positions[k] == 0) {
                batch.examples.push_back(k - start);
                start = k;
            }
        }
        if (row_end > start) batch.examples.push_back(row_end - start);
        batch.row_examples.push_back(batch.examples.size());
    }
    if (!batch.rows.labelled) {  // a row without labels learns its own ids, never across examples
        batch.rows.labels = batch.rows.ids;
        for (std::size_t k = 0; batch.packed && k < batch.positions.size(); ++k) {
            if (batch.positions[k] == 0) batch.rows.labels[k] = unlearnt_label;
        }
    }
    return batch;
}

// A column of `rows` rows of `width` values each, as a list of lists, an
// array or a tensor.
Ref column(PyObject* numpy, const CollatorRecord& record, std::size_t rows, std::size_t width,
           const std::function<std::int64_t(std::size_t, std::size_t)>& value) {
    if (numpy != nullptr) {
        return as_tensors(int64_array(numpy, {rows, width},
                                      [&](std::int64_t* data) {
                                          for (std::size_t r = 0; r < rows; ++r) {
                                              for (std::size_t c = 0; c < width; ++c) data[r * width + c] = value(r, c);
                                          }
                                      }),
                          record.tensors);
    }
    std::vector<Ref> lists;
    for (std::size_t r = 0; r < rows; ++r) {
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(width)));
        for (std::size_t c = 0; c < width; ++c) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(c), check(PyLong_FromLongLong(value(r, c))).release());
        }
        lists.push_back(std::move(list));
    }
    return list_of(std::move(lists));
}

// The sequence boundaries flash attention reads (int32), and the longest.
Ref boundaries(PyObject* numpy, const CollatorRecord& record, const std::vector<std::size_t>& lengths) {
    std::vector<std::int64_t> cumulative{0};
    for (const std::size_t length : lengths) cumulative.push_back(cumulative.back() + static_cast<std::int64_t>(length));
    if (numpy == nullptr) return int_list(cumulative);
    Ref array = int64_array(numpy, {cumulative.size()}, [&](std::int64_t* data) {
        std::copy(cumulative.begin(), cumulative.end(), data);
    });
    array = check(PyObject_CallMethod(array.get(), "astype", "s", "int32"));
    return as_tensors(std::move(array), record.tensors);
}

Ref collate(CollatorObject& self, const Arguments& arguments) {
    const CollatorRecord& record = self.record;
    const Batch batch = read_batch(arguments[0].get());
    const ExampleRows& rows = batch.rows;
    Ref numpy;
    if (record.tensors != Tensors::none) {
        if (record.tensors == Tensors::torch) import_module("torch", messages::needs_torch);
        numpy = import_module("numpy", messages::needs_numpy);
    }
    Ref result = check(PyDict_New());
    auto set = [&](const char* key, const Ref& value) { check_status(PyDict_SetItemString(result.get(), key, value.get())); };
    if (record.padding_free) {
        // Every example one after another in one row.
        std::vector<std::int64_t> labels = rows.labels, positions(rows.ids.size());
        std::size_t at = 0;
        for (const std::size_t length : batch.examples) {
            labels[at] = unlearnt_label;
            for (std::size_t k = 0; k < length; ++k) positions[at + k] = static_cast<std::int64_t>(k);
            at += length;
        }
        const std::size_t total = rows.ids.size();
        set("input_ids", column(numpy.get(), record, 1, total, [&](std::size_t, std::size_t c) { return rows.ids[c]; }));
        set("labels", column(numpy.get(), record, 1, total, [&](std::size_t, std::size_t c) { return labels[c]; }));
        set("position_ids",
            column(numpy.get(), record, 1, total, [&](std::size_t, std::size_t c) { return positions[c]; }));
        Ref cumulative = boundaries(numpy.get(), record, batch.examples);
        set("cu_seq_lens_q", cumulative);
        set("cu_seq_lens_k", cumulative);
        const std::size_t longest = batch.examples.empty() ? 0 : *std::max_element(batch.examples.begin(), batch.examples.end());
        Ref longest_object = check(PyLong_FromSize_t(longest));
        set("max_length_q", longest_object);
        set("max_length_k", longest_object);
        return result;
    }
    std::size_t width = 0;
    for (std::size_t r = 0; r < rows.size(); ++r) width = std::max(width, rows.length(r));
    if (record.multiple > 1) width = (width + record.multiple - 1) / record.multiple * record.multiple;
    auto padded = [&](const std::vector<std::int64_t>& values, std::int64_t pad) {
        return [&values, &rows, pad](std::size_t r, std::size_t c) {
            return c < rows.length(r) ? values[rows.begin_of(r) + c] : pad;
        };
    };
    set("input_ids", column(numpy.get(), record, rows.size(), width, padded(rows.ids, record.pad)));
    set("labels", column(numpy.get(), record, rows.size(), width, padded(rows.labels, unlearnt_label)));
    if (batch.packed) {
        set("position_ids", column(numpy.get(), record, rows.size(), width, padded(batch.positions, 0)));
    } else {
        set("attention_mask", column(numpy.get(), record, rows.size(), width,
                                     [&](std::size_t r, std::size_t c) -> std::int64_t { return c < rows.length(r); }));
    }
    return result;
}

Ref collator_new(PyTypeObject* type, const Arguments& arguments, const Options& options) {
    CollatorRecord record;
    PyObject* pad = arguments[0].get();
    if (!PyLong_Check(pad) || PyBool_Check(pad)) {
        PyErr_Format(PyExc_TypeError, messages::bad_pad_id, pad);
        throw PythonError{};
    }
    record.pad = PyLong_AsLongLong(pad);
    if (record.pad == -1 && PyErr_Occurred()) throw PythonError{};
    record.pad_object = Ref::borrow(pad);
    record.padding_free = flag_of(options[0].get(), "padding_free", false);
    if (PyObject* multiple = options[1].get(); multiple != nullptr && multiple != Py_None) {
        const Py_ssize_t value = PyLong_Check(multiple) && !PyBool_Check(multiple) ? PyLong_AsSsize_t(multiple) : -1;
        if (value <= 0) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, messages::bad_multiple, multiple);
            throw PythonError{};
        }
        record.multiple = static_cast<std::size_t>(value);
    }
    record.tensors = options[2].get() == nullptr ? Tensors::torch : tensors_of(options[2].get(), false);
    return new_instance<CollatorObject>(type, std::move(record));
}

// Pickled as a call of the class with the options it was made with.
Ref collator_reduce(CollatorObject& self, const Arguments&) {
    const CollatorRecord& record = self.record;
    Ref functools = check(PyImport_ImportModule("functools"));
    Ref keywords = check(PyDict_New());
    check_status(PyDict_SetItemString(keywords.get(), "padding_free", record.padding_free ? Py_True : Py_False));
    Ref multiple = record.multiple ? check(PyLong_FromSize_t(record.multiple)) : Ref::borrow(Py_None);
    check_status(PyDict_SetItemString(keywords.get(), "pad_to_multiple_of", multiple.get()));
    Ref tensors = record.tensors == Tensors::none    ? Ref::borrow(Py_None)
                  : record.tensors == Tensors::numpy ? check(PyUnicode_FromString("np"))
                                                     : check(PyUnicode_FromString("pt"));
    check_status(PyDict_SetItemString(keywords.get(), "return_tensors", tensors.get()));
    Ref partial_type = check(PyObject_GetAttrString(functools.get(), "partial"));
    Ref type_only = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(Py_TYPE(self_of(self)))));
    Ref partial = check(PyObject_Call(partial_type.get(), type_only.get(), keywords.get()));
    Ref arguments = check(PyTuple_Pack(1, record.pad_object.get()));
    return check(PyTuple_Pack(2, partial.get(), arguments.get()));
}

// A call through the type's call slot, bound as a method is.
PyObject* collator_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> PyObject* {
        HeldReceiver<CollatorObject> call(self);
        return to_result(collate(call.object, bind_tuple(call_signature, args, kwargs)));
    });
}

void collator_dealloc(PyObject* self) noexcept { instance_dealloc<CollatorObject>(self); }

auto collator_methods = class_table(std::array{
    method_row<CollatorObject, Access::none, reduce_signature, collator_reduce>("__reduce__"),
});

PyType_Slot collator_type_slots[] = {
    {Py_tp_doc, const_cast<char*>(collator_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(collator_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(constructor<collator_signature, collator_new>)},
    {Py_tp_call, reinterpret_cast<void*>(collator_call)},
    {Py_tp_methods, collator_methods.data()},
    {0, nullptr},
};

PyType_Spec collator_definition = {
    "korvanta.DataCollator",
    static_cast<int>(sizeof(CollatorObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    collator_type_slots,
};

}  // namespace

PyTypeObject* CollatorObject::type() { return check_borrowed(class_object(Static::collator_class, collator_definition)); }

PyObject* collator_class() { return reinterpret_cast<PyObject*>(CollatorObject::type()); }

}  // namespace korvanta
