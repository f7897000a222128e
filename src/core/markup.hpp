// The reader of the template markup: text runs, escapes (\\ \[ \]) and
// controls such as [name|opt1,opt2]. Parsing never rejects its input: it stops
// at the first place that is not well formed and reports what it read so far.
//
// The parser hands each fragment to a sink as soon as it is complete, so a
// caller can build its own objects without an intermediate list:
//   sink.text(std::string_view run)        a text fragment that is one slice of the input
//   sink.text(std::string&& merged)        a text fragment merged from runs and escapes
//   sink.control(name, std::span<const std::string_view> options)
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/inline_vector.hpp"
#include "core/record.hpp"

namespace korvanta {

struct ParsedMarkup {
    std::string_view remainder;  // unconsumed tail, empty when the whole input was read
    FragmentList fragments;      // fragments in markup order, adjacent text merged
};

// One left-to-right pass over UTF-8 text; linear in the input. With a keeper
// of the input, the records view it (see RecordSink).
ParsedMarkup parse_markup(std::string_view input, TextKeeper* keeper = nullptr);

// About how many fragments `input` parses to, to make room for them up front:
// up to 4 KB, an upper bound (exact for markup that alternates text and
// controls); beyond, the share of brackets in the first 4 KB, extrapolated,
// and at most 65,536.
std::size_t fragment_count_estimate(std::string_view input) noexcept;

// Why parsing stopped where it did.
enum class MarkupFault {
    unescaped_close,     // a ']' in text
    lone_backslash,      // a backslash not followed by '\', '[' or ']', or at the end
    unclosed_control,    // a control that runs into the end of the text
    bracket_in_control,  // a '[' inside a control
    empty_name,          // nothing between '[' and ']', '|', '#' or ','
    hash_in_name,        // '#' right after a name
    comma_in_name,       // ',' right after a name
    empty_option,        // a separator or ']' where an option must start
    second_bar,          // a second '|' in a control
};

struct MarkupStop {
    MarkupFault fault;
    std::size_t offset;  // byte offset of the first byte that does not fit (of '[' for an unclosed control)
};

// The reason for a parse that stopped at byte `offset` of `input`, before the
// end: the element there is read again by the parser, which says where it
// stopped fitting and why.
MarkupStop describe_stop(std::string_view input, std::size_t offset);

// Whether the `size` bytes at `p` are all ASCII: decides the kind of str that
// new text needs.
bool is_ascii(const char* p, std::size_t size) noexcept;

// How many bytes of `text` are backslashes or brackets, the bytes that a text
// fragment writes as escapes.
std::size_t count_escaped(std::string_view text) noexcept;

namespace detail {

enum : std::uint8_t {
    TOP_SPECIAL = 1,  // ends a text run: backslash, left and right bracket
    WORD_END = 2,     // ends a name or an option: [ ] | # ,
    SEPARATOR = 4,    // separates options: # ,
};

inline constexpr std::array<std::uint8_t, 256> character_classes = [] {
    std::array<std::uint8_t, 256> table{};
    table['\\'] = TOP_SPECIAL;
    table['['] = TOP_SPECIAL | WORD_END;
    table[']'] = TOP_SPECIAL | WORD_END;
    table['|'] = WORD_END;
    table['#'] = WORD_END | SEPARATOR;
    table[','] = WORD_END | SEPARATOR;
    return table;
}();

inline bool has_class(char c, std::uint8_t cls) noexcept {
    return (character_classes[static_cast<unsigned char>(c)] & cls) != 0;
}

// First byte in [p, end) that ends a text run, or end.
const char* find_text_end(const char* p, const char* end) noexcept;

inline const char* skip_word(const char* p, const char* end) noexcept {
    while (p < end && !has_class(*p, WORD_END)) ++p;
    return p;
}

inline const char* skip_separator(const char* p, const char* end) noexcept {
    while (p < end && has_class(*p, SEPARATOR)) ++p;
    return p;
}

// The options of the control being read: views into the input, kept in place
// for the usual few and on the heap beyond that.
using OptionViews = InlineVector<std::string_view, 8>;

// How reading a control ended. Matched: no fault, and `at` is the byte after
// its closing bracket. Not matched: `fault` says why and `at` is the first byte
// that does not fit (the '[' itself for a control that runs into the end).
struct ControlRead {
    const char* at;
    std::optional<MarkupFault> fault;
};

// Reads one control at `open` (a left bracket): its name and options into
// `name` and `options`.
ControlRead read_control(const char* open, const char* end, std::string_view& name, OptionViews& options);

// Text waiting to become one fragment: a slice of the input until an escape
// forces a copy, then a string that later runs and escapes are appended to.
class PendingText {
   public:
    void add(std::string_view piece) {
        if (!has_) {
            view_ = piece;
            has_ = true;
        } else {
            if (!merged_) {
                buffer_.assign(view_);
                merged_ = true;
            }
            buffer_.append(piece);
        }
    }

