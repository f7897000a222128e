// encode(), encode_batch() and label_ids(): the only operations that call the
// template's tokenizer. Each row's whole prompt is tokenized, so every row is
// what the tokenizer itself gives for it; the core (core/assembly.hpp)
// says which tokens are the template's, the fields' and the slots', cuts
// fields to fit and lays the rows out. The tokenizer is read through one
// checked boundary (template/tokenizer.hpp). Its calls run Python code and
// may let other threads run, so each call holds the content, the tokenizer
// and the cache it works from.
#include "binding/encode.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "binding/tokenizer.hpp"
#include "core/assembly.hpp"

namespace korvanta {

// The options that shape the template's side.
struct EncodingKey {
    std::vector<std::string> extra_slots;   // controls named by slots=, UTF-8
    std::optional<std::string> mask_token;  // the token written at slots; none: causal (input ends at the first slot)
    bool special_tokens = true;             // the tokenizer's own special tokens around the row
    std::vector<std::string> targets;       // fields and slots named by targets=, UTF-8

    bool operator==(const EncodingKey&) const = default;
};

// What encode() works out once for a template's content, its tokenizer as it
// was then, and the options that shape the template's side. Made whole, then
// published in one step; never changed after, but for the two caches at its end.
struct EncodingCache {
    SharedContent content;         // the content it was made for
    EncodingKey key;               // the options it was made for
    Ref tokenizer;                 // the template's tokenizer it was made for
    Ref backend;                   // that tokenizer's backend
    std::size_t vocabulary = 0;    // the backend's vocabulary size then (tokens added since make it stale)
    bool as_is = false;            // whether the backend was called as it is
    PromptPlan plan;               // the template read as text, fields and slots
    Encoder encoder;               // tokenizes the prompts
    std::optional<TokenId> mask_id;  // the mask token's id, when the template has slots
    IdSet protected_ids;    // the ids no row text may make
    OwnSignature own;              // the template's own protected tokens, for rows read without offsets
    std::vector<std::vector<std::vector<TokenId>>> answers;  // per slot part: each option's tokens when it is a target
    std::vector<std::vector<std::string>> slot_options;      // per slot part: its options, without whitespace around
    std::vector<std::uint8_t> target_pieces;                 // per field piece: its tokens are labelled
    std::size_t trailing_special = 0;  // the special tokens after a text's content, dropped after a causal input

    // Caches beside the value, filled by code that runs no Python (the ints)
    // or published in one step once made (the text-only encoder).
    mutable std::unordered_map<std::int64_t, Ref> int_objects;  // the int of each value handed out so far
    mutable std::shared_ptr<const Encoder> text_only;     // reads special tokens in text as text, made on first need
    mutable double widest = 0;  // the most characters per token a row has had: a row too long for it is cut for sure

    // The int object of `value` (an id, a label, a position), made once:
    // results hold the same few thousand ints many times.
    PyObject* int_object(std::int64_t value) const {
        Ref& object = int_objects[value];
        if (!object) object = check(PyLong_FromLongLong(value));
        return object.get();
    }
};

int visit_encoding_cache(const EncodingCache& cache, visitproc visit, void* arg) {
    for (const Ref* held : {&cache.tokenizer, &cache.backend, &cache.encoder.backend, &cache.encoder.batch,
                            &cache.encoder.batch_ids}) {
        Py_VISIT(held->get());
    }
    if (std::shared_ptr<const Encoder> text_only = cache.text_only) {
        for (const Ref* held : {&text_only->backend, &text_only->batch, &text_only->batch_ids}) Py_VISIT(held->get());
    }
    return 0;
}

const char encode_doc[] =
    "encode($self, row, /, **options)\n--\n\n"
    "Encode one row (a mapping from field names to values) with the template's tokenizer.\n"
    "\n"
    "Returns a dict of lists: input_ids, attention_mask and mask_positions (the index of each\n"
    "slot's token in input_ids), and labels with targets=. Options: max_length, shorten, side,\n"
    "slots, mask_token, add_special_tokens, padding, pad_token, return_tensors, targets,\n"
    "overflow, padding_side (see encode_batch).";

const char encode_batch_doc[] =
    "encode_batch($self, rows, /, **options)\n--\n\n"
    "Encode a batch: a sequence of row mappings, or columns (a mapping from field names to\n"
    "equal-length sequences). Returns a dict of lists with one entry per row.\n"
    "\n"
    "Each row's whole prompt is tokenized: a control with options is a slot, written as the mask\n"
    "token; one without is a field, filled with str(row[name]); no special token comes from row\n"
    "text. max_length counts every token; a row that overflows is cut only in its fields\n"
    "(shorten=names, default all but targets), longest first, from the end (side='left': from\n"
    "the start); overflow='drop' leaves out rows that cannot fit and adds row_index.\n"
    "slots=names marks more controls as slots; mask_token= overrides the tokenizer's (None: the\n"
    "input ends at the first slot that is not a target, for causal models); targets=names adds\n"
    "labels (ids of the targets' tokens, -100 elsewhere; a target slot's answer is row[name]);\n"
    "add_special_tokens=True adds the tokenizer's own; padding='longest' or N pads with pad_token\n"
    "on padding_side; return_tensors='np' or 'pt' gives int64 arrays or tensors.";

const char label_ids_doc[] =
    "label_ids($self, /, **options)\n--\n\n"
    "The token ids of each slot's label words (its options), slot by slot, as each word\n"
    "tokenizes at its slot, after the slot's preceding whitespace. Options: slots=names,\n"
    "single_token=True (a word of several tokens is then an error).";

namespace {

// ---------------------------------------------------------------- options

Ref type_name(PyObject* object) {
    return check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
}

[[noreturn]] void raise_option_type(const char* option, const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError, messages::option_type, option, expected, type_name(value).get());
    throw PythonError{};
}

bool truth(PyObject* object) {
    int value = PyObject_IsTrue(object);
    check_status(value);
    return value == 1;
}

// A str names one; an iterable of str names each of its items.
std::vector<std::string> names_of(PyObject* value, const char* option) {
    std::vector<std::string> names;
    if (value == nullptr || value == Py_None) return names;
    if (PyUnicode_Check(value)) {
        names.emplace_back(text_of(value).view());
        return names;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
        PyErr_Clear();
        raise_option_type(option, "a str or an iterable of str", value);
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, messages::names_type, option, type_name(value).get(),
                         type_name(item.get()).get());
            throw PythonError{};
        }
        names.emplace_back(text_of(item.get()).view());
    }
    if (PyErr_Occurred()) throw PythonError{};
    return names;
}

