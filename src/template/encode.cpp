// encode(), encode_batch() and label_ids(): the only operations that call the
// template's tokenizer. The tokenizer is found by what it offers (a
// tokenizers.Tokenizer, or a transformers fast tokenizer's backend), never by
// importing either. Its calls run Python code and may let other threads run,
// so each call holds the content and the cache it works from.
#include "template/encode.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "fragment/markup_check.hpp"
#include "template/assembly.hpp"

namespace korvanta {

// What encode() works out once for a template's content, its tokenizer and
// the options that shape the template's side.
struct EncodingKey {
    std::vector<std::string> extra_slots;   // controls named by slots=, UTF-8
    std::optional<std::string> mask_token;  // the token written at slots; none: causal (input ends at the first slot)
    bool special_tokens = true;             // the tokenizer's own special tokens around the row

    bool operator==(const EncodingKey&) const = default;
};

struct EncodingCache {
    SharedContent content;                 // the content it was worked out for
    EncodingKey key;                       // the options it was worked out for
    EncodingPlan plan;                     // the template's own ids in runs around the field pieces
    Ref field_batch_encoder;               // encode_batch of a private copy of the tokenizer that reads special tokens as text
    std::vector<Ref> field_names;          // the fields the pieces come from (str), in template order, each once
    std::vector<std::size_t> piece_field;  // per piece, its field's index in field_names
    std::vector<Ref> piece_prefix;         // per piece, the whitespace carried from the run before it (str), or null
    mutable std::vector<Ref> id_objects;   // the int of each id handed out so far, by id; filled by code that runs no Python

    // The int object of `id`, made once: results hold the same few thousand ints many times.
    PyObject* id_object(TokenId id) const {
        if (id >= id_objects.size()) id_objects.resize(static_cast<std::size_t>(id) + 1);
        Ref& object = id_objects[id];
        if (!object) object = check(PyLong_FromUnsignedLong(id));
        return object.get();
    }
};

const char encode_doc[] =
    "encode($self, row, /, **options)\n--\n\n"
    "Encode one row (a mapping from field names to values) with the template's tokenizer.\n"
    "\n"
    "Returns a dict of lists: input_ids, attention_mask and mask_positions (the index of each\n"
    "slot's token in input_ids). Options: max_length, shorten, side, slots, mask_token,\n"
    "add_special_tokens, padding, pad_token, return_tensors (see encode_batch).";

const char encode_batch_doc[] =
    "encode_batch($self, rows, /, **options)\n--\n\n"
    "Encode a batch: a sequence of row mappings, or columns (a mapping from field names to\n"
    "equal-length sequences). Returns a dict of lists with one entry per row.\n"
    "\n"
    "A control with options is a slot, written as the mask token; one without is a field, filled\n"
    "with str(row[name]) and tokenized so that no special token comes from row text.\n"
    "max_length counts every token; a row that overflows is cut only in its fields (shorten=names,\n"
    "default all), longest first, from the end (side='left': from the start). slots=names marks\n"
    "more controls as slots; mask_token= overrides the tokenizer's (None: the input ends at the\n"
    "first slot, for causal models); add_special_tokens=True adds the tokenizer's own;\n"
    "padding='longest' or N pads with pad_token; return_tensors='np' gives numpy arrays.";

const char label_ids_doc[] =
    "label_ids($self, /, **options)\n--\n\n"
    "The token ids of each slot's label words (its options), slot by slot, as each word\n"
    "tokenizes at its slot, after the slot's preceding whitespace. Options: slots=names,\n"
    "single_token=True (a word of several tokens is then an error).";

namespace {

// ---------------------------------------------------------------- small helpers

// An attribute, or null when the object has none.
Ref attribute_or_null(PyObject* object, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(object, name));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
    }
    return value;
}

Ref type_qualname(PyObject* object) {
    return check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
}

bool truth(PyObject* object) {
    int value = PyObject_IsTrue(object);
    check_status(value);
    return value == 1;
}

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// How many characters UTF-8 text holds.
std::size_t characters(std::string_view text) noexcept {
    std::size_t count = 0;
    for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

// The ASCII whitespace that ends `text`, cut off and returned.
std::string cut_trailing_space(std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && is_space(text[end - 1])) --end;
    std::string space = text.substr(end);
    text.resize(end);
    return space;
}

// method(argument, add_special_tokens=special) of the backend (or a bound method).
Ref call_encoder(PyObject* callable, PyObject* argument, bool special) {
    Ref arguments = check(PyTuple_Pack(1, argument));
    Ref keywords = check(PyDict_New());
    check_status(PyDict_SetItemString(keywords.get(), "add_special_tokens", special ? Py_True : Py_False));
    return check(PyObject_Call(callable, arguments.get(), keywords.get()));
}