    template <class Sink>
    void flush(Sink& sink) {
        if (!has_) return;
        if (merged_) {
            sink.text(std::move(buffer_));
            buffer_ = std::string();
        } else {
            sink.text(view_);
        }
        has_ = merged_ = false;
    }

   private:
    std::string_view view_;  // the text while it is one slice of the input
    std::string buffer_;     // the text once pieces had to be joined
    bool has_ = false;       // some text is waiting
    bool merged_ = false;    // the text lives in buffer_
};

}  // namespace detail

// A sink that hands each fragment, as a whole record, to `take`: called with
// a maker that returns the record, so that `take` can make it right where it
// keeps it. With a keeper of the input, records view the input and count on
// the keeper; without one, each copies what it holds.
template <class Take>
struct RecordSink {
    Take take;                     // called with a maker of each new PromptFragment, in markup order
    TextKeeper* keeper = nullptr;  // keeps the input, or null

    // Records that view the input are made without failing; copies may not be.
    void text(std::string_view run) {
        if (keeper) {
            take([&]() noexcept { return PromptFragment{SharedText(run, *keeper), {}}; });
        } else {
            take([&] { return PromptFragment{SharedText(run), {}}; });
        }
    }
    void text(std::string&& merged) {
        take([&] { return PromptFragment{SharedText(merged), {}}; });
    }
    void control(std::string_view name, std::span<const std::string_view> options) {
        // The options as one run of the input, from the first to the end of the last.
        std::string_view run;
        if (!options.empty()) {
            run = std::string_view(options.front().data(),
                                   static_cast<std::size_t>(options.back().data() + options.back().size() - options.front().data()));
        }
        if (keeper) {
            take([&]() noexcept { return PromptFragment{SharedText(name, *keeper), OptionList::parsed(run, *keeper)}; });
        } else {
            take([&] { return PromptFragment{SharedText(name), OptionList::parsed(run)}; });
        }
    }
};

template <class Take>
RecordSink(Take) -> RecordSink<Take>;
template <class Take>
RecordSink(Take, TextKeeper*) -> RecordSink<Take>;

// A sink that keeps nothing: parsing into it only finds where parsing stops.
struct NullSink {
    void text(std::string_view) noexcept {}
    void text(std::string&&) noexcept {}
    void control(std::string_view, std::span<const std::string_view>) noexcept {}
};

// Parses `input` into `sink`; returns the unconsumed remainder.
template <class Sink>
std::string_view parse_markup_into(std::string_view input, Sink& sink) {
    using namespace detail;
    const char* p = input.data();
    const char* const end = p + input.size();
    PendingText text;
    OptionViews options;  // reused by every control
    // At each position try escape, then control, then text; stop where none matches.
    while (p < end) {
        if (*p == '\\') {
            if (end - p < 2 || !has_class(p[1], TOP_SPECIAL)) break;
            text.add(std::string_view(p + 1, 1));
            p += 2;
        } else if (*p == '[') {
            std::string_view name;
            ControlRead read = read_control(p, end, name, options);
            if (read.fault) break;
            text.flush(sink);
            sink.control(name, std::as_const(options).elements());
            p = read.at;
        } else if (*p == ']') {
            break;
        } else {
            const char* run_end = find_text_end(p, end);
            text.add(std::string_view(p, static_cast<std::size_t>(run_end - p)));
            p = run_end;
        }
    }
    text.flush(sink);
    return std::string_view(p, static_cast<std::size_t>(end - p));
}

// How many characters (Unicode code points) UTF-8 text holds: every byte but
// a continuation byte starts one.
std::size_t character_count(std::string_view text) noexcept;

}  // namespace korvanta
