// Shared text, option lists and the control builder.
#include "core/record.hpp"

#include <cstring>
#include <new>

namespace korvanta {
namespace {

BlockAllocator block_allocator = {
    [](std::size_t size) { return ::operator new(size); },
    [](void* block) noexcept { ::operator delete(block); },
};

// A keeper and the bytes it keeps, in one block: the text of a record that
// was given rather than parsed.
struct OwnedBytes : TextKeeper {
    OwnedBytes() noexcept : TextKeeper(release) {}
    char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }

    static OwnedBytes* make(std::size_t size) { return ::new (allocate_text_block(sizeof(OwnedBytes) + size)) OwnedBytes(); }
    static void release(TextKeeper* keeper) noexcept {
        auto* owned = static_cast<OwnedBytes*>(keeper);
        owned->~OwnedBytes();
        release_text_block(owned);
    }
};

}  // namespace

void set_text_block_allocator(BlockAllocator allocator) noexcept { block_allocator = allocator; }
void* allocate_text_block(std::size_t size) { return block_allocator.allocate(size); }
void release_text_block(void* block) noexcept { block_allocator.release(block); }

// ---------------------------------------------------------------- SharedText

SharedText::SharedText(std::string_view text) {
    if (text.empty()) return;
    OwnedBytes* owned = OwnedBytes::make(text.size());
    std::memcpy(owned->bytes(), text.data(), text.size());
    keeper_ = owned;
    data_ = owned->bytes();
    size_ = text.size();
}

// ---------------------------------------------------------------- OptionList

OptionList::OptionList(std::span<const std::string_view> options) { build(options); }

OptionList::OptionList(std::span<const std::string> options) { build(options); }

template <class Strings>
void OptionList::build(const Strings& options) {
    if (options.empty()) {
        data_ = "";
        return;
    }
    std::size_t size = 0;
    for (const auto& option : options) size += option.size() + 1;
    OwnedBytes* owned = OwnedBytes::make(size);
    char* out = owned->bytes();
    for (const auto& option : options) {
        std::memcpy(out, std::data(option), option.size());
        out += option.size();
        *out++ = option_end_mark;
    }
    keeper_and_form_ = reinterpret_cast<std::uintptr_t>(static_cast<TextKeeper*>(owned));
    data_ = owned->bytes();
    size_ = size;
}

OptionList OptionList::parsed_run(std::string_view run, TextKeeper* keeper) noexcept {
    OptionList list;
    list.data_ = "";  // present, even when empty
    list.keeper_and_form_ = parsed_form;
    if (!run.empty()) {
        bool single = true;
        for (std::size_t i = 1; i < run.size(); ++i) {
            single = single && run[i] != '#' && !(run[i] == ',' && run[i - 1] == ',');
        }
        list.keeper_and_form_ |= reinterpret_cast<std::uintptr_t>(keeper) | (single ? single_commas : 0);
        list.data_ = run.data();
        list.size_ = run.size();
        keeper->retain();
    }
    return list;
}

OptionList OptionList::parsed(std::string_view run, TextKeeper& keeper) noexcept { return parsed_run(run, &keeper); }

OptionList OptionList::parsed(std::string_view run) {
    const SharedText copy(run);  // no keeper for an empty run
    return parsed_run(copy.view(), copy.keeper());
}

std::size_t OptionList::size() const noexcept {
    std::size_t count = 0;
    for (auto it = begin(), last = end(); it != last; ++it) ++count;
    return count;
}

std::string_view OptionList::operator[](std::size_t i) const noexcept {
    auto it = begin();
    while (i-- > 0) ++it;
    return *it;
}

bool OptionList::operator==(const OptionList& other) const noexcept {
    if (has_value() != other.has_value()) return false;
    auto a = begin(), b = other.begin();
    const auto a_end = end(), b_end = other.end();
    for (; a != a_end && b != b_end; ++a, ++b) {
        if (*a != *b) return false;
    }
    return a == a_end && b == b_end;
}

PromptFragment PromptFragment::control(std::string_view name, std::span<const std::string_view> options) {
    return PromptFragment{SharedText(name), OptionList(options)};
}

}  // namespace korvanta
