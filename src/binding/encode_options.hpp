// The options of encoding, for both template classes: the operations'
// option names and signatures, the options that shape the template's side
// (the cache key), and the readers that turn what a caller passed into plain
// values, one for what both classes read alike.
#pragma once

#include <optional>
#include <string>
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
    overflow, padding_side, pack
};
}
inline constexpr std::string_view encode_option_names[] = {
    "max_length", "shorten", "truncation_side", "slots", "mask_token", "add_special_tokens", "padding", "pad_token",
    "return_tensors", "targets", "overflow", "padding_side", "pack"};
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


// A str names one; an iterable of str names each of its items.
std::vector<std::string> names_of(PyObject* value, const char* option);
bool contains(const std::vector<std::string>& names, std::string_view name);
// A str or None option: null when not given or None.
PyObject* token_option(PyObject* value, const char* option);
std::optional<std::size_t> max_length_of(PyObject* value);
CutSide side_of(PyObject* value);
Padding padding_of(PyObject* value);
enum class Tensors { none, numpy, torch, arrow };
// return_tensors: None, 'np', 'pt' or, where the result may be ragged, 'arrow'.
Tensors tensors_of(PyObject* value, bool arrow = true);
// What a row too long does: raise, is left out, or (a conversation) is split into several.
enum class Overflow : std::uint8_t { raise, drop, split };
Overflow overflow_of(PyObject* value, bool may_split);
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
    bool pack = false;                      // the rows packed into rows of max_length tokens
    bool split = false;                     // a conversation too long split into runs of exchanges
};
// Reads them from the given values (null where not given); one row (encode) cannot be left out.
OutputOptions read_output_options(const TokenizerView& tokenizer, PyObject* max_length, PyObject* overflow,
                                  PyObject* padding, PyObject* pad_token, PyObject* padding_side,
                                  PyObject* return_tensors, PyObject* pack, bool batch, bool may_split);

// Where each of those options stands among an operation's options.
struct OutputOptionPlaces {
    std::size_t max_length, overflow, padding, pad_token, padding_side, return_tensors, pack;
    bool may_split;  // overflow="split" is one of the operation's choices
};

// The options every encode() reads, wherever `places` says they stand.
inline OutputOptions output_options(const TokenizerView& tokenizer, const Options& options,
                                    const OutputOptionPlaces& places, bool batch) {
    return read_output_options(tokenizer, options[places.max_length].get(), options[places.overflow].get(),
                               options[places.padding].get(), options[places.pad_token].get(),
                               options[places.padding_side].get(), options[places.return_tensors].get(),
                               options[places.pack].get(), batch, places.may_split);
}

// The cache key of a call; a name option that names nothing of the template is a ValueError.
EncodingKey key_of(const TemplateContent& content, const TokenizerView& tokenizer, const Options& options);

}  // namespace korvanta
