// A vector that keeps its first N elements in place and moves to the heap only
// beyond that: the usual few options of a control, the objects of a short parse,
// the values of a short template. Elements in place are made only when pushed,
// so an empty one costs nothing to make or to drop.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace korvanta {

template <class T, std::size_t N>
class InlineVector {
   public:
    InlineVector() noexcept = default;
    InlineVector(const InlineVector&) = delete;
    InlineVector& operator=(const InlineVector&) = delete;
    ~InlineVector() { clear(); }

    void push_back(T value) {
        if (size_ < N) {
            ::new (static_cast<void*>(in_place() + size_)) T(std::move(value));
        } else {
            if (size_ == N) {
                heap_.reserve(2 * N);
                for (T& element : std::span<T>(in_place(), N)) heap_.push_back(std::move(element));
                std::destroy_n(in_place(), N);
            }
            heap_.push_back(std::move(value));
        }
        ++size_;
    }
    void clear() noexcept {
        if (size_ <= N) std::destroy_n(in_place(), size_);
        heap_.clear();
        size_ = 0;
    }
    std::size_t size() const noexcept { return size_; }
    std::span<T> elements() noexcept { return size_ <= N ? std::span<T>(in_place(), size_) : std::span<T>(heap_); }
    std::span<const T> elements() const noexcept {
        return size_ <= N ? std::span<const T>(in_place(), size_) : std::span<const T>(heap_);
    }

   private:
    T* in_place() noexcept { return std::launder(reinterpret_cast<T*>(storage_)); }
    const T* in_place() const noexcept { return std::launder(reinterpret_cast<const T*>(storage_)); }

    alignas(T) std::byte storage_[N * sizeof(T)];  // the first N elements, made as they are pushed
    std::vector<T> heap_;                          // all elements, once there are more than N
    std::size_t size_ = 0;                         // how many elements were pushed
};

}  // namespace korvanta
