// The fragment record: one piece of a template, either literal text or a
// control with its options, and the builder the parser uses for controls.
// Plain C++ with no interpreter in sight, so the parser and renderer can be
// fuzzed alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/count.hpp"

namespace korvanta {

// Where the blocks of copied text come from and go to. The default is the
// C++ heap; the module points it at the interpreter's small-object allocator,
// which serves small blocks faster. Set once, before the first block is made.
struct BlockAllocator {
    void* (*allocate)(std::size_t size);  // never returns null: throws std::bad_alloc
    void (*release)(void* block) noexcept;
};
void set_text_block_allocator(BlockAllocator allocator) noexcept;
void* allocate_text_block(std::size_t size);
void release_text_block(void* block) noexcept;

// The owner of bytes that records view: parsing hands every record of a
// markup text a view of that one text and a count on its keeper, instead of
// a copy of its own. Counted as shared values are (core/count.hpp).
class TextKeeper {
   public:
    using Release = void (*)(TextKeeper* keeper) noexcept;

    explicit TextKeeper(Release release) noexcept : release_(release) {}
    TextKeeper(const TextKeeper&) = delete;
    TextKeeper& operator=(const TextKeeper&) = delete;

    void retain() noexcept { count_.add(); }
    void drop() noexcept {
        if (count_.drop()) release_(this);
    }
    Release release_function() const noexcept { return release_; }

   private:
    OwnerCount count_{1};  // views that keep the bytes, and the keeper's maker until it drops its own
    Release release_;        // frees the keeper and what it keeps
};

// The maker's own count on a keeper it made, dropped when the maker is done:
// records made meanwhile hold counts of their own.
class MadeKeeper {
   public:
    explicit MadeKeeper(TextKeeper* keeper) noexcept : keeper_(keeper) {}
    MadeKeeper(const MadeKeeper&) = delete;
    MadeKeeper& operator=(const MadeKeeper&) = delete;
    ~MadeKeeper() {
        if (keeper_) keeper_->drop();
    }
    TextKeeper* get() const noexcept { return keeper_; }

   private:
    TextKeeper* keeper_;  // the keeper, or null
};

// Text of a record: a view of bytes with a count on their keeper. Made from a
// string_view, it copies the text into a block of its own; made from a view
// and a keeper, it shares. Copies share; the bytes never change.
class SharedText {
   public:
    SharedText() noexcept = default;  // empty
    explicit SharedText(std::string_view text);
    SharedText(std::string_view slice, TextKeeper& keeper) noexcept
        : keeper_(&keeper), data_(slice.data()), size_(slice.size()) {
        keeper.retain();
    }
    SharedText(const SharedText& other) noexcept : keeper_(other.keeper_), data_(other.data_), size_(other.size_) {
        if (keeper_) keeper_->retain();
    }
    SharedText(SharedText&& other) noexcept
        : keeper_(std::exchange(other.keeper_, nullptr)),
          data_(std::exchange(other.data_, "")),
          size_(std::exchange(other.size_, 0)) {}
    SharedText& operator=(SharedText other) noexcept {
        std::swap(keeper_, other.keeper_);
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }
    ~SharedText() {
        if (keeper_) keeper_->drop();
    }

    std::string_view view() const noexcept { return std::string_view(data_, size_); }
    operator std::string_view() const noexcept { return view(); }
    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    TextKeeper* keeper() const noexcept { return keeper_; }

    friend bool operator==(const SharedText& a, std::string_view b) noexcept { return a.view() == b; }
    friend bool operator==(const SharedText& a, const SharedText& b) noexcept { return a.view() == b.view(); }

   private:
    TextKeeper* keeper_ = nullptr;  // keeps data_, or null for empty text
    const char* data_ = "";
    std::size_t size_ = 0;
};

// The options of a fragment: absent (a text fragment) or present with zero or
// more strings. Present options are one run of bytes with a count on their
// keeper, in one of two forms: as the parser read them (options between runs
// of '#' and ',', which no parsed option holds) or as given (each option
// followed by a 0xFF byte, which UTF-8 never holds).
class OptionList {
   public:
    OptionList() noexcept = default;  // absent
    // Present, copied from `options` (UTF-8) into a block of their own.
    explicit OptionList(std::span<const std::string_view> options);
    explicit OptionList(std::span<const std::string> options);
    // Present, as parsed: `run` holds the options between separator runs and
    // is kept by `keeper`; empty for a control without options.
    static OptionList parsed(std::string_view run, TextKeeper& keeper) noexcept;
    // The same, copied into a block of their own.
    static OptionList parsed(std::string_view run);

