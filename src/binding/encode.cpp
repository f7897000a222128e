// encode(), encode_batch() and label_ids(): the only operations that call the
// template's tokenizer. Each row's whole prompt is tokenized, so every row is
// what the tokenizer itself gives for it; the core (core/assembly.hpp)
// says which tokens are the template's, the fields' and the slots', cuts
// fields to fit and lays the rows out. The tokenizer is read through one
// checked boundary (binding/tokenizer.hpp). Its calls run Python code and
// may let other threads run, so each call holds the content, the tokenizer
// and the cache it works from.
#include "binding/encode.hpp"

#include <algorithm>

#include "binding/encoding.hpp"

namespace korvanta {

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
    "slot's token in input_ids), and labels with targets=. Options: max_length, shorten,\n"
    "truncation_side, slots, mask_token, add_special_tokens, padding, pad_token,\n"
    "return_tensors, targets, overflow, padding_side (see encode_batch).";

const char encode_batch_doc[] =
    "encode_batch($self, rows, /, **options)\n--\n\n"
    "Encode a batch: a sequence of row mappings, or columns (a mapping from field names to\n"
    "equal-length sequences). Returns a dict of lists with one entry per row.\n"
    "\n"
    "Each row's whole prompt is tokenized: a control with options is a slot, written as the mask\n"
    "token; one without is a field, filled with str(row[name]); no special token comes from row\n"
    "text. max_length counts every token; a row that overflows is cut only in its fields\n"
    "(shorten=names, default all but targets), longest first, from the end of each\n"
    "(truncation_side='left': from its start); overflow='drop' leaves out rows that cannot fit\n"
    "and adds row_index.\n"
    "slots=names marks more controls as slots; mask_token= overrides the tokenizer's (None: the\n"
    "input ends at the first slot that is not a target, for causal models, and the tokenizer's\n"
    "closing special tokens are left out unless targets= are given with no such slot);\n"
    "targets=names adds labels (ids of the targets' tokens and of the end token the template\n"
    "writes after a target field, -100 elsewhere; a target slot's answer is row[name]);\n"
    "add_special_tokens=True adds the tokenizer's own; padding='longest' or N pads with pad_token\n"
    "on padding_side; return_tensors='np' or 'pt' gives int64 arrays or tensors.";

const char label_ids_doc[] =
    "label_ids($self, /, **options)\n--\n\n"
    "The token ids of each slot's label words (its options), slot by slot, as each word\n"
    "reads at its slot, after the template text before it. Options: slots=names,\n"
    "single_token=True (a word of several tokens is then an error).";

namespace {

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

// A list of str of `count` UTF-8 texts, text(i) each, with each one's length
// in characters, characters_of(i), in `characters`.
template <class Text, class Characters>
Ref new_str_list(std::size_t count, Text&& text, Characters&& characters_of, std::vector<std::size_t>& characters) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(count)));
    characters.clear();
    for (std::size_t i = 0; i < count; ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_str(text(i)).release());
        characters.push_back(characters_of(i));
    }
    return list;
}

Ref new_str_list(const Prompts& prompts, std::span<const std::size_t> rows, std::vector<std::size_t>& characters) {
    return new_str_list(
        rows.size(), [&](std::size_t i) { return prompts.text(rows[i]); },
        [&](std::size_t i) { return prompts.characters(rows[i]); }, characters);
}

