// Reading rows (mappings, sequences of mappings, or columns) into the values
// each prompt is written from, holding what is read while Python code runs;
// writing the prompts; reading row text that spells a protected token as text.
#include "binding/encode_rows.hpp"

#include <algorithm>

namespace korvanta {

// The name of a plan's slot part `slot`.
std::string_view slot_name(const PromptPlan& plan, std::size_t slot) {
    for (const PromptPart& part : plan.parts) {
        if (part.kind == PartKind::slot && slot-- == 0) return part.text;
    }
    return {};
}

namespace {

// ", "-joined reprs of a mapping's keys, or null when it has none.
Ref key_list(PyObject* mapping) {
    Ref keys = Ref::steal(PyMapping_Keys(mapping));
    if (!keys) {
        clear_ordinary_failure();
        return Ref();
    }
    const Py_ssize_t count = PyList_GET_SIZE(keys.get());
    if (count == 0) return Ref();
    Ref reprs = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
        check_status(PyList_Append(reprs.get(), check(PyObject_Repr(key.get())).get()));
    }
    Ref separator = check(PyUnicode_FromString(", "));
    return check(PyUnicode_Join(separator.get(), reprs.get()));
}

// The KeyError of a row (or a batch of columns) without `name`: what it has.
Ref missing_message(PyObject* mapping, PyObject* name, std::optional<std::size_t> row) {
    Ref keys = key_list(mapping);
    Ref message = row ? check(PyUnicode_FromFormat(messages::missing_field, name, *row, name))
                      : check(PyUnicode_FromFormat(messages::missing_column, name, name));
    Ref what = keys ? check(PyUnicode_FromFormat(row ? messages::row_keys : messages::batch_columns, keys.get()))
                    : check(PyUnicode_FromString(row ? messages::row_no_keys : messages::batch_no_columns));
    return check(PyUnicode_Concat(message.get(), what.get()));
}

// The KeyError of a row (or a batch of columns) without one of the template's
// fields: what it has, and how to write the field's spelling as text when the
// tokenizer has a special token of that name.
[[noreturn]] void raise_missing_field(const TokenizerView& tokenizer, PyObject* mapping, PyObject* name,
                                      std::optional<std::size_t> row) {
    PyErr_Clear();
    Ref message = missing_message(mapping, name, row);
    Ref special = check(PyUnicode_FromFormat("[%U]", name));
    if (token_id(tokenizer.backend.get(), special.get())) {
        Ref escaped = check(PyUnicode_FromFormat("\\[%U\\]", name));
        Ref advice = check(PyUnicode_FromFormat(messages::special_spelling, special.get(), escaped.get()));
        message = check(PyUnicode_Concat(message.get(), advice.get()));
    }
    PyErr_SetObject(PyExc_KeyError, message.get());
    throw PythonError{};
}

bool is_mapping(PyObject* object) {
    if (PyDict_Check(object)) return true;
    if (PyUnicode_Check(object) || PyBytes_Check(object) || PyList_Check(object) || PyTuple_Check(object)) return false;
    Ref keys = Ref::steal(PyObject_GetAttrString(object, "keys"));
    if (!keys) clear_ordinary_failure();
    return static_cast<bool>(keys);
}

// A column of a batch: a list or tuple, a one-dimensional array (numpy's,
// or a pandas Series, which has keys but is read by its values), or any
// other sequence that is not text or a mapping.
bool is_column(PyObject* object) {
    if (PyList_Check(object) || PyTuple_Check(object)) return true;
    if (PyUnicode_Check(object) || PyBytes_Check(object)) return false;
    if (Ref dimensions = attribute_or_null(object, "ndim")) {
        return PyLong_CheckExact(dimensions.get()) && PyLong_AsLong(dimensions.get()) == 1 && !PyErr_Occurred();
    }
    return !is_mapping(object) && PySequence_Check(object);
}

// The index of a row's answer to a slot: an int indexes `options`, a str is one of them.
std::size_t answer_index(PyObject* value, const std::vector<std::string>& options, std::string_view slot,
                         std::size_t row) {
    if (PyIndex_Check(value) && !PyBool_Check(value)) {  // an int, or any integer (numpy's, pandas') that says so
        Ref number = check(PyNumber_Index(value));
        const Py_ssize_t index = PyLong_AsSsize_t(number.get());
        if (index >= 0 && static_cast<std::size_t>(index) < options.size()) return static_cast<std::size_t>(index);
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError{};
        PyErr_Clear();
    } else if (PyUnicode_Check(value)) {
        const Utf8Text text(value);
        auto found = std::find(options.begin(), options.end(), text.view());
        if (found != options.end()) return static_cast<std::size_t>(found - options.begin());
    }
    Ref listed = check(PyList_New(0));
    for (const std::string& option : options) check_status(PyList_Append(listed.get(), new_str(option).get()));
    PyErr_Format(PyExc_ValueError, messages::bad_answer, row, new_str(slot).get(), listed.get(), value);
    throw PythonError{};
}

// What a plan looks up in rows, and the values read so far: the fields'
// texts, and the answers to target slots answered at a mask.
class RowReader {
   public:
    RowReader(const EncodingCache& cache, const TokenizerView& tokenizer) : cache_(cache), tokenizer_(tokenizer) {
        // The names to look up: the fields, then the target slots answered at a mask.
        const PromptPlan& plan = cache.plan;
        for (const std::string& field : plan.fields) names_.push_back(new_str(field));
        std::size_t slot = 0;
        for (const PromptPart& part : plan.parts) {
            if (part.kind != PartKind::slot) continue;
            if (plan.target_slots[slot]) {
                names_.push_back(new_str(part.text));
                slot_of_name_.push_back(slot);
            }
            ++slot;
        }
    }