// "ids", made on first need; a cache that fails to fill stays empty and is tried again.
PyObject* ids_name() {
    static PyObject* name = nullptr;
    if (name == nullptr) name = check(PyUnicode_InternFromString("ids")).release();
    return name;
}

// The ids of an Encoding (or any object whose `ids` is a sequence of ints), appended.
void append_ids(PyObject* encoding, std::vector<TokenId>& ids) {
    Ref list = check(PyObject_GetAttr(encoding, ids_name()));
    Ref items = check(PySequence_Fast(list.get(), "ids must be a sequence"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    PyObject** item = PySequence_Fast_ITEMS(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        unsigned long id = PyLong_AsUnsignedLong(item[i]);
        if (id == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PythonError{};
        ids.push_back(static_cast<TokenId>(id));
    }
}

// ---------------------------------------------------------------- the tokenizer

// The template's tokenizer as encoding uses it.
struct Tokenizer {
    Ref object;      // the template's tokenizer, held for the call
    Ref backend;     // what does the work: the object itself, or its backend_tokenizer
    Ref mask_token;  // the mask token it names (str), or null
    Ref pad_token;   // the pad token it names (str), or null
};

Tokenizer tokenizer_of(TemplateObject& self) {
    Tokenizer tokenizer;
    tokenizer.object = Ref::borrow(self.record.tokenizer ? self.record.tokenizer.get() : Py_None);
    tokenizer.backend = attribute_or_null(tokenizer.object.get(), "backend_tokenizer");
    if (!tokenizer.backend) tokenizer.backend = Ref::borrow(tokenizer.object.get());
    for (const char* needed : {"encode", "encode_batch", "token_to_id", "to_str"}) {
        if (!attribute_or_null(tokenizer.backend.get(), needed)) {
            PyErr_Format(PyExc_TypeError, messages::not_a_tokenizer, type_qualname(tokenizer.backend.get()).get(),
                         needed);
            throw PythonError{};
        }
    }
    Ref mask = attribute_or_null(tokenizer.object.get(), "mask_token");
    if (mask && PyUnicode_Check(mask.get())) tokenizer.mask_token = std::move(mask);
    Ref pad = attribute_or_null(tokenizer.object.get(), "pad_token");
    if (pad && PyUnicode_Check(pad.get())) {
        tokenizer.pad_token = std::move(pad);
    } else if (Ref padding = attribute_or_null(tokenizer.backend.get(), "padding"); padding && PyDict_Check(padding.get())) {
        PyObject* token = PyDict_GetItemString(padding.get(), "pad_token");
        if (token != nullptr && PyUnicode_Check(token)) tokenizer.pad_token = Ref::borrow(token);
    }
    return tokenizer;
}

// The id of `token` (a str), or a ValueError that names what it is for.
TokenId token_id(const Tokenizer& tokenizer, PyObject* token, const char* what) {
    Ref id = check(PyObject_CallMethod(tokenizer.backend.get(), "token_to_id", "O", token));
    if (id.get() == Py_None) {
        PyErr_Format(PyExc_ValueError, messages::unknown_token, what, token);
        throw PythonError{};
    }
    unsigned long value = PyLong_AsUnsignedLong(id.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PythonError{};
    return static_cast<TokenId>(value);
}

// ---------------------------------------------------------------- options

struct Names {
    std::vector<std::string> utf8;  // the names, UTF-8

    bool contains(std::string_view name) const {
        return std::find(utf8.begin(), utf8.end(), name) != utf8.end();
    }
};

// An iterable of str (a str itself is one name).
Names names_of(PyObject* value) {
    Names names;
    if (value == nullptr || value == Py_None) return names;
    if (PyUnicode_Check(value)) {
        names.utf8.emplace_back(text_of(value).view());
        return names;
    }
    Ref iterator = check(PyObject_GetIter(value));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) names.utf8.emplace_back(text_of(item.get()).view());
    if (PyErr_Occurred()) throw PythonError{};
    return names;
}

bool is_slot(const PromptFragment& fragment, const Names& extra_slots) {
    return !fragment.is_text() && (fragment.options.size() > 0 || extra_slots.contains(fragment.string));
}

std::optional<std::size_t> max_length_of(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        Py_ssize_t length = PyLong_AsSsize_t(value);
        if (length > 0) return static_cast<std::size_t>(length);
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ValueError, messages::bad_max_length, value);
    throw PythonError{};
}

CutSide side_of(PyObject* value) {
    if (value == nullptr) return CutSide::end;
    if (PyUnicode_Check(value)) {
        if (PyUnicode_CompareWithASCIIString(value, "right") == 0) return CutSide::end;
        if (PyUnicode_CompareWithASCIIString(value, "left") == 0) return CutSide::start;
    }
    PyErr_Format(PyExc_ValueError, messages::bad_side, value);
    throw PythonError{};
}

Padding padding_of(PyObject* value) {
    if (value == nullptr || value == Py_None || value == Py_False) return {};
    if (value == Py_True) return {Padding::longest, 0};
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "longest") == 0) return {Padding::longest, 0};
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        Py_ssize_t width = PyLong_AsSsize_t(value);
        if (width >= 0) return {Padding::width, static_cast<std::size_t>(width)};
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ValueError, messages::bad_padding, value);
    throw PythonError{};
}

