// libFuzzer harness over the pure core: parser, renderer and hash.
// Oracles: no crash or sanitizer report; every parsed list keeps the parser's
// invariants; the written markup text equals its pieces; escape-free input
// parses back from its markup text; the incremental markup hash equals a plain
// one-shot SipHash-1-3 of the text; a parse that stops is described at an
// element that parsing the text before it confirms; escaped text parses back
// to itself; the escaped markup text parses back to the fragments; the ASCII
// check agrees with a byte-by-byte one at every offset and length.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/markup.hpp"
#include "core/render.hpp"
#include "core/siphash.hpp"

namespace {

using korvanta::FragmentList;
using korvanta::PromptFragment;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "oracle failed: %s\n", what);
        std::abort();
    }
}

bool is_word(std::string_view text) {
    return !text.empty() && text.find_first_of("[]|#,") == std::string_view::npos;
}

void check_invariants(const FragmentList& fragments) {
    for (std::size_t i = 0; i < fragments.size(); ++i) {
        const PromptFragment& fragment = fragments[i];
        if (fragment.is_text()) {
            require(!fragment.string.empty(), "no empty text fragment");
            require(i + 1 == fragments.size() || !fragments[i + 1].is_text(), "no adjacent text fragments");
        } else {
            require(is_word(fragment.string), "control name is a word");
            for (std::string_view option : fragment.options) require(is_word(option), "option is a word");
        }
    }
}

bool same(const FragmentList& a, const FragmentList& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].string != b[i].string || !(a[i].options == b[i].options)) return false;
    }
    return true;
}

// SipHash-1-3 with a zero key, written from the definition: pad the message to
// whole 8-byte blocks with its length in the last byte, then compress and finalise.
std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

std::uint64_t plain_siphash13(const std::string& message) {
    std::uint64_t v0 = 0x736f6d6570736575ULL, v1 = 0x646f72616e646f6dULL;
    std::uint64_t v2 = 0x6c7967656e657261ULL, v3 = 0x7465646279746573ULL;
    auto round = [&] {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    };
    std::string padded = message;
    while (padded.size() % 8 != 7) padded.push_back('\0');
    padded.push_back(static_cast<char>(message.size() & 0xff));
    for (std::size_t block = 0; block < padded.size(); block += 8) {
        std::uint64_t m = 0;
        for (int byte = 7; byte >= 0; --byte) m = (m << 8) | static_cast<unsigned char>(padded[block + byte]);
        v3 ^= m;
        round();
        v0 ^= m;
    }
    v2 ^= 0xff;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
}