    // One row: a mapping.
    void row(PyObject* row, std::size_t index) {
        if (!is_mapping(row)) {
            PyErr_Format(PyExc_TypeError, messages::not_a_row, index, type_name(row).get());
            throw PythonError{};
        }
        start_row();
        for (std::size_t n = 0; n < names_.size(); ++n) take(index, n, lookup(row, n, index).get());
        ++values_.rows;
    }

    // Rows: a sequence of mappings, copied into a tuple of its own.
    void sequence(PyObject* rows) {
        if (PyUnicode_Check(rows) || PyBytes_Check(rows) || !PySequence_Check(rows)) {
            PyErr_Format(PyExc_TypeError, messages::not_rows, type_name(rows).get());
            throw PythonError{};
        }
        Ref held = check(PySequence_Tuple(rows));
        for (Py_ssize_t r = 0; r < PyTuple_GET_SIZE(held.get()); ++r) {
            row(PyTuple_GET_ITEM(held.get(), r), static_cast<std::size_t>(r));
        }
    }

    // Columns: a mapping of equal-length columns, each copied into a tuple.
    void columns(PyObject* batch) {
        std::vector<Ref> columns;
        Py_ssize_t rows = -1;
        for (std::size_t n = 0; n < names_.size(); ++n) {
            Ref column = lookup(batch, n, std::nullopt);
            if (!is_column(column.get())) {
                PyErr_Format(PyExc_TypeError, messages::column_not_a_list, names_[n].get(), type_name(column.get()).get());
                throw PythonError{};
            }
            columns.push_back(check(PySequence_Tuple(column.get())));
            const Py_ssize_t size = PyTuple_GET_SIZE(columns.back().get());
            if (rows >= 0 && size != rows) {
                PyErr_Format(PyExc_ValueError, messages::ragged_columns, names_[n].get(), size, names_[0].get(), rows);
                throw PythonError{};
            }
            rows = size;
        }
        if (rows < 0) {  // no fields: the columns still say how many rows there are
            Ref all = check(PyMapping_Values(batch));
            rows = PyList_GET_SIZE(all.get()) == 0 ? 0 : PyObject_Length(PyList_GET_ITEM(all.get(), 0));
            if (rows < 0) throw PythonError{};
        }
        for (std::size_t r = 0; r < static_cast<std::size_t>(rows); ++r) {
            start_row();
            for (std::size_t n = 0; n < names_.size(); ++n) {
                take(r, n, PyTuple_GET_ITEM(columns[n].get(), static_cast<Py_ssize_t>(r)));
            }
            ++values_.rows;
        }
    }