bool numpy_wanted(PyObject* value) {
    if (value == nullptr || value == Py_None) return false;
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "np") == 0) return true;
    PyErr_Format(PyExc_ValueError, messages::bad_return_tensors, value);
    throw PythonError{};
}

// ---------------------------------------------------------------- the template's side

// Tokenizes one run of template text (with slots written as the mask token)
// and finds each slot's token by where it stands in the text.
void add_run(EncodingCache& cache, const Tokenizer& tokenizer, const std::string& run,
             const std::vector<std::pair<std::size_t, std::size_t>>& spans, std::optional<TokenId> mask_id,
             bool slot_at_end) {
    std::vector<TokenId> ids;
    std::vector<std::size_t> slots;
    if (!run.empty()) {
        Ref text = new_str(run);
        Ref encode = check(PyObject_GetAttrString(tokenizer.backend.get(), "encode"));
        Ref encoding = call_encoder(encode.get(), text.get(), false);
        append_ids(encoding.get(), ids);
        if (!spans.empty()) {
            Ref offsets = check(PyObject_GetAttrString(encoding.get(), "offsets"));
            Ref pairs = check(PySequence_Fast(offsets.get(), "offsets must be a sequence"));
            for (auto [begin, end] : spans) {
                std::optional<std::size_t> found;
                for (std::size_t k = 0; k < ids.size() && !found; ++k) {
                    std::size_t from = 0, to = 0;
                    if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(pairs.get(), static_cast<Py_ssize_t>(k)), "nn",
                                          &from, &to)) {
                        throw PythonError{};
                    }
                    if (ids[k] == *mask_id && from < end && to > begin) found = k;
                }
                if (!found) {
                    Ref mask = new_str(*cache.key.mask_token);
                    PyErr_Format(PyExc_ValueError, messages::mask_not_one_token, mask.get());
                    throw PythonError{};
                }
                slots.push_back(*found);
            }
        }
    }
    if (slot_at_end) slots.push_back(ids.size());
    cache.plan.runs.push_back(std::move(ids));
    cache.plan.slots.push_back(std::move(slots));
}

// The tokenizer's own special tokens around a single sequence: those before
// and those after the content of a probe.
std::pair<std::vector<TokenId>, std::vector<TokenId>> special_tokens(const Tokenizer& tokenizer) {
    Ref probe = check(PyUnicode_FromString("a"));
    Ref encoding = check(PyObject_CallMethod(tokenizer.backend.get(), "encode", "O", probe.get()));
    std::vector<TokenId> ids;
    append_ids(encoding.get(), ids);
    Ref mask = check(PyObject_GetAttrString(encoding.get(), "special_tokens_mask"));
    Ref flags = check(PySequence_Fast(mask.get(), "special_tokens_mask must be a sequence"));
    std::size_t first = ids.size(), last = ids.size();
    for (std::size_t k = 0; k < ids.size(); ++k) {
        if (truth(PySequence_Fast_GET_ITEM(flags.get(), static_cast<Py_ssize_t>(k)))) continue;
        if (first == ids.size()) first = k;
        last = k + 1;
    }
    if (first == ids.size()) return {ids, {}};
    return {std::vector<TokenId>(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(first)),
            std::vector<TokenId>(ids.begin() + static_cast<std::ptrdiff_t>(last), ids.end())};
}

// A copy of the backend that reads special tokens in text as plain text, for
// the rows' field texts: no row can make a mask, separator or pad token.
Ref field_batch_encoder(const Tokenizer& tokenizer) {
    Ref kind = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(tokenizer.backend.get())));
    Ref serialized = check(PyObject_CallMethod(tokenizer.backend.get(), "to_str", nullptr));
    Ref copy = check(PyObject_CallMethod(kind.get(), "from_str", "O", serialized.get()));
    check_status(PyObject_SetAttrString(copy.get(), "encode_special_tokens", Py_True));
    if (Ref fast = attribute_or_null(copy.get(), "encode_batch_fast")) return fast;
    return check(PyObject_GetAttrString(copy.get(), "encode_batch"));
}

