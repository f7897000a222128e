// SipHash-1-3 (one compression round per 8-byte block, three finalisation
// rounds) fed incrementally, so a text can be hashed piece by piece.
#pragma once

#include <cstdint>
#include <string_view>

namespace korvanta {

class SipHash13 {
   public:
    SipHash13(std::uint64_t k0 = 0, std::uint64_t k1 = 0) noexcept;
    void update(std::string_view bytes) noexcept;
    std::uint64_t finish() noexcept;

   private:
    void compress(std::uint64_t block) noexcept;

    std::uint64_t v0_, v1_, v2_, v3_;  // internal state
    std::uint64_t tail_ = 0;           // bytes not yet forming a whole block, little-endian
    unsigned tail_size_ = 0;           // how many bytes `tail_` holds (0..7)
    std::uint64_t length_ = 0;         // total bytes fed, its low byte enters the last block
};

}  // namespace korvanta