    OptionList(const OptionList& other) noexcept
        : keeper_and_form_(other.keeper_and_form_), data_(other.data_), size_(other.size_) {
        if (TextKeeper* keeper = this->keeper()) keeper->retain();
    }
    OptionList(OptionList&& other) noexcept
        : keeper_and_form_(std::exchange(other.keeper_and_form_, 0)),
          data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)) {}
    OptionList& operator=(OptionList other) noexcept {
        std::swap(keeper_and_form_, other.keeper_and_form_);
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }
    ~OptionList() {
        if (TextKeeper* keeper = this->keeper()) keeper->drop();
    }

    bool has_value() const noexcept { return data_ != nullptr; }
    void reset() noexcept { *this = OptionList(); }
    std::size_t size() const noexcept;
    // Option i (below size()), found by walking the list.
    std::string_view operator[](std::size_t i) const noexcept;
    bool operator==(const OptionList& other) const noexcept;

    // The options as markup writes them after the '|', when that is exactly
    // the run held (parsed options between single commas): one copy writes them all.
    bool written_as_run() const noexcept { return (keeper_and_form_ & single_commas) != 0; }
    std::string_view run() const noexcept { return std::string_view(data_, size_); }

    class const_iterator {
       public:
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        const_iterator() = default;
        const_iterator(const char* at, const char* end, bool parsed) noexcept : at_(at), end_(end), parsed_(parsed) {
            find_option_end();
        }
        explicit const_iterator(const char* end) noexcept : at_(end), end_(end), option_end_(end) {}  // past the last
        std::string_view operator*() const noexcept { return std::string_view(at_, static_cast<std::size_t>(option_end_ - at_)); }
        const_iterator& operator++() noexcept {
            at_ = option_end_ == end_ ? end_ : option_end_ + 1;
            // Parsed options may stand between runs of separators.
            while (parsed_ && at_ < end_ && (*at_ == '#' || *at_ == ',')) ++at_;
            find_option_end();
            return *this;
        }
        const_iterator operator++(int) noexcept {
            const_iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const const_iterator& other) const noexcept { return at_ == other.at_; }

       private:
        void find_option_end() noexcept {
            option_end_ = at_;
            if (parsed_) {
                while (option_end_ < end_ && *option_end_ != '#' && *option_end_ != ',') ++option_end_;
            } else {
                while (option_end_ < end_ && *option_end_ != option_end_mark) ++option_end_;
            }
        }
        const char* at_ = nullptr;          // start of the current option; end_ once past the last
        const char* end_ = nullptr;         // end of the run
        const char* option_end_ = nullptr;  // end of the current option
        bool parsed_ = false;               // the run is in the parser's form
    };
    const_iterator begin() const noexcept { return const_iterator(data_, data_ + size_, parsed()); }
    const_iterator end() const noexcept { return const_iterator(data_ + size_); }

    // The byte that ends each option given (not parsed): UTF-8 never holds it.
    static constexpr char option_end_mark = '\xff';

    // What keeps the options' bytes: null when there are none.
    TextKeeper* keeper() const noexcept { return reinterpret_cast<TextKeeper*>(keeper_and_form_ & ~form_bits); }

   private:
    template <class Strings>
    void build(const Strings& options);
    static OptionList parsed_run(std::string_view run, TextKeeper* keeper) noexcept;

    bool parsed() const noexcept { return (keeper_and_form_ & parsed_form) != 0; }

    // The keeper's address (keepers are aligned, so its lowest bits are
    // free), or 0 when absent or empty, with the form in the lowest bits:
    // packed so that a record and its object header fill 64 bytes.
    static constexpr std::uintptr_t parsed_form = 1;    // the parser's form
    static constexpr std::uintptr_t single_commas = 2;  // ... with one comma between options
    static constexpr std::uintptr_t form_bits = parsed_form | single_commas;
    std::uintptr_t keeper_and_form_ = 0;
    const char* data_ = nullptr;  // null: absent
    std::size_t size_ = 0;        // bytes of the run
};

struct PromptFragment {
    SharedText string;   // text of a text fragment, name of a control
    OptionList options;  // absent: text fragment; present (maybe empty): control

    bool is_text() const noexcept { return !options.has_value(); }

    // A control fragment; its options are always present, empty when none are given.
    static PromptFragment control(std::string_view name, std::span<const std::string_view> options = {});
};

static_assert(alignof(TextKeeper) >= 4, "an option list keeps its form in the lowest bits of its keeper's address");

using FragmentList = std::vector<PromptFragment>;

}  // namespace korvanta
