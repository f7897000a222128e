// Shared<T>: a value that several owners share and nobody changes, counted
// as core/count.hpp says (a plain integer under the interpreter lock, atomic
// without it). A handle held by an object that threads read while another
// replaces it is read and replaced through object_lock.hpp.
#pragma once

#include <cstddef>
#include <utility>

#include "core/count.hpp"

namespace korvanta {

template <class T>
class Shared {
   public:
    Shared() noexcept = default;
    Shared(const Shared& other) noexcept : box_(other.box_) {
        if (box_) box_->count.add();
    }
    Shared(Shared&& other) noexcept : box_(std::exchange(other.box_, nullptr)) {}
    Shared& operator=(Shared other) noexcept {
        std::swap(box_, other.box_);  // the old value goes with `other`, after the new one is in place
        return *this;
    }
    ~Shared() {
        if (box_ && box_->count.drop()) destroy(box_);  // a handle let go inline; the value freed out of line
    }

    template <class... Arguments>
    static Shared make(Arguments&&... arguments) {
        Shared made;
        made.box_ = new Box(std::forward<Arguments>(arguments)...);
        return made;
    }

    const T& operator*() const noexcept { return box_->value; }
    const T* operator->() const noexcept { return &box_->value; }
    const T* get() const noexcept { return box_ ? &box_->value : nullptr; }
    explicit operator bool() const noexcept { return box_ != nullptr; }
    bool operator==(const Shared& other) const noexcept { return box_ == other.box_; }

   private:
    struct Box {
        template <class... Arguments>
        explicit Box(Arguments&&... arguments) : value(std::forward<Arguments>(arguments)...) {}
        OwnerCount count{1};  // handles that share the value
        const T value;
    };
    [[gnu::noinline]] static void destroy(Box* box) noexcept { delete box; }

    Box* box_ = nullptr;  // null for an empty handle
};

}  // namespace korvanta