bool contains(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// A str or None option: null when not given or None.
PyObject* token_option(PyObject* value, const char* option) {
    if (value == nullptr || value == Py_None) return nullptr;
    if (PyUnicode_Check(value)) return value;
    raise_option_type(option, "a str or None", value);
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

enum class Tensors { none, numpy, torch };

Tensors tensors_of(PyObject* value) {
    if (value == nullptr || value == Py_None) return Tensors::none;
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "np") == 0) return Tensors::numpy;
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "pt") == 0) return Tensors::torch;
    PyErr_Format(PyExc_ValueError, messages::bad_return_tensors, value);
    throw PythonError{};
}

// overflow="raise" (false) or "drop" (true).
bool drops_overflow(PyObject* value) {
    if (value == nullptr || value == Py_None) return false;
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "raise") == 0) return false;
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "drop") == 0) return true;
    PyErr_Format(PyExc_ValueError, messages::bad_overflow, value);
    throw PythonError{};
}

// padding_side: "right" (false) or "left" (true); by default the tokenizer's own side, else right.
bool pads_left(PyObject* value, const TokenizerView& tokenizer) {
    if (value == nullptr || value == Py_None) {
        value = tokenizer.padding_side.get();
        if (value == nullptr) return false;
    }
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "right") == 0) return false;
    if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "left") == 0) return true;
    PyErr_Format(PyExc_ValueError, messages::bad_padding_side, value);
    throw PythonError{};
}

// The cache key of a call.
EncodingKey key_of(const TemplateContent& content, const TokenizerView& tokenizer, const Options& options) {
    EncodingKey key;
    key.extra_slots = names_of(options[encode_option::slots].get(), "slots");
    key.targets = names_of(options[encode_option::targets].get(), "targets");
    for (const std::string& target : key.targets) {
        if (std::none_of(content.fragments.begin(), content.fragments.end(),
                         [&](const PromptFragment& f) { return !f.is_text() && f.string == target; })) {
            PyErr_Format(PyExc_ValueError, messages::not_a_target, new_str(target).get());
            throw PythonError{};
        }
    }
    if (PyObject* special = options[encode_option::add_special_tokens].get()) key.special_tokens = truth(special);
    const bool has_slots = std::any_of(content.fragments.begin(), content.fragments.end(), [&](const PromptFragment& f) {
        return !f.is_text() && (f.options.size() > 0 || contains(key.extra_slots, f.string));
    });
    PyObject* mask = options[encode_option::mask_token].get();
    if (mask == nullptr) {
        mask = tokenizer.mask_token.get();
        if (mask == nullptr) {
            if (has_slots) raise(PyExc_ValueError, messages::needs_mask_token);
            key.mask_token = std::string();
            return key;
        }
    }
    if (token_option(mask, "mask_token") != nullptr) key.mask_token = std::string(text_of(mask).view());
    return key;
}

// ---------------------------------------------------------------- the template's side

// The lone whitespace pieces of the usual pre-tokenizers (▁, Ġ, Ċ) that the vocabulary holds.
IdSet whitespace_pieces(const TokenizerView& tokenizer) {
    std::vector<TokenId> pieces;
    for (const char* piece : {"\xe2\x96\x81", "\xc4\xa0", "\xc4\x8a"}) {
        Ref text = check(PyUnicode_FromString(piece));
        if (std::optional<TokenId> id = token_id(tokenizer.backend.get(), text.get())) pieces.push_back(*id);
    }
    return IdSet(std::move(pieces));
}

// A list of str from UTF-8 texts, with each one's length in characters.
Ref new_str_list(const Prompts& prompts, std::span<const std::size_t> rows, std::vector<std::size_t>& characters) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    characters.clear();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_str(prompts.text(rows[i])).release());
        characters.push_back(prompts.characters(rows[i]));
    }
    return list;
}

// Tokenizes the prompts `rows` with offsets and attributes their tokens.
// Returns the first row whose slots do not each hold one mask token, or none.
std::optional<std::size_t> owned_tokens(const EncodingCache& cache, const Prompts& prompts,
                                        std::span<const std::size_t> rows, std::vector<OwnedTokens>& owned) {
    std::vector<std::size_t> characters;
    Ref texts = new_str_list(prompts, rows, characters);
    TokenBatch batch = encode_texts(cache.encoder, texts.get(), characters, cache.key.special_tokens, true);
    owned.resize(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::size_t row = rows[i];
        if (!attribute_tokens(prompts.text(row), batch.ids_of(i), batch.offsets_of(i), batch.special_of(i), prompts.pieces(row),
                              prompts.slots(row), cache.mask_id.value_or(max_token_id), cache.protected_ids,
                              owned[i])) {
            return row;
        }
    }
    return std::nullopt;
}

// The special tokens the tokenizer puts after a text's content.
std::size_t trailing_special(const Encoder& encoder) {
    Ref probe = check(Py_BuildValue("[s]", "a"));
    const std::size_t characters[] = {1};
    TokenBatch batch = encode_texts(encoder, probe.get(), characters, true, true);
    std::size_t count = 0;
    for (std::size_t k = batch.ids.size(); k > 0 && batch.special[k - 1] != 0; --k) ++count;
    return count == batch.ids.size() ? 0 : count;
}