std::shared_ptr<const EncodingCache> build_cache(SharedContent content, EncodingKey key, const Tokenizer& tokenizer) {
    auto cache = std::make_shared<EncodingCache>();
    cache->content = content;
    cache->key = std::move(key);
    const Names extra{cache->key.extra_slots};
    const bool causal = !cache->key.mask_token;
    std::optional<TokenId> mask_id;
    std::size_t mask_characters = 0;
    if (!causal) {
        Ref mask = new_str(*cache->key.mask_token);
        if (std::any_of(content->fragments.begin(), content->fragments.end(),
                        [&](const PromptFragment& f) { return is_slot(f, extra); })) {
            mask_id = token_id(tokenizer, mask.get(), "mask_token");
        }
        mask_characters = characters(*cache->key.mask_token);
    }

    // 1. Runs of template text and slots, cut at each field; whitespace that
    //    ends a run goes to the field after it, as the tokenizer sees it there.
    std::string run;
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    bool stopped = false;
    for (const PromptFragment& fragment : content->fragments) {
        if (fragment.is_text()) {
            run += fragment.string;
        } else if (is_slot(fragment, extra)) {
            if (causal) {  // the input ends here; the space before the slot belongs to the label word
                cut_trailing_space(run);
                add_run(*cache, tokenizer, run, spans, mask_id, true);
                stopped = true;
                break;
            }
            const std::size_t at = characters(run);
            spans.emplace_back(at, at + mask_characters);
            run += *cache->key.mask_token;
        } else {
            std::string space = cut_trailing_space(run);
            add_run(*cache, tokenizer, run, spans, mask_id, false);
            run.clear();
            spans.clear();
            cache->piece_prefix.push_back(space.empty() ? Ref() : new_str(space));
            Ref name = new_str(fragment.string);
            std::size_t index = 0;
            while (index < cache->field_names.size() &&
                   PyUnicode_Compare(cache->field_names[index].get(), name.get()) != 0) {
                ++index;
            }
            if (index == cache->field_names.size()) cache->field_names.push_back(std::move(name));
            cache->piece_field.push_back(index);
        }
    }
    if (!stopped) add_run(*cache, tokenizer, run, spans, mask_id, false);

    // 2. The tokenizer's own special tokens around it all; a causal input
    //    ends at its slot, so only those before it.
    if (cache->key.special_tokens) {
        auto [before, after] = special_tokens(tokenizer);
        std::vector<TokenId>& first = cache->plan.runs.front();
        first.insert(first.begin(), before.begin(), before.end());
        for (std::size_t& offset : cache->plan.slots.front()) offset += before.size();
        if (!causal) cache->plan.runs.back().insert(cache->plan.runs.back().end(), after.begin(), after.end());
    }
    cache->field_batch_encoder = field_batch_encoder(tokenizer);
    return cache;
}

// The cache for the template as it is, made when missing and published whole,
// unless the template changed while it was made (its tokenizer runs Python code).
std::shared_ptr<const EncodingCache> encoding_cache(TemplateObject& self, const Tokenizer& tokenizer, EncodingKey key) {
    SharedContent content = self.record.content;
    std::shared_ptr<const EncodingCache> cache = self.record.encoding;
    if (cache && cache->content == content && cache->key == key) return cache;
    cache = build_cache(content, std::move(key), tokenizer);
    if (self.record.content == content && self.record.tokenizer.get() == tokenizer.object.get()) {
        self.record.encoding = cache;
    }
    return cache;
}

// The cache key of a call, and whether the template has slots at all.
EncodingKey key_of(const TemplateContent& content, const Tokenizer& tokenizer, const Options& options) {
    EncodingKey key;
    key.extra_slots = names_of(options[encode_option::slots].get()).utf8;
    if (PyObject* special = options[encode_option::add_special_tokens].get()) key.special_tokens = truth(special);
    const Names extra{key.extra_slots};
    const bool has_slots = std::any_of(content.fragments.begin(), content.fragments.end(),
                                       [&](const PromptFragment& f) { return is_slot(f, extra); });
    PyObject* mask = options[encode_option::mask_token].get();
    if (mask == nullptr) mask = tokenizer.mask_token.get();
    if (mask == nullptr) {
        if (has_slots) raise(PyExc_ValueError, messages::needs_mask_token);
        key.mask_token = std::string();
    } else if (mask != Py_None) {
        key.mask_token = std::string(text_of(mask).view());
    }
    return key;
}

