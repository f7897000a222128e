// The encoding cache: what encode() works out once for a template's content,
// its tokenizer as it is, and the options that shape the template's side;
// made from the template's plan and one trip to the tokenizer for its facts,
// published whole.
#include <algorithm>

#include "binding/encoding_cache.hpp"

#include "binding/encode_rows.hpp"

namespace korvanta {

int visit_encoding_cache(const EncodingCache& cache, visitproc visit, void* arg) {
    for (const Ref* held : {&cache.tokenizer, &cache.backend, &cache.encoder.backend, &cache.encoder.batch,
                            &cache.encoder.batch_ids}) {
        Py_VISIT(held->get());
    }
    if (std::shared_ptr<const Encoder> text_only = cache.beside.text_only) {
        for (const Ref* held : {&text_only->backend, &text_only->batch, &text_only->batch_ids}) Py_VISIT(held->get());
    }
    if (std::shared_ptr<const ModelPipeline> pipeline = cache.beside.pipeline) {
        for (const Ref* held : {&pipeline->split_type, &pipeline->normalize, &pipeline->normalize_str,
                                &pipeline->pre_tokenize, &pipeline->tokenize}) {
            Py_VISIT(held->get());
        }
    }
    return 0;
}

TokenBatch encode_prompts(const EncodingCache& cache, const Prompts& prompts, std::span<const std::size_t> rows,
                          bool offsets) {
    std::vector<std::string_view> texts;
    std::vector<std::size_t> characters;
    for (std::size_t row : rows) {
        texts.push_back(prompts.text(row));
        characters.push_back(prompts.characters(row));
    }
    return encode_texts(cache.encoder, texts, characters, cache.key.special_tokens, offsets);
}

std::optional<std::size_t> owned_tokens(const EncodingCache& cache, const Prompts& prompts,
                                        std::span<const std::size_t> rows, std::vector<OwnedTokens>& owned) {
    const TokenBatch batch = encode_prompts(cache, prompts, rows, true);
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

namespace {

// Each option of each target slot tokenized as label_ids() reads it.
std::vector<std::vector<std::vector<TokenId>>> answer_tokens(const EncodingCache& cache,
                                                             const LabelContexts& contexts) {
    auto answers = label_words(cache.encoder, cache.whitespace, contexts);
    answers.resize(cache.plan.slots);
    for (std::size_t s = 0; s < answers.size(); ++s) {
        if (!cache.plan.target_slots[s]) answers[s].clear();
    }
    return answers;
}

// The template with every field empty, read with offsets: its own tokens,
// and the mask at each slot.
void read_own_tokens(EncodingCache& cache) {
    const PromptPlan& plan = cache.plan;
    Prompts prompts(plan);
    std::vector<std::string_view> empty(plan.fields.size());
    prompts.add(empty);
    std::vector<OwnedTokens> owned;
    const std::size_t first[] = {0};
    if (owned_tokens(cache, prompts, first, owned)) {
        PyErr_Format(PyExc_ValueError, messages::mask_not_one_token, new_str(plan.mask_token).get());
        throw PythonError{};
    }
    cache.own = own_signature(owned[0], cache.protected_ids);
    cache.empty_tokens = owned[0].ids.size();
    cache.empty_characters = prompts.characters(0);
    const auto at_slots = std::count(cache.own.at_slot.begin(), cache.own.at_slot.end(), 1);
    if (!plan.causal && static_cast<std::size_t>(at_slots) != plan.slots) {
        throw InternalFailure{"the template's signature does not hold one mask token per slot"};
    }
}

// Which pieces are labelled, each slot's label words, and the tokens of each
// target slot's words (a word of one token is kept as its id).
void label_targets(EncodingCache& cache) {
    const PromptPlan& plan = cache.plan;
    cache.answers.resize(plan.slots);
    for (const PromptPart& part : plan.parts) {
        if (part.kind == PartKind::field) cache.target_pieces.push_back(plan.target_fields[part.field]);
    }
    cache.slot_words.resize(plan.slots);
    if (plan.causal) return;
    const LabelContexts contexts = label_contexts(cache.content->fragments, cache.key.extra_slots);
    cache.slot_options = contexts.words;
    if (std::find(plan.target_slots.begin(), plan.target_slots.end(), 1) != plan.target_slots.end()) {
        cache.answers = answer_tokens(cache, contexts);
    }
    for (std::size_t s = 0; s < cache.answers.size(); ++s) {
        for (const std::vector<TokenId>& word : cache.answers[s]) {
            cache.slot_words[s].push_back(word.size() == 1 ? std::optional<TokenId>(word[0]) : std::nullopt);
        }
    }
}

// The cache of a template's content for `key` and `tokenizer`:
// 1. its plan, an encoder and the tokenizer's facts;
// 2. the template with every field empty, read with offsets: its own
//    protected tokens and the mask at each slot;
// 3. which pieces and slots are labelled, with each target slot's words;
// 4. what a causal input leaves out after its content.
std::shared_ptr<const EncodingCache> build_cache(SharedContent content, EncodingKey key, const TokenizerView& tokenizer) {
    auto cache = std::make_shared<EncodingCache>();
    cache->content = content;
    cache->key = std::move(key);
    cache->tokenizer = Ref::borrow(tokenizer.object.get());
    cache->backend = Ref::borrow(tokenizer.backend.get());
    cache->shape = tokenizer.shape;
    cache->as_is = tokenizer.as_is;
    cache->plan = plan_prompt(content->fragments, cache->key.extra_slots, cache->key.mask_token, cache->key.targets);
    const PromptPlan& plan = cache->plan;
    cache->encoder = std::move(*make_encoder(tokenizer, false, cache->key.whole_offsets));
    const bool masks = plan.slots > 0 && !plan.causal;
    TokenizerFacts facts = tokenizer_facts(tokenizer, cache->encoder,
                                           masks ? std::optional<std::string>(plan.mask_token) : std::nullopt);
    cache->mask_id = facts.mask_id;
    cache->protected_ids = std::move(facts.protected_tokens);
    cache->whitespace = std::move(facts.whitespace);
    cache->ordinary_added = std::move(facts.ordinary_added);
    cache->vocabulary = facts.vocabulary;
    read_own_tokens(*cache);
    label_targets(*cache);
    if (plan.causal && cache->key.special_tokens && (plan.stops_at_slot || cache->key.targets.empty())) {
        cache->trailing_special = facts.trailing_special;
        cache->own.tokens -= std::min(cache->own.tokens, cache->trailing_special);
    }
    return cache;
}

// `last` while it is fresh for `content`, `key` and `tokenizer`; else a new
// cache. Made for other options with the same tokenizer, it takes over the
// text-only copy, and for the same content what its rows showed of their
// lengths (the fields' characters per token do not depend on the options).
std::shared_ptr<const EncodingCache> cache_for(const std::shared_ptr<const EncodingCache>& last,
                                               const SharedContent& content, const TokenizerView& tokenizer,
                                               EncodingKey key) {
    const bool same_vocabulary = last && last->backend.get() == tokenizer.backend.get() &&
                                 vocabulary_unchanged(tokenizer, last->vocabulary);
    if (same_vocabulary && last->content == content && last->key == key &&
        last->tokenizer.get() == tokenizer.object.get() && last->as_is == tokenizer.as_is) {
        return last;
    }
    std::shared_ptr<const EncodingCache> cache = build_cache(content, std::move(key), tokenizer);
    if (same_vocabulary && last->vocabulary == cache->vocabulary) {
        std::lock_guard guard(last->beside.lock);
        cache->beside.text_only = last->beside.text_only;
        if (last->content == content) cache->beside.lengths = last->beside.lengths;
    }
    return cache;
}

}  // namespace

// The cache for the template as it is, made when missing or stale and
// published whole, unless the template changed while it was made (its
// tokenizer runs Python code).
std::shared_ptr<const EncodingCache> encoding_cache(TemplateObject& self, const SharedContent& content,
                                                    const TokenizerView& tokenizer, EncodingKey key) {
    const std::shared_ptr<const EncodingCache> last = read_held(self, self.record.encoding);
    std::shared_ptr<const EncodingCache> cache = cache_for(last, content, tokenizer, std::move(key));
    if (cache == last) return cache;
    publish_cache(self, cache, [&] {
        return self.record.content == content && self.record.tokenizer.get() == tokenizer.object.get();
    });
    return cache;
}

TokenizerView view_known(PyObject* tokenizer, std::shared_ptr<const EncodingCache> last) {
    const bool known = last && last->tokenizer.get() == tokenizer;
    return view_tokenizer(tokenizer, known ? &last->shape : nullptr);
}

std::shared_ptr<const EncodingCache> tokenizer_cache(const std::shared_ptr<const EncodingCache>& last,
                                                     const TokenizerView& tokenizer, bool special_tokens) {
    EncodingKey key;
    key.special_tokens = special_tokens;
    key.whole_offsets = !special_tokens;
    return cache_for(last, empty_content(), tokenizer, std::move(key));
}

namespace {

// The text-only copies of tokenizers: one per backend (while its vocabulary
// is as it was) and interpreter, found by the caches of every template and
// option set that read with it. Each cache holds a handle of its own (its own
// references, which it reports to the collector); the entry lives while the
// handle of the last cache to make or find the copy does. A backend is
// compared by identity only while its entry lives, and that cache holds the
// backend too.
struct SharedCopy {
    const PyInterpreterState* interpreter;
    const PyObject* backend;
    VocabularyStamp vocabulary;
    bool whole_offsets;  // the copy has no post-processor to trim its offsets
    std::weak_ptr<const Encoder> encoder;
};

std::vector<SharedCopy>& shared_copies() {
    static std::vector<SharedCopy> copies;
    return copies;
}

// Guards the copies (without the interpreter lock, threads look them up at once).
CacheMutex& shared_copies_lock() {
    static CacheMutex lock;
    return lock;
}

// What `slot`, one of the caches beside `cache`, holds now.
template <class Value>
std::shared_ptr<const Value> cache_held(const EncodingCache& cache, const std::shared_ptr<const Value>& slot) {
    std::lock_guard guard(cache.beside.lock);
    return slot;
}

// Puts `made` in `slot` unless another call put one there meanwhile; returns
// the one in place. What is not kept is released after the lock.
template <class Value>
std::shared_ptr<const Value> keep_first(const EncodingCache& cache, std::shared_ptr<const Value>& slot,
                                        std::shared_ptr<const Value> made) {
    std::shared_ptr<const Value> kept;
    {
        std::lock_guard guard(cache.beside.lock);
        if (!slot) slot = made;
        kept = slot;
    }
    return kept;
}

SharedCopy* find_copy(const EncodingCache& cache) {
    std::vector<SharedCopy>& copies = shared_copies();
    std::erase_if(copies, [](const SharedCopy& entry) { return entry.encoder.expired(); });
    for (SharedCopy& entry : copies) {
        if (entry.interpreter == PyInterpreterState_Get() && entry.backend == cache.backend.get() &&
            entry.vocabulary == cache.vocabulary && entry.whole_offsets == cache.key.whole_offsets) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

// The text-only encoder, made on first need and kept beside the cache: the
// copy another template already made of the same tokenizer, or a new one. A
// tokenizer that cannot be copied (a component written in Python) reads
// spellings with its own encoder: those that still spell a protected token
// are then read character by character.
std::shared_ptr<const Encoder> text_only_encoder(const EncodingCache& cache, const TokenizerView& tokenizer) {
    if (std::shared_ptr<const Encoder> made = cache_held(cache, cache.beside.text_only)) return made;
    std::shared_ptr<const Encoder> made;
    std::shared_ptr<const Encoder> found;  // released after the lock: the last handle releases Python references
    {
        std::lock_guard guard(shared_copies_lock());
        if (SharedCopy* entry = find_copy(cache)) {
            if ((found = entry->encoder.lock())) {
                made = std::make_shared<const Encoder>(found->share());
                entry->encoder = made;
            }
        }
    }
    if (!made) {
        std::optional<Encoder> copy = make_encoder(tokenizer, true, cache.key.whole_offsets);
        const bool copied = copy.has_value();
        made = std::make_shared<const Encoder>(copied ? std::move(*copy) : cache.encoder.share());
        // Made while Python code ran: another call may have added this copy's entry meanwhile.
        std::lock_guard guard(shared_copies_lock());
        if (copied && !find_copy(cache)) {
            shared_copies().push_back(
                {PyInterpreterState_Get(), cache.backend.get(), cache.vocabulary, cache.key.whole_offsets, made});
        }
    }
    return keep_first(cache, cache.beside.text_only, std::move(made));
}

std::shared_ptr<const ModelPipeline> backend_pipeline(const EncodingCache& cache) {
    if (std::shared_ptr<const ModelPipeline> made = cache_held(cache, cache.beside.pipeline)) return made;
    return keep_first(cache, cache.beside.pipeline, std::make_shared<const ModelPipeline>(model_pipeline(cache.backend.get())));
}

const std::vector<TokenId>* SpellingsRead::find(std::string_view spelling) const {
    const auto found = read_.find(spelling);
    return found == read_.end() ? nullptr : &found->second;
}

void SpellingsRead::remember(std::string_view spelling, std::vector<TokenId> ids) {
    if (read_.size() < most) read_.try_emplace(std::string(spelling), std::move(ids));
}

}  // namespace korvanta
