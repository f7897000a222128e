// A vector that keeps its first N elements in place and moves to the heap only
// beyond that: the usual few options of a control, values of a short template.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace korvanta {

template <class T, std::size_t N>
class InlineVector {
   public:
    void push_back(T value) {
        if (size_ < N) {
            inline_[size_] = std::move(value);
        } else {
            if (size_ == N) {
                heap_.reserve(2 * N);
                for (T& element : inline_) heap_.push_back(std::move(element));
            }
            heap_.push_back(std::move(value));
        }
        ++size_;
    }
    void clear() noexcept {
        for (std::size_t i = 0; i < size_ && i < N; ++i) inline_[i] = T();
        heap_.clear();
        size_ = 0;
    }
    std::size_t size() const noexcept { return size_; }
    std::span<T> elements() noexcept { return size_ <= N ? std::span<T>(inline_.data(), size_) : std::span<T>(heap_); }
    std::span<const T> elements() const noexcept {
        return size_ <= N ? std::span<const T>(inline_.data(), size_) : std::span<const T>(heap_);
    }

   private:
    std::array<T, N> inline_{};  // the first elements
    std::vector<T> heap_;        // all elements, once there are more than N
    std::size_t size_ = 0;       // how many elements were pushed
};

}  // namespace korvanta
