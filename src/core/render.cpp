// Markup text, representation and markup-text hash of fragments.
#include "core/render.hpp"

#include <cstring>
#include <utility>

#include "core/markup.hpp"
#include "core/siphash.hpp"

namespace korvanta {

std::size_t escaped_size(std::string_view text) noexcept { return text.size() + count_escaped(text); }

std::size_t markup_size(const PromptFragment& fragment, TextForm form) noexcept {
    if (fragment.is_text()) return form == TextForm::plain ? fragment.string.size() : escaped_size(fragment.string);
    // "[" name "]", then "|" or "," before each option.
    std::size_t size = 2 + fragment.string.size();
    const OptionList& options = fragment.options;
    if (options.written_as_run()) return size + 1 + options.run().size();
    for (std::string_view option : options) size += 1 + option.size();
    return size;
}

std::size_t markup_size(std::span<const PromptFragment> fragments, TextForm form) noexcept {
    std::size_t size = 0;
    for (const PromptFragment& fragment : fragments) size += markup_size(fragment, form);
    return size;
}

namespace {

// Copies n bytes, sizeof(Word) <= n <= 2 * sizeof(Word), as two overlapping words.
template <class Word>
void copy_two_words(char* out, const char* p, std::size_t n) noexcept {
    Word head, tail;
    std::memcpy(&head, p, sizeof(Word));
    std::memcpy(&tail, p + n - sizeof(Word), sizeof(Word));
    std::memcpy(out, &head, sizeof(Word));
    std::memcpy(out + n - sizeof(Word), &tail, sizeof(Word));
}

// Names and options are short: copy up to 16 bytes with fixed-size moves
// instead of a call into the C library.
char* write_text(std::string_view text, char* out) noexcept {
    const char* p = text.data();
    const std::size_t n = text.size();
    if (n > 16) {
        std::memcpy(out, p, n);
    } else if (n >= 8) {
        copy_two_words<std::uint64_t>(out, p, n);
    } else if (n >= 4) {
        copy_two_words<std::uint32_t>(out, p, n);
    } else {
        for (std::size_t i = 0; i < n; ++i) out[i] = p[i];
    }
    return out + n;
}

}  // namespace

// Runs between the bytes to escape are copied whole.
char* write_escaped(std::string_view text, char* out) noexcept {
    const char* p = text.data();
    const char* const end = p + text.size();
    for (;;) {
        const char* run_end = detail::find_text_end(p, end);
        std::memcpy(out, p, static_cast<std::size_t>(run_end - p));
        out += run_end - p;
        if (run_end == end) return out;
        *out++ = '\\';
        *out++ = *run_end;
        p = run_end + 1;
    }
}

// The punctuation is written byte by byte: a control has several one-byte
// pieces, and a copy routine per byte would cost more than the names.
char* write_markup(const PromptFragment& fragment, char* out, TextForm form) noexcept {
    if (fragment.is_text()) {
        return form == TextForm::plain ? write_text(fragment.string, out) : write_escaped(fragment.string, out);
    }
    *out++ = '[';
    out = write_text(fragment.string, out);
    const OptionList& options = fragment.options;
    if (options.written_as_run()) {
        *out++ = '|';
        out = write_text(options.run(), out);
    } else {
        char separator = '|';
        for (std::string_view option : options) {
            *out++ = std::exchange(separator, ',');
            out = write_text(option, out);
        }
    }
    *out++ = ']';
    return out;
}

char* write_markup(std::span<const PromptFragment> fragments, char* out, TextForm form) noexcept {
    for (const PromptFragment& fragment : fragments) out = write_markup(fragment, out, form);
    return out;
}

namespace {

bool is_word(std::string_view text) noexcept {
    return !text.empty() && detail::skip_word(text.data(), text.data() + text.size()) == text.data() + text.size();
}

}  // namespace

bool parses_back(std::span<const PromptFragment> fragments) noexcept {
    bool after_text = false;
    for (const PromptFragment& fragment : fragments) {
        if (fragment.is_text()) {
            if (after_text || fragment.string.empty()) return false;
        } else {
            if (!is_word(fragment.string)) return false;
            for (std::string_view option : fragment.options) {
                if (!is_word(option)) return false;
            }
        }
        after_text = fragment.is_text();
    }
    return true;
}

std::string markup_text(std::span<const PromptFragment> fragments) {
    std::string text(markup_size(fragments), '\0');
    write_markup(fragments, text.data());
    return text;
}

std::string representation(const PromptFragment& fragment) {
    const std::string_view open = fragment.is_text() ? "\"" : "[";
    const std::string_view close = fragment.is_text() ? "\"" : "]";
    std::string text;
    text.reserve(fragment.string.size() + 2);
    text.append(open).append(fragment.string).append(close);
    return text;
}

namespace {

template <class Source>
std::uint64_t hash_pieces(const Source& source) {
    SipHash13 hasher;
    for_each_markup_piece(source, [&](std::string_view piece) { hasher.update(piece); });
    hasher.update(std::string_view("\xff", 1));
    return hasher.finish();
}

}  // namespace

std::uint64_t markup_hash(const PromptFragment& fragment) { return hash_pieces(fragment); }

std::uint64_t markup_hash(std::span<const PromptFragment> fragments) { return hash_pieces(fragments); }

}  // namespace korvanta