// A template whose markup was cut short is refused with validate()'s MarkupError.
void check_read_whole(const TemplateContent& content) {
    if (!content.unread_markup) return;
    Arguments arguments{};
    arguments[0] = Ref::borrow(content.unread_markup.get());
    validate(arguments);
}

// ---------------------------------------------------------------- the rows' side

// The KeyError of a row without one of the template's fields.
[[noreturn]] void raise_missing_field(const Tokenizer& tokenizer, PyObject* name, std::size_t row) {
    PyErr_Clear();
    Ref special = check(PyUnicode_FromFormat("[%U]", name));
    Ref id = check(PyObject_CallMethod(tokenizer.backend.get(), "token_to_id", "O", special.get()));
    Ref message;
    if (id.get() != Py_None) {
        Ref escaped = check(PyUnicode_FromFormat("\\[%U\\]", name));
        message = check(PyUnicode_FromFormat(messages::missing_field_special, name, row, name, special.get(), escaped.get()));
    } else {
        message = check(PyUnicode_FromFormat(messages::missing_field, name, row, name));
    }
    PyErr_SetObject(PyExc_KeyError, message.get());
    throw PythonError{};
}

// str() of every field of every row, row after row: rows is one mapping, a
// sequence of mappings, or a mapping of columns.
std::vector<Ref> field_values(const EncodingCache& cache, const Tokenizer& tokenizer, PyObject* rows, bool batch,
                              std::size_t& count) {
    const std::vector<Ref>& names = cache.field_names;
    std::vector<Ref> values;
    auto lookup = [&](PyObject* mapping, PyObject* name, std::size_t row) {
        Ref value = Ref::steal(PyObject_GetItem(mapping, name));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_KeyError)) raise_missing_field(tokenizer, name, row);
            throw PythonError{};
        }
        return value;
    };
    if (!batch) {
        count = 1;
        for (const Ref& name : names) values.push_back(check(PyObject_Str(lookup(rows, name.get(), 0).get())));
        return values;
    }
    if (PyDict_Check(rows) || attribute_or_null(rows, "keys")) {
        // Columns: every one as long as the first.
        std::vector<Ref> columns;
        Py_ssize_t rows_count = -1;
        Ref first_name;
        for (const Ref& name : names) {
            Ref column = check(PySequence_Fast(lookup(rows, name.get(), 0).get(), "a column must be a sequence"));
            const Py_ssize_t size = PySequence_Fast_GET_SIZE(column.get());
            if (rows_count >= 0 && size != rows_count) {
                PyErr_Format(PyExc_ValueError, messages::ragged_columns, name.get(), size, first_name.get(), rows_count);
                throw PythonError{};
            }
            if (rows_count < 0) first_name = Ref::borrow(name.get());
            rows_count = size;
            columns.push_back(std::move(column));
        }
        if (rows_count < 0) {  // no fields: the columns still say how many rows there are
            Ref all = check(PyMapping_Values(rows));
            rows_count = PyList_GET_SIZE(all.get()) == 0 ? 0 : PyObject_Length(PyList_GET_ITEM(all.get(), 0));
            if (rows_count < 0) throw PythonError{};
        }
        count = static_cast<std::size_t>(rows_count);
        values.resize(count * names.size());
        for (std::size_t f = 0; f < names.size(); ++f) {
            for (std::size_t r = 0; r < count; ++r) {
                PyObject* item = PySequence_Fast_GET_ITEM(columns[f].get(), static_cast<Py_ssize_t>(r));
                values[r * names.size() + f] = check(PyObject_Str(item));
            }
        }
        return values;
    }
    Ref sequence = check(PySequence_Fast(rows, "rows must be a sequence of mappings or a mapping of columns"));
    count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence.get()));
    for (std::size_t r = 0; r < count; ++r) {
        Ref row = Ref::borrow(PySequence_Fast_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(r)));
        for (const Ref& name : names) values.push_back(check(PyObject_Str(lookup(row.get(), name.get(), r).get())));
    }
    return values;
}