    RowValues values() && { return std::move(values_); }

   private:
    Ref lookup(PyObject* mapping, std::size_t n, std::optional<std::size_t> row) {
        Ref value = Ref::steal(PyObject_GetItem(mapping, names_[n].get()));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_KeyError)) raise_missing_field(tokenizer_, mapping, names_[n].get(), row);
            throw PythonError{};
        }
        return value;
    }

    void start_row() { values_.answers.resize(values_.answers.size() + cache_.plan.slots, 0); }

    // Each value as the prompt writes it: a field's text, a causal target
    // slot's answer written as its option, or the index of a masked answer.
    void take(std::size_t row, std::size_t n, PyObject* value) {
        const PromptPlan& plan = cache_.plan;
        if (value == Py_None) {
            PyErr_Format(PyExc_TypeError, messages::none_in_row, row, names_[n].get());
            throw PythonError{};
        }
        if (n >= plan.fields.size()) {
            const std::size_t s = slot_of_name_[n - plan.fields.size()];
            values_.answers[row * plan.slots + s] = answer_index(value, cache_.slot_options[s], slot_name(plan, s), row);
        } else if (!plan.answers[n].empty()) {
            values_.texts.push_back(new_str(plan.answers[n][answer_index(value, plan.answers[n], plan.fields[n], row)]));
        } else {
            values_.texts.push_back(check(PyObject_Str(value)));
        }
    }

    const EncodingCache& cache_;
    const TokenizerView& tokenizer_;
    std::vector<Ref> names_;                  // the fields' names, then the target slots' answered at a mask
    std::vector<std::size_t> slot_of_name_;   // per name past the fields, its slot part
    RowValues values_;
};

}  // namespace

// Reads rows: one mapping, a sequence of mappings, or a mapping of columns.
// What is read is held (a sequence is copied into a tuple of its own) while
// the values' __str__ runs, which may change the caller's containers.
RowValues row_values(const EncodingCache& cache, const TokenizerView& tokenizer, PyObject* rows, bool batch) {
    RowReader reader(cache, tokenizer);
    if (!batch) {
        reader.row(rows, 0);
    } else if (is_mapping(rows)) {
        reader.columns(rows);
    } else {
        reader.sequence(rows);
    }
    return std::move(reader).values();
}

// Each row's whole prompt, written from its values.
void write_prompts(const PromptPlan& plan, const RowValues& values, Prompts& prompts) {
    std::vector<Utf8Text> texts;
    texts.reserve(values.texts.size());
    for (const Ref& value : values.texts) texts.emplace_back(value.get());
    std::vector<std::string_view> fields(plan.fields.size());
    for (std::size_t r = 0; r < values.rows; ++r) {
        for (std::size_t f = 0; f < plan.fields.size(); ++f) fields[f] = texts[r * plan.fields.size() + f].view();
        prompts.add(fields);
    }
}

