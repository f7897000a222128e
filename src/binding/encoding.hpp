// What the parts of encoding share: the options of its operations and their
// signatures, the options that shape the template's side, the cache worked
// out once per template and tokenizer, the option readers, the rows read into
// plain values, and the layout of the result.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/template_record.hpp"
#include "binding/tokenizer.hpp"
#include "core/assembly.hpp"

namespace korvanta {

// The options of encode() and encode_batch(), and of label_ids(), in the order their enums give.
namespace encode_option {
enum : std::size_t {
    max_length, shorten, truncation_side, slots, mask_token, add_special_tokens, padding, pad_token, return_tensors, targets,
    overflow, padding_side
};
}
inline constexpr std::string_view encode_option_names[] = {
    "max_length", "shorten", "truncation_side", "slots", "mask_token", "add_special_tokens", "padding", "pad_token",
    "return_tensors", "targets", "overflow", "padding_side"};
namespace label_option {
enum : std::size_t { slots, single_token };
}
inline constexpr std::string_view label_option_names[] = {"slots", "single_token"};

inline constexpr std::string_view row_names[] = {"row"};
inline constexpr std::string_view rows_names[] = {"rows"};
inline constexpr Signature encode_signature{"PromptTemplate.encode()", row_names, 1, encode_option_names,
                                            Keywords::named, 1};
inline constexpr Signature encode_batch_signature{"PromptTemplate.encode_batch()", rows_names, 1,
                                                  encode_option_names, Keywords::named, 1};
inline constexpr Signature label_ids_signature{"PromptTemplate.label_ids()", {}, 0, label_option_names};

// The options that shape the template's side.
struct EncodingKey {
    std::vector<std::string> extra_slots;   // controls named by slots=, UTF-8
    std::optional<std::string> mask_token;  // the token written at slots; none: causal (input ends at the first slot)
    bool special_tokens = true;             // the tokenizer's own special tokens around the row
    std::vector<std::string> targets;       // fields and slots named by targets=, UTF-8
    bool whole_offsets = false;             // offsets untrimmed: read without special tokens, by a conversation

    bool operator==(const EncodingKey&) const = default;
};

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
// published in one step; never changed after, but for the three caches at its end.
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
    // the spellings read) or published in one step once made (the encoders);
    // all but the ints (kept only under the interpreter lock) under `caches`.
    mutable CacheMutex caches;
    mutable std::unordered_map<std::int64_t, Ref> int_objects;  // the int of each value handed out so far
    mutable std::shared_ptr<const Encoder> text_only;     // reads special tokens in text as text, made on first need
    mutable std::shared_ptr<const ModelPipeline> pipeline;  // the backend's parts, looked up on first need
    mutable SpellingsRead spellings_read;  // what each protected spelling read so far reads as, as text
    mutable LengthModel lengths;  // what rows have shown of their fields' characters per token

    // A row of `characters` characters tokenized into `tokens` tokens, for
    // the length model, which reads the fields' part of both.
    void observe_length(std::size_t characters, std::size_t tokens) const noexcept {
        std::lock_guard guard(caches);
        lengths.observe(characters - std::min(characters, empty_characters),
                        tokens - std::min(tokens, empty_tokens));
    }
    // Whether a row of `characters` characters is likely to need more than `limit` tokens.
    bool likely_cut(std::size_t characters, std::size_t limit) const noexcept {
        std::lock_guard guard(caches);
        return lengths.likely_cut(characters - std::min(characters, empty_characters),
                                  limit - std::min(limit, empty_tokens));
    }
    // The same for whole texts (the tokenizer's side alone).
    void observe_text(std::size_t characters, std::size_t tokens) const noexcept {
        std::lock_guard guard(caches);
        lengths.observe(characters, tokens);
    }
    // The characters per token of the middle text seen, or 0 before any.
    double typical_characters_per_token() const noexcept {
        std::lock_guard guard(caches);
        return lengths.typical();
    }
    bool lengths_seen() const noexcept {
        std::lock_guard guard(caches);
        return lengths.ready();
    }

    // The int object of `value` (an id, a label, a position), made once where
    // the interpreter lock orders the calls: results hold the same few
    // thousand ints many times. Without the lock, made each time.
    Ref int_object(std::int64_t value) const {
#ifdef Py_GIL_DISABLED
        return check(PyLong_FromLongLong(value));
#else
        Ref& object = int_objects[value];
        if (!object) object = check(PyLong_FromLongLong(value));
        return Ref::borrow(object.get());
#endif
    }
};

// ---------------------------------------------------------------- the cache (encoding_cache.cpp)

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

// Tokenizes the prompts `rows`, with offsets or by ids alone.
TokenBatch encode_prompts(const EncodingCache& cache, const Prompts& prompts, std::span<const std::size_t> rows,
                          bool offsets);

// Tokenizes the prompts `rows` with offsets and attributes their tokens.
// Returns the first row whose slots do not each hold one mask token, or none.
std::optional<std::size_t> owned_tokens(const EncodingCache& cache, const Prompts& prompts,
                                        std::span<const std::size_t> rows, std::vector<OwnedTokens>& owned);

// ---------------------------------------------------------------- label words (label_words.cpp)

// The tokens of each option of each slot as it reads at its slot: slot after
// slot, option after option.
std::vector<std::vector<std::vector<TokenId>>> label_words(const Encoder& encoder, const IdSet& whitespace,
                                                           const LabelContexts& contexts);