// The field pieces of every row tokenized in one batch: their ids one after
// another, and where each piece ends.
void tokenize_pieces(const EncodingCache& cache, const std::vector<Ref>& values, std::size_t rows,
                     std::vector<TokenId>& ids, std::vector<std::size_t>& ends) {
    const std::size_t pieces = cache.plan.pieces(), fields = cache.field_names.size();
    if (pieces == 0 || rows == 0) return;
    Ref texts = check(PyList_New(static_cast<Py_ssize_t>(rows * pieces)));
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t p = 0; p < pieces; ++p) {
            PyObject* value = values[r * fields + cache.piece_field[p]].get();
            const Ref& prefix = cache.piece_prefix[p];
            Ref text = prefix ? check(PyUnicode_Concat(prefix.get(), value)) : Ref::borrow(value);
            PyList_SET_ITEM(texts.get(), static_cast<Py_ssize_t>(r * pieces + p), text.release());
        }
    }
    Ref encodings = call_encoder(cache.field_batch_encoder.get(), texts.get(), false);
    Ref items = check(PySequence_Fast(encodings.get(), "encode_batch must return a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        append_ids(PySequence_Fast_GET_ITEM(items.get(), i), ids);
        ends.push_back(ids.size());
    }
}

// ---------------------------------------------------------------- results

Ref new_int(std::size_t value) { return check(PyLong_FromSize_t(value)); }

// A list of `width` ints (at least as many as `values`): the values, then `pad`.
template <class Values, class IntOf>
Ref new_int_list(const Values& values, std::size_t width, std::size_t pad, IntOf&& int_of) {
    const std::size_t size = std::max<std::size_t>(width, values.size());
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(size)));
    for (std::size_t i = 0; i < size; ++i) {
        PyObject* item = int_of(i < values.size() ? static_cast<std::size_t>(values[i]) : pad);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Ref::borrow(item).release());
    }
    return list;
}

