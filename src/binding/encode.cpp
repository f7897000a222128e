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

#include "binding/encode_results.hpp"
#include "binding/encode_rows.hpp"
#include "binding/packing.hpp"

namespace korvanta {

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
    "on padding_side; return_tensors='np' or 'pt' gives int64 arrays or tensors, 'arrow' pyarrow\n"
    "arrays (rows as list arrays, any lengths); pack=True packs the rows into rows of max_length\n"
    "tokens, as korvanta.pack() does.";

const char label_ids_doc[] =
    "label_ids($self, /, **options)\n--\n\n"
    "The token ids of each slot's label words (its options), slot by slot, as each word\n"
    "reads at its slot, after the template text before it. Options: slots=names,\n"
    "single_token=True (a word of several tokens is then an error).";

namespace {

// ---------------------------------------------------------------- the template's side

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
struct CallOptions : OutputOptions {
    CutSide side;  // which end of a field loses tokens
};

CallOptions call_options(const TokenizerView& tokenizer, const Options& options, bool batch) {
    constexpr OutputOptionPlaces places{encode_option::max_length,   encode_option::overflow,
                                        encode_option::padding,      encode_option::pad_token,
                                        encode_option::padding_side, encode_option::return_tensors,
                                        encode_option::pack,         false};
    return {output_options(tokenizer, options, places, batch),
            side_of(options[encode_option::truncation_side].get())};
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

// The rows read by ids alone: a row that fits and whose protected tokens
// are the template's own is laid out as the tokenizer gave it.
struct QuickRows {
    TokenBatch tokens;                                // ids of the rows tokenized without offsets
    std::vector<std::size_t> index;                   // per row, its place in `tokens` (rows: not there)
    std::vector<std::vector<std::size_t>> positions;  // per row, its slots' positions
    std::vector<std::size_t> slow;                    // the rows that need offsets, in order
};

// Tokenizes by ids alone the rows that may be laid out so: not rows whose
// labels need offsets, nor those the rows seen before say will be cut (they
// would be tokenized twice). Before any row of the template has been seen,
// its first few are read first to learn from. Where most rows will be cut,
// all are read with offsets in one pass: the few that fit pay a third more,
// none pays twice.
QuickRows quick_pass(const EncodingCache& cache, const Prompts& prompts, const CallOptions& call, bool needs_offsets,
                     std::size_t trailing) {
    const std::size_t rows = prompts.size();
    QuickRows quick{{}, std::vector<std::size_t>(rows, rows), std::vector<std::vector<std::size_t>>(rows), {}};
    // The `asked` rows by ids: those too long, or whose text spelled a protected token, need offsets after all.
    auto read_by_ids = [&](std::span<const std::size_t> asked) {
        const std::size_t base = quick.tokens.size();
        quick.tokens.append(encode_prompts(cache, prompts, asked, false));
        for (std::size_t i = 0; i < asked.size(); ++i) {
            const std::size_t r = asked[i];
            const std::span<const TokenId> ids = quick.tokens.ids_of(base + i);
            quick.index[r] = base + i;
            cache.observe_length(prompts.characters(r), ids.size());
            const std::size_t length = ids.size() - std::min(ids.size(), trailing);
            const bool fits = !call.max_length || length <= *call.max_length;
            if (!fits || !cache.own.slot_positions(ids, cache.protected_ids, quick.positions[r])) quick.slow.push_back(r);
        }
    };
    const bool predict = call.max_length && !needs_offsets;
    std::vector<std::size_t> asked;
    const std::size_t first = rows_to_learn_from(cache, predict, rows);
    if (first > 0) {
        for (std::size_t r = 0; r < first; ++r) asked.push_back(r);
        read_by_ids(asked);
        asked.clear();
    }
    std::vector<std::uint8_t> likely_cut(rows, 0);
    std::size_t predicted = 0;
    for (std::size_t r = first; predict && r < rows; ++r) {
        likely_cut[r] = cache.likely_cut(prompts.characters(r), *call.max_length + trailing);
        predicted += likely_cut[r];
    }
    const bool all_slow = needs_offsets || 2 * predicted > rows - first;
    for (std::size_t r = first; r < rows; ++r) (all_slow || likely_cut[r] ? quick.slow : asked).push_back(r);
    read_by_ids(asked);
    std::sort(quick.slow.begin(), quick.slow.end());
    return quick;
}

// The rows that need offsets, tokenized with them, their tokens attributed
// and the protected tokens their text spelled read as text.
std::vector<OwnedTokens> attributed_rows(const EncodingCache& cache, const TokenizerView& tokenizer,
                                         const Prompts& prompts, const std::vector<std::size_t>& slow) {
    std::vector<OwnedTokens> owned;
    if (slow.empty()) return owned;
    if (std::optional<std::size_t> row = owned_tokens(cache, prompts, slow, owned)) {
        PyErr_Format(PyExc_ValueError, messages::mask_not_at_slot, *row, new_str(cache.plan.mask_token).get());
        throw PythonError{};
    }
    for (std::size_t i = 0; i < slow.size(); ++i) cache.observe_length(prompts.characters(slow[i]), owned[i].ids.size());
    std::vector<std::string_view> texts;
    for (std::size_t row : slow) texts.push_back(prompts.text(row));
    replace_protected_spellings(cache, tokenizer, texts, owned);
    return owned;
}

// Every row's tokens, in order: as the quick pass read them, or attributed.
std::vector<RowTokens> row_tokens(std::size_t rows, const QuickRows& quick, std::vector<OwnedTokens>& owned) {
    std::vector<RowTokens> tokens(rows);
    for (std::size_t r = 0, next_slow = 0; r < rows; ++r) {
        if (next_slow < quick.slow.size() && quick.slow[next_slow] == r) {
            tokens[r].owned = &owned[next_slow++];
        } else {
            tokens[r] = {nullptr, quick.tokens.ids_of(quick.index[r]), quick.positions[r]};
        }
    }
    return tokens;
}

// Why the rows could not be laid out: a row too long to fit, or an answer
// whose label word is not one token.
[[noreturn]] void raise_layout_stop(const LayoutStop& stop, const EncodingCache& cache, const TokenizerView& tokenizer,
                                    const CallOptions& call) {
    if (stop.kind == LayoutStop::too_long) {
        PyErr_Format(PyExc_ValueError, messages::row_too_long, stop.row, stop.needed, *call.max_length);
        throw PythonError{};
    }
    raise_word_pieces(tokenizer, cache.slot_options[stop.slot][stop.option], slot_name(cache.plan, stop.slot),
                      cache.answers[stop.slot][stop.option]);
}

// encode() and encode_batch():
// 1. check the template and the options, and find the cache of its side;
// 2. read the rows and write each row's whole prompt;
// 3. tokenize the prompts by ids alone where that can lay them out;
// 4. the others (rows to cut, rows whose text spelled a protected token,
//    rows whose fields are labelled) are tokenized with offsets, their
//    tokens attributed, protected spellings read as text, and their fields
//    cut to fit;
// 5. lay the rows out in order (leaving out those that cannot fit, when
//    asked), pad and convert.
Ref encode_rows(TemplateObject& self, PyObject* rows_object, bool batch, const Options& options) {
    SharedContent content;
    HeldTokenizer held = read_tokenizer(self, [&] { content = self.record.content; });
    check_read_whole(*content);
    const TokenizerView tokenizer = view_known(held.object.get(), std::move(held.last));
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
    // Only a field's labels need offsets (which tokens hold its characters);
    // a masked slot's label is its answer's id at the mask.
    const bool needs_offsets =
        labelled && (plan.causal || std::find(cache->target_pieces.begin(), cache->target_pieces.end(), 1) !=
                                        cache->target_pieces.end());

    // 2.
    const RowValues values = row_values(*cache, tokenizer, rows_object, batch);
    Prompts prompts(plan);
    write_prompts(plan, values, prompts);

    // 3. and 4.
    const QuickRows quick = quick_pass(*cache, prompts, call, needs_offsets, trailing);
    std::vector<OwnedTokens> owned = attributed_rows(*cache, tokenizer, prompts, quick.slow);

    // 5.
    std::vector<RowTokens> tokens = row_tokens(values.rows, quick, owned);
    const LayoutRule rule{call.max_length, shortenable,       call.side,         cache->target_pieces,
                          cache->slot_words, values.answers,   trailing,          plan.stops_at_slot,
                          call.drop};
    EncodedRows rows(plan.slots, labelled);
    std::vector<std::size_t> row_index;
    if (std::optional<LayoutStop> stop = lay_out(tokens, rule, plan.pieces, rows, row_index)) {
        raise_layout_stop(*stop, *cache, tokenizer, call);
    }
    if (!call.max_length) warn_if_longer_than_model(rows, row_index, tokenizer);
    if (call.pack) return pack_encoded(rows, call.drop ? &row_index : nullptr, call);
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
    SharedContent content;
    const HeldTokenizer held = read_tokenizer(self, [&] { content = self.record.content; });
    const TokenizerView tokenizer = view_tokenizer(held.object.get());
    const std::vector<std::string> extra = names_of(options[label_option::slots].get(), "slots");
    check_names("slots", extra, *content);
    const bool single = flag_of(options[label_option::single_token].get(), "single_token", false);
    const LabelContexts contexts = label_contexts(content->fragments, extra);
    const std::vector<std::vector<std::vector<TokenId>>> slots =
        label_words(*make_encoder(tokenizer, false), whitespace_pieces(tokenizer.backend.get()), contexts);
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
    SharedContent content = read_held(self, self.record.content);
    return names_of_controls(*content, false);
}

Ref template_slots(TemplateObject& self) {
    SharedContent content = read_held(self, self.record.content);
    return names_of_controls(*content, true);
}

}  // namespace korvanta