// A keeper of the fuzzer's input that only notes its release.
struct KeptInput : korvanta::TextKeeper {
    bool released = false;
    KeptInput() : TextKeeper([](korvanta::TextKeeper* keeper) noexcept { static_cast<KeptInput*>(keeper)->released = true; }) {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // Every start and length, so each byte passes through every lane of the
    // blocks of 16 and 64 bytes and of the tail.
    for (std::size_t start = 0; start < size && start < 80; ++start) {
        bool ascii = true;
        for (std::size_t end = start; end <= size; ++end) {
            if (end > start) ascii = ascii && data[end - 1] < 0x80;
            require(korvanta::is_ascii(input.data() + start, end - start) == ascii, "ASCII check");
        }
    }
    korvanta::ParsedMarkup parsed = korvanta::parse_markup(input);
    check_invariants(parsed.fragments);
    require(parsed.remainder.data() + parsed.remainder.size() == input.data() + input.size(), "remainder is a tail");
    require(size > 4096 || korvanta::fragment_count_estimate(input) ==
                               2 * static_cast<std::size_t>(std::count(input.begin(), input.end(), '[')) + (size > 0),
            "the estimate of a short input counts its brackets");
    require(size > 4096 || parsed.fragments.size() <= korvanta::fragment_count_estimate(input), "the estimate bounds");

    // Records that view the input: the same fragments as copies; copies of them
    // keep the input until the last is gone; options given as a list equal the
    // parsed ones.
    {
        KeptInput kept;
        korvanta::FragmentList viewing;
        {
            korvanta::MadeKeeper keeper(&kept);
            viewing = korvanta::parse_markup(input, keeper.get()).fragments;
        }
        require(same(viewing, parsed.fragments), "records that view the input equal copies");
        korvanta::FragmentList copies = viewing;
        viewing.clear();
        const bool viewed = std::any_of(copies.begin(), copies.end(),
                                        [&](const PromptFragment& f) { return f.string.keeper() == &kept; });
        require(same(copies, parsed.fragments) && kept.released == !viewed, "copies keep the input");
        if (input.find('\xff') == std::string_view::npos) {
            for (const PromptFragment& fragment : copies) {
                if (fragment.is_text()) continue;
                std::vector<std::string_view> options(fragment.options.begin(), fragment.options.end());
                require(korvanta::OptionList(std::span<const std::string_view>(options)) == fragment.options &&
                            options.size() == fragment.options.size(),
                        "options given equal options parsed");
            }
        }
        copies.clear();
        require(kept.released, "the input is released with the last record");
    }

    std::string text = korvanta::markup_text(parsed.fragments);
    std::string pieces;
    korvanta::for_each_markup_piece(std::span<const PromptFragment>(parsed.fragments),
                                    [&](std::string_view piece) { pieces.append(piece); });
    require(text == pieces, "written markup equals its pieces");
    if (input.find('\\') == std::string_view::npos) {
        require(same(korvanta::parse_markup(text).fragments, parsed.fragments), "markup text parses back");
        require(korvanta::parse_markup(text).remainder.empty(), "markup text parses whole");
    }
    require(korvanta::markup_hash(parsed.fragments) == plain_siphash13(text + '\xff'), "markup hash");

    // Where parsing stopped: the reason's place lies at or after the stop, and
    // the text before the stop parses whole, to the same fragments.
    if (!parsed.remainder.empty()) {
        const std::size_t stopped = size - parsed.remainder.size();
        korvanta::MarkupStop stop = korvanta::describe_stop(input, stopped);
        require(stop.offset >= stopped && stop.offset < size, "the reason lies in the rest");
        korvanta::ParsedMarkup prefix = korvanta::parse_markup(input.substr(0, stopped));
        require(prefix.remainder.empty() && same(prefix.fragments, parsed.fragments), "the prefix parses whole");
    }

    // Escaping: the input as one text fragment comes back as itself, and the
    // escaped markup text of the fragments parses back to them.
    std::string escaped(korvanta::escaped_size(input), '\0');
    require(korvanta::write_escaped(input, escaped.data()) == escaped.data() + escaped.size(), "escaped size");
    korvanta::ParsedMarkup back = korvanta::parse_markup(escaped);
    require(back.remainder.empty(), "escaped text parses whole");
    require(size == 0 ? back.fragments.empty() : back.fragments.size() == 1 && back.fragments[0].string == input,
            "escaped text parses back to itself");
    require(korvanta::parses_back(parsed.fragments), "parsed fragments parse back");
    std::string state(korvanta::markup_size(parsed.fragments, korvanta::TextForm::escaped), '\0');
    korvanta::write_markup(std::span<const PromptFragment>(parsed.fragments), state.data(), korvanta::TextForm::escaped);
    require(same(korvanta::parse_markup(state).fragments, parsed.fragments), "escaped markup parses back");

    // The incremental hasher, fed the raw input in two pieces split by its first byte.
    std::size_t split = size == 0 ? 0 : data[0] % (size + 1);
    korvanta::SipHash13 halves;
    halves.update(input.substr(0, split));
    halves.update(input.substr(split));
    require(halves.finish() == plain_siphash13(std::string(input)), "incremental hash");
    return 0;
}
