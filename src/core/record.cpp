// The option block and the control builder.
#include "core/record.hpp"

#include <cstring>
#include <new>

namespace korvanta {
namespace {

// The block of a present empty list: a count of zero, shared and never freed.
std::size_t empty_block[1] = {0};

BlockAllocator block_allocator = {
    [](std::size_t size) { return ::operator new(size); },
    [](void* block) noexcept { ::operator delete(block); },
};

}  // namespace

void set_option_block_allocator(BlockAllocator allocator) noexcept { block_allocator = allocator; }

OptionList::OptionList(std::span<const std::string_view> options) { build(options); }

OptionList::OptionList(std::span<const std::string> options) { build(options); }

template <class Strings>
void OptionList::build(const Strings& options) {
    if (options.empty()) {
        block_ = empty_block;
        return;
    }
    std::size_t total = 0;
    for (const auto& option : options) total += option.size();
    const std::size_t count = options.size();
    block_ = static_cast<std::size_t*>(block_allocator.allocate((1 + count) * sizeof(std::size_t) + total));
    block_[0] = count;
    char* out = reinterpret_cast<char*>(block_ + 1 + count);
    std::size_t end = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(out + end, std::data(options[i]), options[i].size());
        end += options[i].size();
        block_[i + 1] = end;
    }
}

std::size_t OptionList::block_size() const noexcept {
    const std::size_t count = block_[0];
    return (1 + count) * sizeof(std::size_t) + (count ? block_[count] : 0);
}

OptionList::OptionList(const OptionList& other) {
    if (other.block_ == nullptr || other.block_ == empty_block) {
        block_ = other.block_;
        return;
    }
    const std::size_t size = other.block_size();
    block_ = static_cast<std::size_t*>(block_allocator.allocate(size));
    std::memcpy(block_, other.block_, size);
}

OptionList& OptionList::operator=(const OptionList& other) {
    if (this != &other) *this = OptionList(other);
    return *this;
}

OptionList& OptionList::operator=(OptionList&& other) noexcept {
    if (this != &other) {
        release();
        block_ = std::exchange(other.block_, nullptr);
    }
    return *this;
}

void OptionList::reset() noexcept {
    release();
    block_ = nullptr;
}

void OptionList::release() noexcept {
    if (block_ != nullptr && block_ != empty_block) block_allocator.release(block_);
}

bool OptionList::operator==(const OptionList& other) const noexcept {
    if (has_value() != other.has_value() || size() != other.size()) return false;
    for (std::size_t i = 0; i < size(); ++i) {
        if ((*this)[i] != other[i]) return false;
    }
    return true;
}

PromptFragment PromptFragment::control(std::string_view name, std::span<const std::string_view> options) {
    return PromptFragment{std::string(name), OptionList(options)};
}

}  // namespace korvanta