// The ValueError of a label word that is not one token: its pieces as the tokenizer spells them.
[[noreturn]] void raise_word_pieces(const TokenizerView& tokenizer, std::string_view word, std::string_view slot,
                                    std::span<const TokenId> ids);

// ---------------------------------------------------------------- options (encode_options.cpp)

// A str names one; an iterable of str names each of its items.
std::vector<std::string> names_of(PyObject* value, const char* option);
bool contains(const std::vector<std::string>& names, std::string_view name);
// A str or None option: null when not given or None.
PyObject* token_option(PyObject* value, const char* option);
std::optional<std::size_t> max_length_of(PyObject* value);
CutSide side_of(PyObject* value);
Padding padding_of(PyObject* value);
enum class Tensors { none, numpy, torch };
Tensors tensors_of(PyObject* value);
// overflow="raise" (false) or "drop" (true).
bool drops_overflow(PyObject* value);
// padding_side: "right" (false) or "left" (true); by default the tokenizer's
// own side when padding, else right.
bool pads_left(PyObject* value, const TokenizerView& tokenizer, bool padding);
// The id padding is made of: pad_token= (a str or None), by default the
// tokenizer's own; none when not padding, a ValueError when there is none or
// the tokenizer does not know it.
std::optional<TokenId> pad_id_of(PyObject* value, const TokenizerView& tokenizer, bool padding);
// A True or False option, `absent` when not given.
bool flag_of(PyObject* value, const char* option, bool absent);
// A name option's names must each be a control of the template.
void check_names(const char* option, const std::vector<std::string>& names, const TemplateContent& content);
// The options every encode() and encode_batch() reads alike, in both classes.
struct OutputOptions {
    std::optional<std::size_t> max_length;  // the most tokens a row may have
    Padding padding;                        // how wide rows are padded
    std::optional<TokenId> pad;             // the pad id, when padding
    Tensors tensors;                        // lists, arrays or tensors
    bool drop = false;                      // rows that cannot fit are left out
    bool left = false;                      // padding goes before the row
};
// Reads them from the given values (null where not given); one row (encode) cannot be left out.
OutputOptions read_output_options(const TokenizerView& tokenizer, PyObject* max_length, PyObject* overflow,
                                  PyObject* padding, PyObject* pad_token, PyObject* padding_side,
                                  PyObject* return_tensors, bool batch);

// Where option `name` stands among a signature's options.
consteval std::size_t option_at(std::span<const std::string_view> names, std::string_view name) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) return i;
    }
    throw "an option the signature does not name";
}

// The options every encode() reads, wherever `signature` places them.
template <const Signature& signature>
OutputOptions output_options(const TokenizerView& tokenizer, const Options& options, bool batch) {
    constexpr std::span<const std::string_view> names = signature.options;
    return read_output_options(
        tokenizer, options[option_at(names, "max_length")].get(), options[option_at(names, "overflow")].get(),
        options[option_at(names, "padding")].get(), options[option_at(names, "pad_token")].get(),
        options[option_at(names, "padding_side")].get(), options[option_at(names, "return_tensors")].get(), batch);
}

// The cache key of a call; a name option that names nothing of the template is a ValueError.
EncodingKey key_of(const TemplateContent& content, const TokenizerView& tokenizer, const Options& options);

// ---------------------------------------------------------------- rows (encode_rows.cpp)

// What the rows hold for the template: per row, the text of each field (a
// causal target slot's answer written as its option), and the index of the
// answer to each target slot.
struct RowValues {
    std::vector<Ref> texts;            // row after row, one str per field
    std::vector<std::size_t> answers;  // row after row, one per slot part (target slots only; else 0)
    std::size_t rows = 0;
};

// Reads rows: one mapping, a sequence of mappings, or a mapping of columns.
RowValues row_values(const EncodingCache& cache, const TokenizerView& tokenizer, PyObject* rows, bool batch);

// The name of a plan's slot part `slot`.
std::string_view slot_name(const PromptPlan& plan, std::size_t slot);

// Each row's whole prompt, written from its values.
void write_prompts(const PromptPlan& plan, const RowValues& values, Prompts& prompts);

// Replaces, in each row of `owned` (whose text is `texts[i]`), the protected
// tokens its fields' text spelled by what that text reads as.
// The KeyError of a batch of columns without column `name`, and the
// ValueError of a column whose length is not the first one's: the same for
// both template classes.
[[noreturn]] void raise_missing_column(PyObject* batch, const char* name);
[[noreturn]] void raise_ragged_column(const char* name, Py_ssize_t size, const char* first, Py_ssize_t rows);

void replace_protected_spellings(const EncodingCache& cache, const TokenizerView& tokenizer,
                                 std::span<const std::string_view> texts, std::vector<OwnedTokens>& owned);

// ---------------------------------------------------------------- results (encode_results.cpp)

// How encoded rows become the result's values.
struct Layout {
    std::size_t width;       // padded width, 0 for none
    TokenId pad;             // the pad id
    bool left;               // padding goes before the row
    bool batch;              // a list (or array) per row, or one row
    Tensors tensors;         // lists, numpy arrays or torch tensors
    std::size_t slots;       // slot positions per row
    const std::vector<std::size_t>* row_index;  // the input index of each row kept, when rows may be dropped
    bool positions = true;   // a mask_positions column
};

// The result dict: input_ids, attention_mask, mask_positions, and labels and row_index when there are.
Ref encoded_result(const EncodingCache& cache, const EncodedRows& rows, Layout layout);

}  // namespace korvanta
