// What encoding works out once per template (or conversation template) and
// tokenizer: the cache, published whole and replaced whole, the caches
// beside it (the spellings read among them), and reading a template's
// tokenizer and cache in one step.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/encode_options.hpp"
#include "binding/object_lock.hpp"

namespace korvanta {

// What the protected tokens spelled in rows read as, as text (a few spellings
// each read many times), kept to a bound.
class SpellingsRead {
   public:
    static constexpr std::size_t most = 1024;

    // The ids `spelling` reads as, when it was read before.
    const std::vector<TokenId>* find(std::string_view spelling) const;
    void remember(std::string_view spelling, std::vector<TokenId> ids);

   private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
    };
    std::unordered_map<std::string, std::vector<TokenId>, Hash, std::equal_to<>> read_;
};

// What encode() works out once for a template's content, its tokenizer as it
// was then, and the options that shape the template's side. Made whole, then
// published in one step; never changed after, but for what `beside` holds.
struct EncodingCache {
    SharedContent content;         // the content it was made for
    EncodingKey key;               // the options it was made for
    Ref tokenizer;                 // the template's tokenizer it was made for
    Ref backend;                   // that tokenizer's backend
    TokenizerShape shape;          // the attributes that tokenizer has
    VocabularyStamp vocabulary;    // the backend's vocabulary then (tokens added since make it stale)
    bool as_is = false;            // whether the backend was called as it is
    PromptPlan plan;               // the template read as text, fields and slots
    Encoder encoder;               // tokenizes the prompts
    std::optional<TokenId> mask_id;  // the mask token's id, when the template has slots
    ProtectedTokens protected_ids;  // the ids no row text may make, with their spellings
    IdSet whitespace;              // the lone whitespace pieces the vocabulary holds
    std::vector<AddedText> ordinary_added;  // the added tokens that are not special
    OwnSignature own;              // the template's own protected tokens, for rows read without offsets
    std::size_t empty_tokens = 0;      // the tokens of the template with every field empty
    std::size_t empty_characters = 0;  // and its characters
    std::vector<std::vector<std::vector<TokenId>>> answers;  // per slot part: each option's tokens when it is a target
    std::vector<std::vector<std::optional<TokenId>>> slot_words;  // per slot part: each option's one token (none: several)
    std::vector<std::vector<std::string>> slot_options;      // per slot part: its options, without whitespace around
    std::vector<std::uint8_t> target_pieces;                 // per field piece: its tokens are labelled
    std::size_t trailing_special = 0;  // the special tokens after a text's content, dropped after a causal input

    // Caches beside the value, filled by code that runs no Python (the ints,
    // the spellings read, the lengths) or published in one step once made
    // (the encoder, the parts): all but the ints (kept only under the
    // interpreter lock) under `lock`.
    struct Beside {
        CacheMutex lock;
        std::unordered_map<std::int64_t, Ref> int_objects;  // the int of each value handed out so far
        std::shared_ptr<const Encoder> text_only;       // reads special tokens in text as text, made on first need
        std::shared_ptr<const ModelPipeline> pipeline;  // the backend's parts, looked up on first need
        SpellingsRead spellings_read;  // what each protected spelling read so far reads as, as text
        LengthModel lengths;           // what rows have shown of their fields' characters per token
    };
    mutable Beside beside;

    // A row of `characters` characters tokenized into `tokens` tokens, for
    // the length model, which reads the fields' part of both.
    void observe_length(std::size_t characters, std::size_t tokens) const noexcept {
        std::lock_guard guard(beside.lock);
        beside.lengths.observe(characters - std::min(characters, empty_characters),
                        tokens - std::min(tokens, empty_tokens));
    }
    // Whether a row of `characters` characters is likely to need more than `limit` tokens.
    bool likely_cut(std::size_t characters, std::size_t limit) const noexcept {
        std::lock_guard guard(beside.lock);
        return beside.lengths.likely_cut(characters - std::min(characters, empty_characters),
                                  limit - std::min(limit, empty_tokens));
    }
    // The same for whole texts (the tokenizer's side alone).
    void observe_text(std::size_t characters, std::size_t tokens) const noexcept {
        std::lock_guard guard(beside.lock);
        beside.lengths.observe(characters, tokens);
    }
    // The characters per token of the middle text seen, or 0 before any.
    double typical_characters_per_token() const noexcept {
        std::lock_guard guard(beside.lock);
        return beside.lengths.typical();
    }
    bool lengths_seen() const noexcept {
        std::lock_guard guard(beside.lock);
        return beside.lengths.ready();
    }