namespace {

// What each of `spellings` reads as, as text (special tokens in it read as
// text): through the backend's own parts where it has them, else through a
// text-only copy. Where that reading still spells a protected token (the
// vocabulary holds the spelling as a piece), each character is read on its
// own, and a character that spells a protected token by itself is left out.
std::vector<std::vector<TokenId>> read_as_text(const EncodingCache& cache, const TokenizerView& tokenizer,
                                               std::span<const std::string_view> spellings) {
    std::shared_ptr<const ModelPipeline> pipeline = backend_pipeline(cache);
    std::shared_ptr<const Encoder> encoder;
    if (!*pipeline || holds_added(*pipeline, spellings, cache.ordinary_added)) {
        encoder = text_only_encoder(cache, tokenizer);
    }
    auto encode = [&](std::span<const std::string_view> texts) {
        return encoder ? encode_texts(*encoder, texts, false, true) : pipeline_texts(*pipeline, texts);
    };
    const TokenBatch read = encode(spellings);
    std::vector<std::vector<TokenId>> replaced(spellings.size());
    std::vector<std::string_view> characters;
    std::vector<std::size_t> owner;  // per character, its spelling
    for (std::size_t s = 0; s < spellings.size(); ++s) {
        if (!unspelled_ids(spellings[s], read.ids_of(s), read.offsets_of(s), cache.protected_ids, replaced[s])) {
            replaced[s].clear();
            const std::size_t count = character_count(spellings[s]);
            for (std::size_t c = 0; c < count; ++c) {
                characters.push_back(character_slice(spellings[s], {c, c + 1}));
                owner.push_back(s);
            }
        }
    }
    if (!characters.empty()) {
        const TokenBatch one_by_one = encode(characters);
        for (std::size_t c = 0; c < characters.size(); ++c) {
            unspelled_ids(characters[c], one_by_one.ids_of(c), one_by_one.offsets_of(c), cache.protected_ids,
                          replaced[owner[c]]);
        }
    }
    return replaced;
}

}  // namespace

// Replaces, in each row of `owned`, the protected tokens its fields' text
// spelled by what each spelling reads as, as text: a spelling read before
// (for any row of this cache) is not read again.
void replace_protected_spellings(const EncodingCache& cache, const TokenizerView& tokenizer,
                                 std::span<const std::string_view> texts, std::vector<OwnedTokens>& owned) {
    // 1. Every spelling, row after row; those not read before, each once.
    std::vector<std::vector<TokenId>> replaced;
    std::vector<std::string_view> unread;
    std::vector<std::pair<std::size_t, std::size_t>> waiting;  // a spelling not read before, and its entry of `unread`
    std::unique_lock guard(cache.beside.lock);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        for (const InjectedToken& token : owned[i].injected) {
            const std::string_view spelling = character_slice(texts[i], token.span);
            if (const std::vector<TokenId>* known = cache.beside.spellings_read.find(spelling)) {
                replaced.push_back(*known);
                continue;
            }
            const auto at = std::ranges::find(unread, spelling);
            waiting.emplace_back(replaced.size(), static_cast<std::size_t>(at - unread.begin()));
            if (at == unread.end()) unread.push_back(spelling);
            replaced.emplace_back();
        }
    }
    guard.unlock();
    // 2. The new ones read, and kept for the rows to come.
    if (!unread.empty()) {
        std::vector<std::vector<TokenId>> read = read_as_text(cache, tokenizer, unread);
        for (const auto& [spelling, entry] : waiting) replaced[spelling] = read[entry];
        guard.lock();
        for (std::size_t u = 0; u < unread.size(); ++u) cache.beside.spellings_read.remember(unread[u], std::move(read[u]));
        guard.unlock();
    }
    // 3. Into the rows.
    std::size_t next = 0;
    for (OwnedTokens& tokens : owned) {
        const std::size_t count = tokens.injected.size();
        replace_injected(tokens, std::span<const std::vector<TokenId>>(replaced).subspan(next, count));
        next += count;
    }
}

void raise_missing_column(PyObject* batch, const char* name) {
    PyErr_Clear();
    Ref column = check(PyUnicode_FromString(name));
    PyErr_SetObject(PyExc_KeyError, missing_message(batch, column.get(), std::nullopt).get());
    throw PythonError{};
}

void raise_ragged_column(const char* name, Py_ssize_t size, const char* first, Py_ssize_t rows) {
    Ref column = check(PyUnicode_FromString(name));
    Ref other = check(PyUnicode_FromString(first));
    PyErr_Format(PyExc_ValueError, messages::ragged_columns, column.get(), size, other.get(), rows);
    throw PythonError{};
}

}  // namespace korvanta