// The ids no row text may make, but for the unknown token: the tokenizer
// gives it for text its vocabulary lacks, which row text may well hold. It is
// found as what a character no vocabulary holds (an unassigned code point)
// becomes; a row that spells it is still read as text.
IdSet without_unknown(const Encoder& encoder, IdSet ids) {
    Ref probe = check(Py_BuildValue("[s]", "\xcd\xb8"));  // U+0378
    const std::size_t characters[] = {1};
    const TokenBatch batch = encode_texts(encoder, probe.get(), characters, false, true);
    std::vector<TokenId> kept;
    for (TokenId id : ids.ids()) {
        bool unknown = false;
        for (std::size_t k = 0; k < batch.ids.size(); ++k) unknown |= batch.ids[k] == id && batch.special[k] == 0;
        if (!unknown) kept.push_back(id);
    }
    return IdSet(std::move(kept));
}

// Each option of each target slot tokenized as label_ids() reads it.
std::vector<std::vector<std::vector<TokenId>>> answer_tokens(const EncodingCache& cache, const TokenizerView& tokenizer) {
    std::vector<std::vector<std::vector<TokenId>>> answers(cache.plan.slots);
    const LabelContexts contexts = label_contexts(cache.content->fragments, cache.key.extra_slots);
    Ref texts = check(PyList_New(static_cast<Py_ssize_t>(contexts.contexts.size())));
    std::vector<std::size_t> characters;
    for (std::size_t i = 0; i < contexts.contexts.size(); ++i) {
        PyList_SET_ITEM(texts.get(), static_cast<Py_ssize_t>(i), new_str(contexts.contexts[i].text).release());
        characters.push_back(character_count(contexts.contexts[i].text));
    }
    const TokenBatch batch = encode_texts(cache.encoder, texts.get(), characters, false, true);
    const IdSet whitespace = whitespace_pieces(tokenizer);
    std::size_t next = 0;
    for (std::size_t s = 0; s < contexts.words_per_slot.size(); ++s) {
        for (std::size_t w = 0; w < contexts.words_per_slot[s]; ++w, ++next) {
            if (s < answers.size() && cache.plan.target_slots[s]) {
                answers[s].push_back(word_tokens(batch.ids_of(next), batch.offsets_of(next), batch.special_of(next),
                                                 contexts.contexts[next].word, whitespace));
            }
        }
    }
    return answers;
}

std::shared_ptr<const EncodingCache> build_cache(SharedContent content, EncodingKey key, const TokenizerView& tokenizer) {
    auto cache = std::make_shared<EncodingCache>();
    cache->content = content;
    cache->key = std::move(key);
    cache->tokenizer = Ref::borrow(tokenizer.object.get());
    cache->backend = Ref::borrow(tokenizer.backend.get());
    cache->vocabulary = tokenizer.vocabulary;
    cache->as_is = tokenizer.as_is;
    cache->plan = plan_prompt(content->fragments, cache->key.extra_slots, cache->key.mask_token, cache->key.targets);
    const PromptPlan& plan = cache->plan;
    if (plan.slots > 0 && !plan.causal) {
        Ref mask = new_str(plan.mask_token);
        cache->mask_id = token_id(tokenizer.backend.get(), mask.get());
        if (!cache->mask_id) {
            PyErr_Format(PyExc_ValueError, messages::unknown_token, "mask_token", mask.get());
            throw PythonError{};
        }
    }
    std::optional<TokenId> pad_id;
    if (tokenizer.pad_token) pad_id = token_id(tokenizer.backend.get(), tokenizer.pad_token.get());
    cache->encoder = make_encoder(tokenizer, false);
    cache->protected_ids = without_unknown(cache->encoder, protected_ids(tokenizer.backend.get(), cache->mask_id, pad_id));

    // The template with every field empty: its own tokens, and the mask at each slot.
    Prompts prompts(plan);
    std::vector<std::string_view> empty(plan.fields.size());
    prompts.add(empty);
    std::vector<OwnedTokens> owned;
    const std::size_t first[] = {0};
    if (owned_tokens(*cache, prompts, first, owned)) {
        Ref mask = new_str(plan.mask_token);
        PyErr_Format(PyExc_ValueError, messages::mask_not_one_token, mask.get());
        throw PythonError{};
    }
    cache->own = own_signature(owned[0], cache->protected_ids);
    cache->answers.resize(plan.slots);
    if (!plan.causal) cache->slot_options = label_contexts(content->fragments, cache->key.extra_slots).words;
    for (const PromptPart& part : plan.parts) {
        if (part.kind == PartKind::field) cache->target_pieces.push_back(plan.target_fields[part.field]);
    }
    if (std::find(plan.target_slots.begin(), plan.target_slots.end(), 1) != plan.target_slots.end()) {
        cache->answers = answer_tokens(*cache, tokenizer);
    }
    if (plan.causal && cache->key.special_tokens && (plan.stops_at_slot || cache->key.targets.empty())) {
        cache->trailing_special = trailing_special(cache->encoder);
        cache->own.tokens -= std::min(cache->own.tokens, cache->trailing_special);
    }
    return cache;
}

// The cache for the template as it is, made when missing or stale and
// published whole, unless the template changed while it was made (its
// tokenizer runs Python code).
std::shared_ptr<const EncodingCache> encoding_cache(TemplateObject& self, const SharedContent& content,
                                                    const TokenizerView& tokenizer, EncodingKey key) {
    std::shared_ptr<const EncodingCache> cache = self.record.encoding;
    if (cache && cache->content == content && cache->key == key && cache->tokenizer.get() == tokenizer.object.get() &&
        cache->backend.get() == tokenizer.backend.get() && cache->vocabulary == tokenizer.vocabulary &&
        cache->as_is == tokenizer.as_is) {
        return cache;
    }
    cache = build_cache(content, std::move(key), tokenizer);
    if (self.record.content == content && self.record.tokenizer.get() == tokenizer.object.get()) {
        self.record.encoding = cache;  // the old cache is released here: it runs no Python code that sees a half state
    }
    return cache;
}

// The text-only encoder, made on first need and kept beside the cache.
std::shared_ptr<const Encoder> text_only_encoder(const EncodingCache& cache, const TokenizerView& tokenizer) {
    if (std::shared_ptr<const Encoder> made = cache.text_only) return made;
    auto made = std::make_shared<const Encoder>(make_encoder(tokenizer, true));
    if (!cache.text_only) cache.text_only = made;
    return made;
}