Ref new_str_list(std::span<const std::string_view> texts, std::vector<std::size_t>& characters) {
    return new_str_list(
        texts.size(), [&](std::size_t i) { return texts[i]; },
        [&](std::size_t i) { return character_count(texts[i]); }, characters);
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
        if (!attribute_tokens(prompts.text(row), batch.ids_of(i), batch.offsets_of(i), batch.special_of(i),
                              prompts.pieces(row), prompts.slots(row), cache.mask_id.value_or(max_token_id),
                              cache.protected_ids, owned[i])) {
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

// The tokens of each option of each slot as it reads at its slot: slot after
// slot, option after option.
std::vector<std::vector<std::vector<TokenId>>> label_words(const Encoder& encoder, const TokenizerView& tokenizer,
                                                           const LabelContexts& contexts) {
    std::vector<std::string_view> texts;
    for (const LabelContext& context : contexts.contexts) texts.push_back(context.text);
    std::vector<std::size_t> characters;
    Ref list = new_str_list(texts, characters);
    const TokenBatch batch = encode_texts(encoder, list.get(), characters, false, true);
    const IdSet whitespace = whitespace_pieces(tokenizer);
    std::vector<std::vector<std::vector<TokenId>>> words(contexts.words_per_slot.size());
    std::size_t next = 0;
    for (std::size_t s = 0; s < words.size(); ++s) {
        for (std::size_t w = 0; w < contexts.words_per_slot[s]; ++w, ++next) {
            words[s].push_back(word_tokens(batch.ids_of(next), batch.offsets_of(next), batch.special_of(next),
                                           contexts.contexts[next].word, whitespace));
        }
    }
    return words;
}

// Each option of each target slot tokenized as label_ids() reads it.
std::vector<std::vector<std::vector<TokenId>>> answer_tokens(const EncodingCache& cache, const TokenizerView& tokenizer) {
    auto answers = label_words(cache.encoder, tokenizer, label_contexts(cache.content->fragments, cache.key.extra_slots));
    answers.resize(cache.plan.slots);
    for (std::size_t s = 0; s < answers.size(); ++s) {
        if (!cache.plan.target_slots[s]) answers[s].clear();
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
    std::vector<std::pair<TokenId, PyObject*>> named;
    Ref mask = new_str(plan.mask_token);
    if (cache->mask_id) named.emplace_back(*cache->mask_id, mask.get());
    if (tokenizer.pad_token) {
        if (std::optional<TokenId> pad_id = token_id(tokenizer.backend.get(), tokenizer.pad_token.get())) {
            named.emplace_back(*pad_id, tokenizer.pad_token.get());
        }
    }
    cache->encoder = std::move(*make_encoder(tokenizer, false));
    cache->protected_ids = protected_tokens(tokenizer.backend.get(), named);

    // The template with every field empty: its own tokens, and the mask at each slot.
    Prompts prompts(plan);
    std::vector<std::string_view> empty(plan.fields.size());
    prompts.add(empty);
    std::vector<OwnedTokens> owned;
    const std::size_t first[] = {0};
    if (owned_tokens(*cache, prompts, first, owned)) {
        PyErr_Format(PyExc_ValueError, messages::mask_not_one_token, mask.get());
        throw PythonError{};
    }
    cache->own = own_signature(owned[0], cache->protected_ids);
    const auto at_slots = std::count(cache->own.at_slot.begin(), cache->own.at_slot.end(), 1);
    if (!plan.causal && static_cast<std::size_t>(at_slots) != plan.slots) {
        throw InternalFailure{"the template's signature does not hold one mask token per slot"};
    }
    cache->answers.resize(plan.slots);
    if (!plan.causal) cache->slot_options = label_contexts(content->fragments, cache->key.extra_slots).words;
    for (const PromptPart& part : plan.parts) {
        if (part.kind == PartKind::field) cache->target_pieces.push_back(plan.target_fields[part.field]);
    }
    if (std::find(plan.target_slots.begin(), plan.target_slots.end(), 1) != plan.target_slots.end()) {
        cache->answers = answer_tokens(*cache, tokenizer);
    }
    cache->slot_words.resize(plan.slots);
    for (std::size_t s = 0; s < cache->answers.size() && !plan.causal; ++s) {
        for (const std::vector<TokenId>& word : cache->answers[s]) {
            cache->slot_words[s].push_back(word.size() == 1 ? std::optional<TokenId>(word[0]) : std::nullopt);
        }
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
        publish(self.record.encoding, cache);  // releasing the old cache may run a finalizer that encodes again
    }
    return cache;
}

// The text-only encoder, made on first need and kept beside the cache. A
// tokenizer that cannot be copied (a component written in Python) reads
// spellings with its own encoder: those that still spell a protected token
// are then read character by character.
std::shared_ptr<const Encoder> text_only_encoder(const EncodingCache& cache, const TokenizerView& tokenizer) {
    if (std::shared_ptr<const Encoder> made = cache.text_only) return made;
    std::optional<Encoder> copy = make_encoder(tokenizer, true);
    auto made = std::make_shared<const Encoder>(copy ? std::move(*copy) : cache.encoder.share());
    if (!cache.text_only) publish(cache.text_only, made);
    return made;
}

// ---------------------------------------------------------------- row text that spells a protected token

// Replaces, in each row of `owned`, the protected tokens its fields' text
// spelled: each spelling is read as text (special tokens in it read as text);
// where that reading still spells a protected token (the vocabulary holds the
// spelling as a piece), each character is read on its own, and a character
// that spells a protected token by itself is left out.
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
        std::vector<std::size_t> characters;
        Ref list = new_str_list(texts, characters);
        return encode_texts(*encoder, list.get(), characters, false, true);
    };
    // 2. Read as text; the spellings whose reading still spells a protected
    //    token, character by character.
    TokenBatch read = encode(spellings);
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
        TokenBatch one_by_one = encode(characters);
        for (std::size_t c = 0; c < characters.size(); ++c) {
            unspelled_ids(characters[c], one_by_one.ids_of(c), one_by_one.offsets_of(c), cache.protected_ids,
                          replaced[owner[c]]);
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

// The ValueError of a label word that is not one token: its pieces as the tokenizer spells them.
[[noreturn]] void raise_word_pieces(const TokenizerView& tokenizer, std::string_view word, std::string_view slot,
                                    std::span<const TokenId> ids) {
    Ref pieces = check(PyList_New(0));
    Ref spell = attribute_or_null(tokenizer.backend.get(), "id_to_token");  // without it, the ids are shown
    for (TokenId id : ids) {
        Ref number = check(PyLong_FromUnsignedLongLong(id));
        Ref piece = spell ? check(PyObject_CallOneArg(spell.get(), number.get())) : std::move(number);
        check_status(PyList_Append(pieces.get(), piece.get()));
    }
    PyErr_Format(PyExc_ValueError, messages::label_word_pieces, new_str(word).get(), new_str(slot).get(),
                 static_cast<Py_ssize_t>(ids.size()), pieces.get());
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

// The options of one call that do not shape the template's side.
struct CallOptions {
    std::optional<std::size_t> max_length;  // the most tokens a row may have
    CutSide side;                           // which end of a field loses tokens
    Padding padding;                        // how wide rows are padded
    std::optional<TokenId> pad;             // the pad id, when padding
    Tensors tensors;                        // lists, arrays or tensors
    bool drop;                              // rows that cannot fit are left out
    bool left;                              // padding goes before the row
};

CallOptions call_options(const TokenizerView& tokenizer, const Options& options, bool batch) {
    CallOptions call{max_length_of(options[encode_option::max_length].get()),
                     side_of(options[encode_option::truncation_side].get()),
                     padding_of(options[encode_option::padding].get()),
                     std::nullopt,
                     tensors_of(options[encode_option::return_tensors].get()),
                     // One row (encode) cannot be left out: it raises as with "raise".
                     drops_overflow(options[encode_option::overflow].get()) && batch,
                     false};
    call.left = pads_left(options[encode_option::padding_side].get(), tokenizer, call.padding.kind != Padding::none);
    PyObject* pad_option = token_option(options[encode_option::pad_token].get(), "pad_token");
    if (call.padding.kind != Padding::none) {
        PyObject* pad_token = pad_option != nullptr ? pad_option : tokenizer.pad_token.get();
        if (pad_token == nullptr) raise(PyExc_ValueError, messages::needs_pad_token);
        call.pad = token_id(tokenizer.backend.get(), pad_token);
        if (!call.pad) {
            PyErr_Format(PyExc_ValueError, messages::unknown_token, "pad_token", pad_token);
            throw PythonError{};
        }
    }
    return call;
}

// Which pieces may be cut: those whose field shorten= names; by default every field that is not a target.
std::vector<std::uint8_t> shortenable_pieces(const EncodingCache& cache, const Options& options) {
    PyObject* shorten_option = options[encode_option::shorten].get();
    const std::vector<std::string> shorten = names_of(shorten_option, "shorten");
    check_names("shorten", shorten, *cache.content);
    std::vector<std::uint8_t> shortenable;
    for (const PromptPart& part : cache.plan.parts) {
        if (part.kind != PartKind::field) continue;
        shortenable.push_back(shorten_option == nullptr || shorten_option == Py_None
                                  ? !cache.target_pieces[shortenable.size()]
                                  : contains(shorten, cache.plan.fields[part.field]));
    }
    return shortenable;
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

// The rows read by ids alone: a row that fits and whose protected tokens
// are the template's own is laid out as the tokenizer gave it.
struct QuickRows {
    TokenBatch tokens;                                // ids of the rows tokenized without offsets
    std::vector<std::size_t> index;                   // per row, its place in `tokens` (rows: not there)
    std::vector<std::vector<std::size_t>> positions;  // per row, its slots' positions
    std::vector<std::size_t> slow;                    // the rows that need offsets, in order
};

// Tokenizes by ids alone the rows that may be laid out so: not those that
// earlier rows say are too long (they would be tokenized twice), nor
// labelled rows, which need offsets.
QuickRows quick_pass(const EncodingCache& cache, const Prompts& prompts, const CallOptions& call, bool labelled,
                     std::size_t trailing) {
    const std::size_t rows = prompts.size();
    QuickRows quick{{}, std::vector<std::size_t>(rows, rows), std::vector<std::vector<std::size_t>>(rows), {}};
    std::vector<std::size_t> asked;
    for (std::size_t r = 0; r < rows; ++r) {
        const bool too_long = call.max_length && cache.widest > 0 &&
                              static_cast<double>(prompts.characters(r)) / cache.widest >
                                  static_cast<double>(*call.max_length + trailing);
        (too_long || labelled ? quick.slow : asked).push_back(r);
    }
    std::vector<std::size_t> characters;
    Ref texts = new_str_list(prompts, asked, characters);
    quick.tokens = encode_texts(cache.encoder, texts.get(), characters, cache.key.special_tokens, false);
    for (std::size_t i = 0; i < asked.size(); ++i) {
        const std::size_t r = asked[i], count = quick.tokens.ids_of(i).size();
        quick.index[r] = i;
        if (count > 0) cache.widest = std::max(cache.widest, static_cast<double>(prompts.characters(r)) / count);
        const std::size_t length = count - std::min(count, trailing);
        const bool fits = !call.max_length || length <= *call.max_length;
        if (!fits || !cache.own.slot_positions(quick.tokens.ids_of(i), cache.protected_ids, quick.positions[r])) {
            quick.slow.push_back(r);
        }
    }
    std::sort(quick.slow.begin(), quick.slow.end());
    return quick;
}

// encode() and encode_batch():
// 1. check the template and the options, and find the cache of its side;
// 2. read the rows and write each row's whole prompt;
// 3. tokenize the prompts by ids alone where that can lay them out;
// 4. the others (rows to cut, rows whose text spelled a protected token,
//    labelled rows) are tokenized with offsets, their tokens attributed,
//    protected spellings read as text, and their fields cut to fit;
// 5. lay the rows out in order (leaving out those that cannot fit, when
//    asked), pad and convert.
Ref encode_rows(TemplateObject& self, PyObject* rows_object, bool batch, const Options& options) {
    SharedContent content = self.record.content;
    check_read_whole(*content);
    Ref held_tokenizer = Ref::borrow(self.record.tokenizer ? self.record.tokenizer.get() : Py_None);
    const TokenizerView tokenizer = view_tokenizer(held_tokenizer.get());
    const CallOptions call = call_options(tokenizer, options, batch);
    std::shared_ptr<const EncodingCache> cache =
        encoding_cache(self, content, tokenizer, key_of(*content, tokenizer, options));
    const PromptPlan& plan = cache->plan;
    if (call.max_length && cache->own.tokens > *call.max_length) {
        PyErr_Format(PyExc_ValueError, messages::template_too_long, cache->own.tokens, *call.max_length);
        throw PythonError{};
    }
    const std::vector<std::uint8_t> shortenable = shortenable_pieces(*cache, options);
    const bool labelled = !cache->key.targets.empty();
    const std::size_t trailing = plan.causal && (plan.stops_at_slot || !labelled) ? cache->trailing_special : 0;

    // 2.
    const RowValues values = row_values(*cache, tokenizer, rows_object, batch);
    Prompts prompts(plan);
    write_prompts(plan, values, prompts);

    // 3. and 4.
    const QuickRows quick = quick_pass(*cache, prompts, call, labelled, trailing);
    std::vector<OwnedTokens> owned;
    if (!quick.slow.empty()) {
        if (std::optional<std::size_t> row = owned_tokens(*cache, prompts, quick.slow, owned)) {
            PyErr_Format(PyExc_ValueError, messages::mask_not_at_slot, *row, new_str(plan.mask_token).get());
            throw PythonError{};
        }
        replace_protected_spellings(*cache, tokenizer, prompts, quick.slow, owned);
    }

    // 5.
    std::vector<RowTokens> tokens(values.rows);
    for (std::size_t r = 0, next_slow = 0; r < values.rows; ++r) {
        if (next_slow < quick.slow.size() && quick.slow[next_slow] == r) {
            tokens[r].owned = &owned[next_slow++];
        } else {
            tokens[r] = {nullptr, quick.tokens.ids_of(quick.index[r]), quick.positions[r]};
        }
    }
    const LayoutRule rule{call.max_length, shortenable,       call.side,         cache->target_pieces,
                          cache->slot_words, values.answers,   trailing,          plan.stops_at_slot,
                          call.drop};
    EncodedRows rows(plan.slots, labelled);
    std::vector<std::size_t> row_index;
    if (std::optional<LayoutStop> stop = lay_out(tokens, rule, plan.pieces, rows, row_index)) {
        if (stop->kind == LayoutStop::too_long) {
            PyErr_Format(PyExc_ValueError, messages::row_too_long, stop->row, stop->needed, *call.max_length);
            throw PythonError{};
        }
        raise_word_pieces(tokenizer, cache->slot_options[stop->slot][stop->option], slot_name(plan, stop->slot),
                          cache->answers[stop->slot][stop->option]);
    }
    if (!call.max_length) warn_if_longer_than_model(rows, row_index, tokenizer);
    const Layout layout{padded_width(rows, call.padding), call.pad.value_or(0), call.left, batch, call.tensors,
                        plan.slots, call.drop ? &row_index : nullptr};
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

// Each slot's words written at the slot after the template text before it,
// tokenized in one batch without special tokens: a word's tokens are those
// that hold its characters.
Ref template_label_ids(TemplateObject& self, const Arguments&, const Options& options) {
    SharedContent content = self.record.content;
    Ref held_tokenizer = Ref::borrow(self.record.tokenizer ? self.record.tokenizer.get() : Py_None);
    const TokenizerView tokenizer = view_tokenizer(held_tokenizer.get());
    const std::vector<std::string> extra = names_of(options[label_option::slots].get(), "slots");
    check_names("slots", extra, *content);
    const bool single = flag_of(options[label_option::single_token].get(), "single_token", false);
    const LabelContexts contexts = label_contexts(content->fragments, extra);
    const std::vector<std::vector<std::vector<TokenId>>> slots =
        label_words(*make_encoder(tokenizer, false), tokenizer, contexts);
    Ref result = check(PyList_New(0));
    for (std::size_t s = 0; s < slots.size(); ++s) {
        Ref words = check(PyList_New(0));
        for (std::size_t w = 0; w < slots[s].size(); ++w) {
            const std::vector<TokenId>& ids = slots[s][w];
            Ref list = check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
            for (std::size_t k = 0; k < ids.size(); ++k) {
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), check(PyLong_FromUnsignedLongLong(ids[k])).release());
            }
            if (single && ids.size() != 1) {
                raise_word_pieces(tokenizer, contexts.slots[s]->options[w], contexts.slots[s]->string, ids);
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
