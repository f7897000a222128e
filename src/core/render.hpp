// The writer of the markup: markup text and short representation of fragments
// and fragment lists, written without any escaping. The text is sized from the
// records and written once, or its pieces are fed to a hasher.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/record.hpp"

namespace korvanta {

// Calls `emit(std::string_view)` for each piece of the fragment's markup text:
// the string alone for text, "[" name ("|" option ("," option)*)? "]" for a control.
template <class Emit>
void for_each_markup_piece(const PromptFragment& fragment, Emit&& emit) {
    if (fragment.is_text()) {
        emit(std::string_view(fragment.string));
        return;
    }
    emit(std::string_view("["));
    emit(std::string_view(fragment.string));
    const OptionList& options = fragment.options;
    if (options.written_as_run()) {
        emit(std::string_view("|"));
        emit(options.run());
    } else {
        std::string_view separator = "|";
        for (std::string_view option : options) {
            emit(std::exchange(separator, ","));
            emit(option);
        }
    }
    emit(std::string_view("]"));
}

template <class Emit>
void for_each_markup_piece(std::span<const PromptFragment> fragments, Emit&& emit) {
    for (const PromptFragment& fragment : fragments) for_each_markup_piece(fragment, emit);
}

// How text fragments are written: as they are (the markup text that str()
// shows), or with a backslash before each backslash and bracket, so that the
// parser reads them back exactly (the pickle state, escape()). Names and
// options are written as they are in both: a control has no escapes.
enum class TextForm { plain, escaped };

// Length in bytes of the markup text.
std::size_t markup_size(const PromptFragment& fragment, TextForm form = TextForm::plain) noexcept;
std::size_t markup_size(std::span<const PromptFragment> fragments, TextForm form = TextForm::plain) noexcept;

// Writes the markup text to `out`, which has room for markup_size() bytes;
// returns the end of what was written.
char* write_markup(const PromptFragment& fragment, char* out, TextForm form = TextForm::plain) noexcept;
char* write_markup(std::span<const PromptFragment> fragments, char* out, TextForm form = TextForm::plain) noexcept;

// Text in its escaped form: its size, and the writing of it to room of that size.
std::size_t escaped_size(std::string_view text) noexcept;
char* write_escaped(std::string_view text, char* out) noexcept;

// Whether parsing the escaped markup text of `fragments` gives exactly them
// back: they keep every rule that the parser's own output keeps (no empty or
// adjacent text fragments, names and options non-empty and free of [ ] | # ,).
bool parses_back(std::span<const PromptFragment> fragments) noexcept;

// Markup text in one string of exactly the right size.
std::string markup_text(std::span<const PromptFragment> fragments);

// "\"text\"" for a text fragment, "[name]" for a control whatever its options.
std::string representation(const PromptFragment& fragment);

// SipHash-1-3 with a zero key over the markup text's UTF-8 bytes and one 0xFF
// byte; stable across processes. Computed without building the text.
std::uint64_t markup_hash(const PromptFragment& fragment);
std::uint64_t markup_hash(std::span<const PromptFragment> fragments);

}  // namespace korvanta