// ---------------------------------------------------------------- row text that spells a protected token

// Replaces, in each row of `owned`, the protected tokens its fields' text
// made: each spelling is read as text (special tokens in it read as text);
// where the vocabulary holds the spelling as a piece, each character is read
// on its own; a character that is itself a protected token is left out.
void replace_protected_spellings(const EncodingCache& cache, const TokenizerView& tokenizer, const Prompts& prompts,
                                 std::span<const std::size_t> rows, std::vector<OwnedTokens>& owned) {
    // 1. Every spelling, row after row.
    std::vector<std::string_view> spellings;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (const InjectedToken& token : owned[i].injected) {
            spellings.push_back(character_slice(prompts.text(rows[i]), token.span));
        }
    }
    if (spellings.empty()) return;
    std::shared_ptr<const Encoder> encoder = text_only_encoder(cache, tokenizer);
    auto encode = [&](const std::vector<std::string_view>& texts) {
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(texts.size())));
        std::vector<std::size_t> characters;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_str(texts[i]).release());
            characters.push_back(character_count(texts[i]));
        }
        return encode_texts(*encoder, list.get(), characters, false, false);
    };
    // 2. Read as text; the spellings that still make a protected token, character by character.
    TokenBatch read = encode(spellings);
    std::vector<std::vector<TokenId>> replaced(spellings.size());
    std::vector<std::string_view> characters;
    std::vector<std::size_t> owner;  // per character, its spelling
    for (std::size_t s = 0; s < spellings.size(); ++s) {
        auto ids = read.ids_of(s);
        if (std::none_of(ids.begin(), ids.end(), [&](TokenId id) { return cache.protected_ids.contains(id); })) {
            replaced[s].assign(ids.begin(), ids.end());
            continue;
        }
        const std::size_t count = character_count(spellings[s]);
        for (std::size_t c = 0; c < count; ++c) {
            characters.push_back(character_slice(spellings[s], {c, c + 1}));
            owner.push_back(s);
        }
    }
    if (!characters.empty()) {
        TokenBatch one_by_one = encode(characters);
        for (std::size_t c = 0; c < characters.size(); ++c) {
            for (TokenId id : one_by_one.ids_of(c)) {
                if (!cache.protected_ids.contains(id)) replaced[owner[c]].push_back(id);
            }
        }
    }
    // 3. Into the rows.
    std::size_t next = 0;
    for (OwnedTokens& tokens : owned) {
        const std::size_t count = tokens.injected.size();
        replace_injected(tokens, std::span<const std::vector<TokenId>>(replaced).subspan(next, count));
        next += count;
    }
}

// ---------------------------------------------------------------- the rows' side