// A new int64 numpy array of `shape`, filled by `fill(std::int64_t* data)`.
template <class Fill>
Ref new_array(PyObject* numpy, std::initializer_list<std::size_t> shape, Fill&& fill) {
    Ref dims = check(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    Py_ssize_t i = 0;
    for (std::size_t extent : shape) PyTuple_SET_ITEM(dims.get(), i++, new_int(extent).release());
    Ref array = check(PyObject_CallMethod(numpy, "zeros", "Os", dims.get(), "int64"));
    Py_buffer view;
    check_status(PyObject_GetBuffer(array.get(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE));
    fill(static_cast<std::int64_t*>(view.buf));
    PyBuffer_Release(&view);
    return array;
}

Ref encoded_result(const EncodingCache& cache, const EncodedRows& rows, bool batch, Padding padding,
                   std::optional<TokenId> pad, bool numpy_arrays, std::size_t slots) {
    const std::size_t width = padded_width(rows, padding);
    const TokenId pad_id = pad.value_or(0);
    Ref ids, attention, positions;
    if (numpy_arrays) {
        const std::size_t columns = width != 0 ? width : rows.longest();
        for (std::size_t r = 0; width == 0 && r < rows.size(); ++r) {
            if (rows.ids(r).size() != columns) raise(PyExc_ValueError, messages::ragged_arrays);
        }
        Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
        if (!numpy) {
            if (PyErr_ExceptionMatches(PyExc_ImportError)) raise(PyExc_ImportError, messages::needs_numpy);
            throw PythonError{};
        }
        auto fill_rows = [&](auto&& value_at, std::size_t inner) {
            return [&, inner](std::int64_t* data) {
                for (std::size_t r = 0; r < rows.size(); ++r) {
                    for (std::size_t c = 0; c < inner; ++c) data[r * inner + c] = value_at(r, c);
                }
            };
        };
        auto id_at = [&](std::size_t r, std::size_t c) -> std::int64_t {
            auto row = rows.ids(r);
            return c < row.size() ? row[c] : pad_id;
        };
        auto attention_at = [&](std::size_t r, std::size_t c) -> std::int64_t { return c < rows.ids(r).size(); };
        auto position_at = [&](std::size_t r, std::size_t c) -> std::int64_t {
            return static_cast<std::int64_t>(rows.slot_positions(r)[c]);
        };
        if (batch) {
            ids = new_array(numpy.get(), {rows.size(), columns}, fill_rows(id_at, columns));
            attention = new_array(numpy.get(), {rows.size(), columns}, fill_rows(attention_at, columns));
            positions = new_array(numpy.get(), {rows.size(), slots}, fill_rows(position_at, slots));
        } else {
            ids = new_array(numpy.get(), {columns}, fill_rows(id_at, columns));
            attention = new_array(numpy.get(), {columns}, fill_rows(attention_at, columns));
            positions = new_array(numpy.get(), {slots}, fill_rows(position_at, slots));
        }
    } else {
        Ref zero = new_int(0), one = new_int(1);
        auto id_int = [&](std::size_t id) { return cache.id_object(static_cast<TokenId>(id)); };
        auto flag_int = [&](std::size_t flag) { return flag ? one.get() : zero.get(); };
        std::vector<Ref> position_ints;
        auto position_int = [&](std::size_t position) {
            while (position_ints.size() <= position) position_ints.push_back(new_int(position_ints.size()));
            return position_ints[position].get();
        };
        ids = check(PyList_New(0));
        attention = check(PyList_New(0));
        positions = check(PyList_New(0));
        std::vector<std::size_t> ones;
        for (std::size_t r = 0; r < rows.size(); ++r) {
            auto row = rows.ids(r);
            Ref row_ids = new_int_list(row, width, pad_id, id_int);
            ones.assign(row.size(), 1);
            Ref row_attention = new_int_list(ones, width, 0, flag_int);
            Ref row_positions = new_int_list(rows.slot_positions(r), 0, 0, position_int);
            if (!batch) {
                ids = std::move(row_ids);
                attention = std::move(row_attention);
                positions = std::move(row_positions);
                break;
            }
            check_status(PyList_Append(ids.get(), row_ids.get()));
            check_status(PyList_Append(attention.get(), row_attention.get()));
            check_status(PyList_Append(positions.get(), row_positions.get()));
        }
    }
    Ref result = check(PyDict_New());
    check_status(PyDict_SetItemString(result.get(), "input_ids", ids.get()));
    check_status(PyDict_SetItemString(result.get(), "attention_mask", attention.get()));
    check_status(PyDict_SetItemString(result.get(), "mask_positions", positions.get()));
    return result;
}

// encode() and encode_batch():
// 1. check the template and the options, and find the cache of its side;
// 2. str() every field of every row and tokenize the field pieces in one batch;
// 3. cut each row's pieces to fit and lay the rows out;
// 4. pad and convert.
Ref encode_rows(TemplateObject& self, PyObject* rows_object, bool batch, const Options& options) {
    SharedContent content = self.record.content;
    check_read_whole(*content);
    Tokenizer tokenizer = tokenizer_of(self);
    const std::optional<std::size_t> max_length = max_length_of(options[encode_option::max_length].get());
    const CutSide side = side_of(options[encode_option::side].get());
    const Padding padding = padding_of(options[encode_option::padding].get());
    const bool numpy_arrays = numpy_wanted(options[encode_option::return_tensors].get());
    std::optional<TokenId> pad;
    if (padding.kind != Padding::none) {
        PyObject* pad_token = options[encode_option::pad_token].get();
        if (pad_token == nullptr || pad_token == Py_None) pad_token = tokenizer.pad_token.get();
        if (pad_token == nullptr) raise(PyExc_ValueError, messages::needs_pad_token);
        pad = token_id(tokenizer, pad_token, "pad_token");
    }
    std::shared_ptr<const EncodingCache> cache = encoding_cache(self, tokenizer, key_of(*content, tokenizer, options));
    const EncodingPlan& plan = cache->plan;
    if (max_length && plan.fixed_size() > *max_length) {
        PyErr_Format(PyExc_ValueError, messages::template_too_long, plan.fixed_size(), *max_length);
        throw PythonError{};
    }

    // Which pieces may be cut: a plain array, which a span of bool can view.
    std::unique_ptr<bool[]> shortenable(new bool[plan.pieces() + 1]);
    std::fill_n(shortenable.get(), plan.pieces(), true);
    if (PyObject* shorten = options[encode_option::shorten].get(); shorten != nullptr && shorten != Py_None) {
        Names names = names_of(shorten);
        for (std::size_t p = 0; p < plan.pieces(); ++p) {
            shortenable[p] = names.contains(text_of(cache->field_names[cache->piece_field[p]].get()).view());
        }
    }

    std::size_t row_count = 0;
    std::vector<Ref> values = field_values(*cache, tokenizer, rows_object, batch, row_count);
    std::vector<TokenId> piece_ids;
    std::vector<std::size_t> piece_ends;
    tokenize_pieces(*cache, values, row_count, piece_ids, piece_ends);

    EncodedRows rows(plan.slot_count());
    std::vector<std::span<const TokenId>> pieces(plan.pieces());
    std::vector<std::size_t> lengths(plan.pieces()), kept(plan.pieces());
    for (std::size_t r = 0; r < row_count; ++r) {
        for (std::size_t p = 0; p < plan.pieces(); ++p) {
            const std::size_t index = r * plan.pieces() + p;
            const std::size_t begin = index == 0 ? 0 : piece_ends[index - 1];
            pieces[p] = std::span<const TokenId>(piece_ids).subspan(begin, piece_ends[index] - begin);
            lengths[p] = pieces[p].size();
        }
        if (max_length &&
            !kept_lengths(plan, lengths, std::span<const bool>(shortenable.get(), plan.pieces()), *max_length, kept)) {
            std::size_t needed = plan.fixed_size();
            for (std::size_t p = 0; p < plan.pieces(); ++p) needed += shortenable[p] ? 0 : lengths[p];
            PyErr_Format(PyExc_ValueError, messages::row_too_long, r, needed, *max_length);
            throw PythonError{};
        }
        rows.add(plan, pieces, max_length ? std::span<const std::size_t>(kept) : std::span<const std::size_t>(lengths),
                 side);
    }
    return encoded_result(*cache, rows, batch, padding, pad, numpy_arrays, plan.slot_count());
}

// Names of controls with (slots) or without (fields) options, each once, in order.
Ref control_names(const TemplateContent& content, bool slots) {
    std::vector<std::string_view> seen;
    for (const PromptFragment& fragment : content.fragments) {
        if (fragment.is_text() || (fragment.options.size() > 0) != slots) continue;
        if (std::find(seen.begin(), seen.end(), fragment.string) == seen.end()) seen.push_back(fragment.string);
    }
    Ref names = check(PyTuple_New(static_cast<Py_ssize_t>(seen.size())));
    for (std::size_t i = 0; i < seen.size(); ++i) {
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), new_str(seen[i]).release());
    }
    return names;
}

}  // namespace

