// The fragment record: one piece of a template, either literal text or a
// control with its options, and the builder the parser uses for controls.
// Plain C++ with no interpreter in sight, so the parser and renderer can be
// fuzzed alone.
#pragma once

#include <cstddef>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvanta {

// Where option blocks come from and go to. The default is the C++ heap; the
// module points it at the interpreter's small-object allocator, which serves
// such small blocks faster. Set once, before the first block is made.
struct BlockAllocator {
    void* (*allocate)(std::size_t size);  // never returns null: throws std::bad_alloc
    void (*release)(void* block) noexcept;
};
void set_option_block_allocator(BlockAllocator allocator) noexcept;

// The options of a fragment: absent (a text fragment) or present with zero or
// more strings. Present options live in one heap block (the count, the end
// offset of each option, then all their bytes); a present empty list shares a
// static block, so a control without options allocates nothing.
class OptionList {
   public:
    OptionList() noexcept = default;  // absent
    explicit OptionList(std::span<const std::string_view> options);
    explicit OptionList(std::span<const std::string> options);

    OptionList(const OptionList& other);
    OptionList& operator=(const OptionList& other);
    OptionList(OptionList&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    OptionList& operator=(OptionList&& other) noexcept;
    ~OptionList() { release(); }

    bool has_value() const noexcept { return block_ != nullptr; }
    void reset() noexcept;
    std::size_t size() const noexcept { return block_ ? block_[0] : 0; }
    // Bytes of all options together.
    std::size_t total_bytes() const noexcept { return block_ && block_[0] ? block_[block_[0]] : 0; }
    std::string_view operator[](std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : block_[i];
        return std::string_view(bytes() + begin, block_[i + 1] - begin);
    }
    bool operator==(const OptionList& other) const noexcept;

    class const_iterator {
       public:
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        const_iterator() = default;
        const_iterator(const OptionList* list, std::size_t i) : list_(list), i_(i) {}
        std::string_view operator*() const noexcept { return (*list_)[i_]; }
        const_iterator& operator++() noexcept { ++i_; return *this; }
        const_iterator operator++(int) noexcept { const_iterator old = *this; ++i_; return old; }
        bool operator==(const const_iterator& other) const noexcept { return i_ == other.i_; }

       private:
        const OptionList* list_ = nullptr;  // the list walked
        std::size_t i_ = 0;                 // index of the current option
    };
    const_iterator begin() const noexcept { return const_iterator(this, 0); }
    const_iterator end() const noexcept { return const_iterator(this, size()); }

   private:
    template <class Strings>
    void build(const Strings& options);
    void release() noexcept;
    const char* bytes() const noexcept { return reinterpret_cast<const char*>(block_ + 1 + block_[0]); }
    std::size_t block_size() const noexcept;

    std::size_t* block_ = nullptr;  // null: absent; else [count, end_0 .. end_{count-1}, bytes...]
};

struct PromptFragment {
    std::string string;  // text of a text fragment, name of a control
    OptionList options;  // absent: text fragment; present (maybe empty): control

    bool is_text() const noexcept { return !options.has_value(); }

    // A control fragment; its options are always present, empty when none are given.
    static PromptFragment control(std::string_view name, std::span<const std::string_view> options = {});
};

using FragmentList = std::vector<PromptFragment>;

}  // namespace korvanta