    // The int object of `value` (an id, a label, a position), made once where
    // the interpreter lock orders the calls: results hold the same few
    // thousand ints many times. Without the lock, made each time.
    Ref int_object(std::int64_t value) const {
        if constexpr (without_interpreter_lock) return check(PyLong_FromLongLong(value));
        Ref& object = beside.int_objects[value];
        if (!object) object = check(PyLong_FromLongLong(value));
        return Ref::borrow(object.get());
    }
};


// The cache for the template as it is, made when missing or stale and
// published whole, unless the template changed while it was made (its
// tokenizer runs Python code).
std::shared_ptr<const EncodingCache> encoding_cache(TemplateObject& self, const SharedContent& content,
                                                    const TokenizerView& tokenizer, EncodingKey key);

// The view of `tokenizer`: where `last` was made from this very object, only
// the attributes it learnt the object has are read (`last` is held: reading
// runs Python code, which may replace the caller's cache).
TokenizerView view_known(PyObject* tokenizer, std::shared_ptr<const EncodingCache> last);

// What encode() reads of a template or conversation template in one step
// (object_lock.hpp): its tokenizer (None once cleared) and its last cache,
// with what `also()` copies of it.
struct HeldTokenizer {
    Ref object;
    std::shared_ptr<const EncodingCache> last;
};
template <class Object, class Also>
HeldTokenizer read_tokenizer(Object& self, Also&& also) noexcept {
    HeldTokenizer held;
    locked_step(self_of(self), [&] {
        also();
        held.object = Ref::borrow(self.record.tokenizer ? self.record.tokenizer.get() : Py_None);
        held.last = self.record.encoding;
    });
    return held;
}

// Puts `cache` in place in `self` in one step, unless `current()` (read in
// that step) says the object changed while it was made; what it replaces is
// released after the step (its release may run a finalizer that encodes again).
template <class Object, class Current>
void publish_cache(Object& self, const std::shared_ptr<const EncodingCache>& cache, Current&& current) {
    std::shared_ptr<const EncodingCache> old;
    locked_step(self_of(self), [&] {
        if (current()) old = std::exchange(self.record.encoding, cache);
    });
}

// A first batch with a limit reads this many rows whole first, to learn the
// characters per token that guess the rest, where it has rows enough that
// guessing pays; none otherwise.
inline constexpr std::size_t learning_rows = 32;
inline std::size_t rows_to_learn_from(const EncodingCache& cache, bool limited, std::size_t rows) noexcept {
    return limited && !cache.lengths_seen() && rows > 2 * learning_rows ? learning_rows : 0;
}

// The tokenizer's side alone (the cache of a template of no text), for
// conversations: `last` while it is fresh, else a new one.
std::shared_ptr<const EncodingCache> tokenizer_cache(const std::shared_ptr<const EncodingCache>& last,
                                                     const TokenizerView& tokenizer, bool special_tokens);

// The encoder that reads special tokens written in text as text, made on first need.
std::shared_ptr<const Encoder> text_only_encoder(const EncodingCache& cache, const TokenizerView& tokenizer);

// The backend's parts that read text without a copy, looked up on first need (empty when it has none).
std::shared_ptr<const ModelPipeline> backend_pipeline(const EncodingCache& cache);


// Visits the Python objects an encoding cache holds, for a class's traverse.
int visit_encoding_cache(const EncodingCache& cache, visitproc visit, void* arg);

}  // namespace korvanta