// ", "-joined reprs of a mapping's keys, or null when it has none.
Ref key_list(PyObject* mapping) {
    Ref keys = Ref::steal(PyMapping_Keys(mapping));
    if (!keys) {
        PyErr_Clear();
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

// The KeyError of a row (or a batch of columns) without one of the template's
// fields: what it has, and how to write the field's spelling as text when the
// tokenizer has a special token of that name.
[[noreturn]] void raise_missing_field(const TokenizerView& tokenizer, PyObject* mapping, PyObject* name,
                                      std::optional<std::size_t> row) {
    PyErr_Clear();
    Ref keys = key_list(mapping);
    Ref message = row ? check(PyUnicode_FromFormat(messages::missing_field, name, *row, name))
                      : check(PyUnicode_FromFormat(messages::missing_column, name, name));
    Ref what = keys ? check(PyUnicode_FromFormat(row ? messages::row_keys : messages::batch_columns, keys.get()))
                    : check(PyUnicode_FromString(row ? messages::row_no_keys : messages::batch_no_columns));
    message = check(PyUnicode_Concat(message.get(), what.get()));
    Ref special = check(PyUnicode_FromFormat("[%U]", name));
    if (token_id(tokenizer.backend.get(), special.get())) {
        Ref escaped = check(PyUnicode_FromFormat("\\[%U\\]", name));
        Ref advice = check(PyUnicode_FromFormat(messages::special_spelling, special.get(), escaped.get()));
        message = check(PyUnicode_Concat(message.get(), advice.get()));
    }
    PyErr_SetObject(PyExc_KeyError, message.get());
    throw PythonError{};
}

// The name of a plan's slot part `slot`.
std::string_view slot_name(const PromptPlan& plan, std::size_t slot) {
    for (const PromptPart& part : plan.parts) {
        if (part.kind == PartKind::slot && slot-- == 0) return part.text;
    }
    return {};
}

bool is_mapping(PyObject* object) {
    if (PyDict_Check(object)) return true;
    if (PyUnicode_Check(object) || PyBytes_Check(object) || PyList_Check(object) || PyTuple_Check(object)) return false;
    const int has_keys = PyObject_HasAttrString(object, "keys");
    return has_keys == 1;
}

// The index of a row's answer to a slot: an int indexes `options`, a str is one of them.
std::size_t answer_index(PyObject* value, const std::vector<std::string>& options, std::string_view slot,
                         std::size_t row) {
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        const Py_ssize_t index = PyLong_AsSsize_t(value);
        if (index >= 0 && static_cast<std::size_t>(index) < options.size()) return static_cast<std::size_t>(index);
        PyErr_Clear();
    } else if (PyUnicode_Check(value)) {
        const Utf8Text text = text_of(value);
        auto found = std::find(options.begin(), options.end(), text.view());
        if (found != options.end()) return static_cast<std::size_t>(found - options.begin());
    }
    Ref listed = check(PyList_New(0));
    for (const std::string& option : options) check_status(PyList_Append(listed.get(), new_str(option).get()));
    PyErr_Format(PyExc_ValueError, messages::bad_answer, row, new_str(slot).get(), listed.get(), value);
    throw PythonError{};
}

// What the rows hold for the template: per row, the text of each field (a
// causal target slot's answer written as its option), and the index of the
// answer to each target slot.
struct RowValues {
    std::vector<Ref> texts;           // row after row, one str per field
    std::vector<std::size_t> answers; // row after row, one per slot part (target slots only; else 0)
    std::size_t rows = 0;
};

// Reads rows: one mapping, a sequence of mappings, or a mapping of columns.
// What is read is held (a sequence is copied into a tuple of its own) while
// the values' __str__ runs, which may change the caller's containers.
RowValues row_values(const EncodingCache& cache, const TokenizerView& tokenizer, PyObject* rows, bool batch) {
    const PromptPlan& plan = cache.plan;
    // 1. The names to look up: the fields, then the target slots answered at a mask.
    std::vector<Ref> names;
    for (const std::string& field : plan.fields) names.push_back(new_str(field));
    std::vector<std::size_t> slot_of_name;  // per name past the fields, its slot part
    std::size_t slot = 0;
    for (const PromptPart& part : plan.parts) {
        if (part.kind != PartKind::slot) continue;
        if (plan.target_slots[slot]) {
            names.push_back(new_str(part.text));
            slot_of_name.push_back(slot);
        }
        ++slot;
    }
    RowValues values;
    auto lookup = [&](PyObject* mapping, PyObject* name, std::optional<std::size_t> row) {
        Ref value = Ref::steal(PyObject_GetItem(mapping, name));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_KeyError)) raise_missing_field(tokenizer, mapping, name, row);
            throw PythonError{};
        }
        return value;
    };
    // 2. Each value as the prompt writes it.
    auto take = [&](std::size_t row, std::size_t n, PyObject* value) {
        if (n == 0) values.answers.resize(values.answers.size() + plan.slots, 0);
        if (n >= plan.fields.size()) {
            const std::size_t s = slot_of_name[n - plan.fields.size()];
            values.answers[row * plan.slots + s] = answer_index(value, cache.slot_options[s], slot_name(plan, s), row);
        } else if (!plan.answers[n].empty()) {
            values.texts.push_back(new_str(plan.answers[n][answer_index(value, plan.answers[n], plan.fields[n], row)]));
        } else {
            values.texts.push_back(check(PyObject_Str(value)));
        }
    };
    auto read_row = [&](PyObject* row, std::size_t index) {
        if (!is_mapping(row)) {
            PyErr_Format(PyExc_TypeError, messages::not_a_row, index, type_name(row).get());
            throw PythonError{};
        }
        for (std::size_t n = 0; n < names.size(); ++n) take(index, n, lookup(row, names[n].get(), index).get());
        if (names.empty()) values.answers.resize(values.answers.size() + plan.slots, 0);
    };
    if (!batch) {
        values.rows = 1;
        read_row(rows, 0);
        return values;
    }
    if (is_mapping(rows)) {
        // Columns, every one as long as the first, each copied into a tuple.
        std::vector<Ref> columns;
        Py_ssize_t rows_count = -1;
        for (std::size_t n = 0; n < names.size(); ++n) {
            Ref column = lookup(rows, names[n].get(), std::nullopt);
            if (PyUnicode_Check(column.get()) || PyBytes_Check(column.get()) || is_mapping(column.get()) ||
                !PySequence_Check(column.get())) {
                PyErr_Format(PyExc_TypeError, messages::column_not_a_list, names[n].get(), type_name(column.get()).get());
                throw PythonError{};
            }
            columns.push_back(check(PySequence_Tuple(column.get())));
            const Py_ssize_t size = PyTuple_GET_SIZE(columns.back().get());
            if (rows_count >= 0 && size != rows_count) {
                PyErr_Format(PyExc_ValueError, messages::ragged_columns, names[n].get(), size, names[0].get(),
                             rows_count);
                throw PythonError{};
            }
            rows_count = size;
        }
        if (rows_count < 0) {  // no fields: the columns still say how many rows there are
            Ref all = check(PyMapping_Values(rows));
            rows_count = PyList_GET_SIZE(all.get()) == 0 ? 0 : PyObject_Length(PyList_GET_ITEM(all.get(), 0));
            if (rows_count < 0) throw PythonError{};
        }
        values.rows = static_cast<std::size_t>(rows_count);
        for (std::size_t r = 0; r < values.rows; ++r) {
            for (std::size_t n = 0; n < names.size(); ++n) {
                take(r, n, PyTuple_GET_ITEM(columns[n].get(), static_cast<Py_ssize_t>(r)));
            }
            if (names.empty()) values.answers.resize(values.answers.size() + plan.slots, 0);
        }
        return values;
    }
    if (PyUnicode_Check(rows) || PyBytes_Check(rows) || !PySequence_Check(rows)) {
        PyErr_Format(PyExc_TypeError, messages::not_rows, type_name(rows).get());
        throw PythonError{};
    }
    Ref sequence = check(PySequence_Tuple(rows));
    values.rows = static_cast<std::size_t>(PyTuple_GET_SIZE(sequence.get()));
    for (std::size_t r = 0; r < values.rows; ++r) read_row(PyTuple_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(r)), r);
    return values;
}

// ---------------------------------------------------------------- results

Ref new_int(std::size_t value) { return check(PyLong_FromSize_t(value)); }

// A buffer view, released when it goes.
struct BufferView {
    Py_buffer view{};
    bool held = false;
    ~BufferView() {
        if (held) PyBuffer_Release(&view);
    }
};