Ref template_encode(TemplateObject& self, const Arguments& arguments, const Options& options) {
    return encode_rows(self, arguments[0].get(), false, options);
}

Ref template_encode_batch(TemplateObject& self, const Arguments& arguments, const Options& options) {
    return encode_rows(self, arguments[0].get(), true, options);
}

// Each slot's words tokenized after the whitespace that ends the text before
// the slot, all in one batch, without special tokens.
Ref template_label_ids(TemplateObject& self, const Arguments&, const Options& options) {
    SharedContent content = self.record.content;
    Tokenizer tokenizer = tokenizer_of(self);
    const Names extra = names_of(options[label_option::slots].get());
    const bool single = options[label_option::single_token] && truth(options[label_option::single_token].get());
    std::vector<std::size_t> words_per_slot;
    std::vector<const PromptFragment*> slot_fragments;
    Ref texts = check(PyList_New(0));
    const FragmentList& fragments = content->fragments;
    for (std::size_t i = 0; i < fragments.size(); ++i) {
        if (!is_slot(fragments[i], extra)) continue;
        std::string space;
        if (i > 0 && fragments[i - 1].is_text()) {
            std::string before = fragments[i - 1].string;
            space = cut_trailing_space(before);
        }
        for (std::string_view word : fragments[i].options) {
            check_status(PyList_Append(texts.get(), new_str(space + std::string(word)).get()));
        }
        words_per_slot.push_back(fragments[i].options.size());
        slot_fragments.push_back(&fragments[i]);
    }
    Ref encode_batch = check(PyObject_GetAttrString(tokenizer.backend.get(), "encode_batch"));
    Ref encodings = call_encoder(encode_batch.get(), texts.get(), false);
    Ref items = check(PySequence_Fast(encodings.get(), "encode_batch must return a sequence"));
    Ref result = check(PyList_New(0));
    Py_ssize_t next = 0;
    for (std::size_t s = 0; s < words_per_slot.size(); ++s) {
        Ref words = check(PyList_New(0));
        for (std::size_t w = 0; w < words_per_slot[s]; ++w) {
            PyObject* encoding = PySequence_Fast_GET_ITEM(items.get(), next++);
            Ref ids = check(PyObject_GetAttrString(encoding, "ids"));
            Ref list = check(PySequence_List(ids.get()));
            if (single && PyList_GET_SIZE(list.get()) != 1) {
                Ref tokens = check(PyObject_GetAttrString(encoding, "tokens"));
                Ref word = new_str(slot_fragments[s]->options[w]);
                Ref name = new_str(slot_fragments[s]->string);
                PyErr_Format(PyExc_ValueError, messages::label_word_pieces, word.get(), name.get(),
                             PyList_GET_SIZE(list.get()), tokens.get());
                throw PythonError{};
            }
            check_status(PyList_Append(words.get(), list.get()));
        }
        check_status(PyList_Append(result.get(), words.get()));
    }
    return result;
}

Ref template_fields(TemplateObject& self) {
    SharedContent content = self.record.content;
    return control_names(*content, false);
}

Ref template_slots(TemplateObject& self) {
    SharedContent content = self.record.content;
    return control_names(*content, true);
}

}  // namespace korvanta