// A new int64 numpy array of `shape`, filled by `fill(std::int64_t* data)`.
// What numpy.zeros gave is checked before anything is written into it.
template <class Fill>
Ref new_array(PyObject* numpy, std::initializer_list<std::size_t> shape, Fill&& fill) {
    Ref dims = check(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    Py_ssize_t i = 0;
    std::size_t items = 1;
    for (std::size_t extent : shape) {
        PyTuple_SET_ITEM(dims.get(), i++, new_int(extent).release());
        items *= extent;
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

Ref import_module(const char* name, const char* missing) {
    Ref module = Ref::steal(PyImport_ImportModule(name));
    if (!module) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) raise(PyExc_ImportError, missing);
        throw PythonError{};
    }
    return module;
}

// How encoded rows become the result's values.
struct Layout {
    std::size_t width;       // padded width, 0 for none
    TokenId pad;             // the pad id
    bool left;               // padding goes before the row
    bool batch;              // a list (or array) per row, or one row
    Tensors tensors;         // lists, numpy arrays or torch tensors
    std::size_t slots;       // slot positions per row
    const std::vector<std::size_t>* row_index;  // the input index of each row kept, when rows may be dropped
};

// One column of the result: for each row r, value(r, c) for c below
// size_of(r) (as lists), or below `inner` (as an array of rows).
template <class SizeOf, class Value>
Ref new_column(const EncodedRows& rows, const Layout& layout, PyObject* numpy, std::size_t inner, SizeOf&& size_of,
               Value&& value, const EncodingCache& cache) {
    if (layout.tensors != Tensors::none) {
        auto fill = [&](std::int64_t* data) {
            for (std::size_t r = 0; r < rows.size(); ++r) {
                for (std::size_t c = 0; c < inner; ++c) data[r * inner + c] = value(r, c);
            }
        };
        return layout.batch ? new_array(numpy, {rows.size(), inner}, fill) : new_array(numpy, {inner}, fill);
    }
    Ref all = check(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const std::size_t size = size_of(r);
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(size)));
        for (std::size_t c = 0; c < size; ++c) {
            PyObject* item = cache.int_object(value(r, c));
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(c), Ref::borrow(item).release());
        }
        PyList_SET_ITEM(all.get(), static_cast<Py_ssize_t>(r), list.release());
    }
    if (!layout.batch) return check(PySequence_GetItem(all.get(), 0));
    return all;
}

Ref encoded_result(const EncodingCache& cache, const EncodedRows& rows, Layout layout) {
    const std::size_t columns = layout.width != 0 ? layout.width : rows.longest();
    Ref numpy;
    if (layout.tensors != Tensors::none) {
        for (std::size_t r = 0; layout.width == 0 && r < rows.size(); ++r) {
            if (rows.ids(r).size() != columns) raise(PyExc_ValueError, messages::ragged_arrays);
        }
        if (layout.tensors == Tensors::torch) import_module("torch", messages::needs_torch);
        numpy = import_module("numpy", messages::needs_numpy);
        layout.width = columns;
    }
    // Where row r's ids begin in its padded row, and the row's value at column c.
    auto shift = [&](std::size_t r) { return layout.left && layout.width != 0 ? layout.width - rows.ids(r).size() : 0; };
    auto at = [&](std::size_t r, std::size_t c, auto values, std::int64_t pad) -> std::int64_t {
        const std::size_t begin = shift(r);
        if (c < begin || c - begin >= values.size()) return pad;
        return static_cast<std::int64_t>(values[c - begin]);
    };
    const std::size_t inner = layout.tensors != Tensors::none ? columns : 0;
    auto ids = [&](std::size_t r, std::size_t c) { return at(r, c, rows.ids(r), static_cast<std::int64_t>(layout.pad)); };
    auto attention = [&](std::size_t r, std::size_t c) -> std::int64_t {
        return c >= shift(r) && c - shift(r) < rows.ids(r).size();
    };
    auto positions = [&](std::size_t r, std::size_t c) {
        return static_cast<std::int64_t>(rows.slot_positions(r)[c] + shift(r));
    };
    Ref result = check(PyDict_New());
    auto set = [&](const char* key, Ref value) {
        if (layout.tensors == Tensors::torch) {
            Ref torch = import_module("torch", messages::needs_torch);
            value = check(PyObject_CallMethod(torch.get(), "from_numpy", "O", value.get()));
        }
        check_status(PyDict_SetItemString(result.get(), key, value.get()));
    };
    auto padded = [&](std::size_t r) { return std::max(layout.width, rows.ids(r).size()); };
    auto slots = [&](std::size_t) { return layout.slots; };
    set("input_ids", new_column(rows, layout, numpy.get(), inner, padded, ids, cache));
    set("attention_mask", new_column(rows, layout, numpy.get(), inner, padded, attention, cache));
    set("mask_positions", new_column(rows, layout, numpy.get(), layout.slots, slots, positions, cache));
    if (rows.labelled()) {
        auto labels = [&](std::size_t r, std::size_t c) { return at(r, c, rows.labels(r), ignored_label); };
        set("labels", new_column(rows, layout, numpy.get(), inner, padded, labels, cache));
    }
    if (layout.row_index != nullptr) {
        const std::vector<std::size_t>& kept = *layout.row_index;
        Ref index;
        if (layout.tensors != Tensors::none) {
            index = new_array(numpy.get(), {kept.size()}, [&](std::int64_t* data) {
                for (std::size_t r = 0; r < kept.size(); ++r) data[r] = static_cast<std::int64_t>(kept[r]);
            });
        } else {
            index = check(PyList_New(static_cast<Py_ssize_t>(kept.size())));
            for (std::size_t r = 0; r < kept.size(); ++r) {
                PyList_SET_ITEM(index.get(), static_cast<Py_ssize_t>(r), new_int(kept[r]).release());
            }
        }
        set("row_index", std::move(index));
    }
    return result;
}

// The id a target slot's mask is labelled with: its answer's one token.
TokenId single_answer(const EncodingCache& cache, const TokenizerView& tokenizer, std::size_t slot,
                      std::size_t answer) {
    const std::vector<TokenId>& ids = cache.answers[slot][answer];
    if (ids.size() == 1) return ids[0];
    Ref pieces = check(PyList_New(0));
    for (TokenId id : ids) {
        Ref piece = check(PyObject_CallMethod(tokenizer.backend.get(), "id_to_token", "K",
                                              static_cast<unsigned long long>(id)));
        check_status(PyList_Append(pieces.get(), piece.get()));
    }
    PyErr_Format(PyExc_ValueError, messages::label_word_pieces, new_str(cache.slot_options[slot][answer]).get(),
                 new_str(slot_name(cache.plan, slot)).get(), static_cast<Py_ssize_t>(ids.size()), pieces.get());
    throw PythonError{};
}

// With no max_length, rows longer than a transformers tokenizer's model
// takes are kept whole, with one warning per call.
void warn_if_longer_than_model(const EncodedRows& rows, std::span<const std::size_t> row_index,
                               const TokenizerView& tokenizer) {
    constexpr std::size_t unbounded = 1'000'000;  // what transformers uses when a model sets no limit, or more
    const std::size_t limit = tokenizer.model_max_length;
    if (limit == 0 || limit >= unbounded) return;
    std::size_t longer = 0, first = 0, first_length = 0;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (rows.ids(r).size() <= limit) continue;
        if (longer++ == 0) first = row_index[r], first_length = rows.ids(r).size();
    }
    if (longer > 0) {
        check_status(PyErr_WarnFormat(PyExc_UserWarning, 1, messages::longer_than_model, first, first_length, limit, longer));
    }
}

// encode() and encode_batch():
// 1. check the template and the options, and find the cache of its side;
// 2. str() every field of every row and write each row's whole prompt;
// 3. tokenize the prompts in one batch, ids only: a row that fits and whose
//    protected tokens are the template's own is laid out as it came (rows
//    that earlier rows say are too long skip this step);
// 4. the others (rows to cut, rows whose text spelled a protected token) are
//    tokenized again with offsets, their tokens attributed, protected
//    spellings read as text, and their fields cut to fit;
// 5. pad and convert.
Ref encode_rows(TemplateObject& self, PyObject* rows_object, bool batch, const Options& options) {
    SharedContent content = self.record.content;
    check_read_whole(*content);
    Ref held_tokenizer = Ref::borrow(self.record.tokenizer ? self.record.tokenizer.get() : Py_None);
    const TokenizerView tokenizer = view_tokenizer(held_tokenizer.get());
    const std::optional<std::size_t> max_length = max_length_of(options[encode_option::max_length].get());
    const CutSide side = side_of(options[encode_option::side].get());
    const Padding padding = padding_of(options[encode_option::padding].get());
    const Tensors tensors = tensors_of(options[encode_option::return_tensors].get());
    const bool drop = drops_overflow(options[encode_option::overflow].get());
    const bool left = pads_left(options[encode_option::padding_side].get(), tokenizer);
    PyObject* pad_option = token_option(options[encode_option::pad_token].get(), "pad_token");
    PyObject* shorten_option = options[encode_option::shorten].get();
    const std::vector<std::string> shorten = names_of(shorten_option, "shorten");
    std::optional<TokenId> pad;
    if (padding.kind != Padding::none) {
        PyObject* pad_token = pad_option != nullptr ? pad_option : tokenizer.pad_token.get();
        if (pad_token == nullptr) raise(PyExc_ValueError, messages::needs_pad_token);
        pad = token_id(tokenizer.backend.get(), pad_token);
        if (!pad) {
            PyErr_Format(PyExc_ValueError, messages::unknown_token, "pad_token", pad_token);
            throw PythonError{};
        }
    }
    std::shared_ptr<const EncodingCache> cache =
        encoding_cache(self, content, tokenizer, key_of(*content, tokenizer, options));
    const PromptPlan& plan = cache->plan;
    if (max_length && cache->own.tokens > *max_length) {
        PyErr_Format(PyExc_ValueError, messages::template_too_long, cache->own.tokens, *max_length);
        throw PythonError{};
    }
    // Which pieces may be cut: those named by shorten=; by default every field that is not a target.
    std::unique_ptr<bool[]> shortenable(new bool[plan.pieces + 1]);
    std::size_t piece = 0;
    for (const PromptPart& part : plan.parts) {
        if (part.kind != PartKind::field) continue;
        shortenable[piece] = shorten_option == nullptr || shorten_option == Py_None
                                 ? !cache->target_pieces[piece]
                                 : contains(shorten, plan.fields[part.field]);
        ++piece;
    }
    const bool labelled = !cache->key.targets.empty();
    const bool drop_trailing = plan.causal && (plan.stops_at_slot || !labelled);
    const std::size_t trailing = drop_trailing ? cache->trailing_special : 0;

    // 2. The prompts.
    const RowValues values = row_values(*cache, tokenizer, rows_object, batch);
    const std::size_t row_count = values.rows;
    std::vector<Utf8Text> texts;
    texts.reserve(values.texts.size());
    for (const Ref& value : values.texts) texts.emplace_back(value.get());
    Prompts prompts(plan);
    std::vector<std::string_view> row_fields(plan.fields.size());
    for (std::size_t r = 0; r < row_count; ++r) {
        for (std::size_t f = 0; f < plan.fields.size(); ++f) row_fields[f] = texts[r * plan.fields.size() + f].view();
        prompts.add(row_fields);
    }

    // 3. Ids only, but for rows that earlier rows say are too long (those
    //    would be tokenized twice) and for labelled rows, which need offsets.
    std::vector<std::size_t> quick, slow;
    for (std::size_t r = 0; r < row_count; ++r) {
        const bool too_long = max_length && cache->widest > 0 &&
                              static_cast<double>(prompts.characters(r)) / cache->widest >
                                  static_cast<double>(*max_length + trailing);
        (too_long || labelled ? slow : quick).push_back(r);
    }
    std::vector<std::size_t> characters;
    Ref prompt_list = new_str_list(prompts, quick, characters);
    const TokenBatch tokens = encode_texts(cache->encoder, prompt_list.get(), characters, cache->key.special_tokens, false);
    prompt_list = Ref();
    std::vector<std::vector<std::size_t>> positions(row_count);
    std::vector<std::size_t> quick_index(row_count, row_count);  // each row's place in `tokens`
    for (std::size_t i = 0; i < quick.size(); ++i) {
        const std::size_t r = quick[i], count = tokens.ids_of(i).size();
        quick_index[r] = i;
        if (count > 0) cache->widest = std::max(cache->widest, static_cast<double>(prompts.characters(r)) / count);
        const std::size_t length = count - std::min(count, trailing);
        const bool fits = !max_length || length <= *max_length;
        if (!fits || !cache->own.slot_positions(tokens.ids_of(i), cache->protected_ids, positions[r])) slow.push_back(r);
    }
    std::sort(slow.begin(), slow.end());

    // 4. With offsets.
    std::vector<OwnedTokens> owned;
    if (!slow.empty()) {
        if (std::optional<std::size_t> row = owned_tokens(*cache, prompts, slow, owned)) {
            Ref mask = new_str(plan.mask_token);
            PyErr_Format(PyExc_ValueError, messages::mask_not_at_slot, *row, mask.get());
            throw PythonError{};
        }
        replace_protected_spellings(*cache, tokenizer, prompts, slow, owned);
    }
    EncodedRows rows(plan.slots, labelled);
    std::vector<std::size_t> lengths(plan.pieces), kept(plan.pieces), row_index;
    std::vector<std::optional<TokenId>> slot_answers(plan.slots);
    std::size_t next_slow = 0;
    for (std::size_t r = 0; r < row_count; ++r) {
        if (next_slow < slow.size() && slow[next_slow] == r) {
            OwnedTokens& row = owned[next_slow++];
            const std::size_t dropped = std::min(row.ids.size(), trailing);
            row.ids.resize(row.ids.size() - dropped);
            row.owners.resize(row.ids.size());
            row.special.resize(row.ids.size());
            piece_lengths(row, lengths);
            std::size_t fixed = row.ids.size();
            for (std::size_t length : lengths) fixed -= length;
            if (max_length && !kept_lengths(fixed, lengths, std::span<const bool>(shortenable.get(), plan.pieces),
                                            *max_length, kept)) {
                if (drop) continue;
                std::size_t needed = fixed;
                for (std::size_t p = 0; p < plan.pieces; ++p) needed += shortenable[p] ? 0 : lengths[p];
                PyErr_Format(PyExc_ValueError, messages::row_too_long, r, needed, *max_length);
                throw PythonError{};
            }
            for (std::size_t s = 0; s < plan.slots && labelled && !plan.causal; ++s) {
                slot_answers[s] = std::nullopt;
                if (!plan.target_slots[s]) continue;
                slot_answers[s] = single_answer(*cache, tokenizer, s, values.answers[r * plan.slots + s]);
            }
            rows.add_cut(row, max_length ? std::span<const std::size_t>(kept) : std::span<const std::size_t>(lengths),
                         side, LabelRule{cache->target_pieces, slot_answers});
        } else {
            rows.add(tokens.ids_of(quick_index[r]), positions[r]);
            rows.drop_last(trailing);
        }
        if (plan.stops_at_slot) rows.end_at_slot();
        row_index.push_back(r);
    }
    if (!max_length) warn_if_longer_than_model(rows, row_index, tokenizer);
    const Layout layout{padded_width(rows, padding), pad.value_or(0), left,  batch,
                        tensors,                     plan.slots,       drop ? &row_index : nullptr};
    return encoded_result(*cache, rows, layout);
}

// Names of controls with (slots) or without (fields) options, each once, in order.
Ref names_of_controls(const TemplateContent& content, bool slots) {
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

// Each slot's words written at the slot between the template text around it,
// tokenized in one batch without special tokens: a word's tokens are those
// that hold its characters.
Ref template_label_ids(TemplateObject& self, const Arguments&, const Options& options) {
    SharedContent content = self.record.content;
    Ref held_tokenizer = Ref::borrow(self.record.tokenizer ? self.record.tokenizer.get() : Py_None);
    const TokenizerView tokenizer = view_tokenizer(held_tokenizer.get());
    const std::vector<std::string> extra = names_of(options[label_option::slots].get(), "slots");
    const bool single = options[label_option::single_token] && truth(options[label_option::single_token].get());
    const LabelContexts contexts = label_contexts(content->fragments, extra);
    Ref texts = check(PyList_New(static_cast<Py_ssize_t>(contexts.contexts.size())));
    std::vector<std::size_t> characters;
    for (std::size_t i = 0; i < contexts.contexts.size(); ++i) {
        PyList_SET_ITEM(texts.get(), static_cast<Py_ssize_t>(i), new_str(contexts.contexts[i].text).release());
        characters.push_back(character_count(contexts.contexts[i].text));
    }
    const Encoder encoder = make_encoder(tokenizer, false);
    const TokenBatch batch = encode_texts(encoder, texts.get(), characters, false, true);
    const IdSet whitespace = whitespace_pieces(tokenizer);
    Ref result = check(PyList_New(0));
    std::size_t next = 0;
    for (std::size_t s = 0; s < contexts.words_per_slot.size(); ++s) {
        Ref words = check(PyList_New(0));
        for (std::size_t w = 0; w < contexts.words_per_slot[s]; ++w, ++next) {
            const std::vector<TokenId> ids =
                word_tokens(batch.ids_of(next), batch.offsets_of(next), batch.special_of(next), contexts.contexts[next].word,
                            whitespace);
            Ref list = check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
            for (std::size_t k = 0; k < ids.size(); ++k) {
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), check(PyLong_FromUnsignedLongLong(ids[k])).release());
            }
            if (single && ids.size() != 1) {
                Ref pieces = check(PyList_New(0));
                for (TokenId id : ids) {
                    Ref piece = check(PyObject_CallMethod(tokenizer.backend.get(), "id_to_token", "K",
                                                          static_cast<unsigned long long>(id)));
                    check_status(PyList_Append(pieces.get(), piece.get()));
                }
                Ref word = new_str(contexts.slots[s]->options[w]);
                Ref name = new_str(contexts.slots[s]->string);
                PyErr_Format(PyExc_ValueError, messages::label_word_pieces, word.get(), name.get(),
                             static_cast<Py_ssize_t>(ids.size()), pieces.get());
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
    return names_of_controls(*content, false);
}

Ref template_slots(TemplateObject& self) {
    SharedContent content = self.record.content;
    return names_of_controls(*content, true);
}

}  // namespace korvanta
