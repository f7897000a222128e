// SipHash-1-3. Blocks are read little-endian through memcpy, so the result is
// the same on every host.
#include "core/siphash.hpp"

#include <bit>
#include <cstring>

namespace korvanta {
namespace {

inline void sip_round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) noexcept {
    v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
    v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
}

inline std::uint64_t load_le64(const char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

}  // namespace

SipHash13::SipHash13(std::uint64_t k0, std::uint64_t k1) noexcept
    : v0_(k0 ^ 0x736f6d6570736575ULL),
      v1_(k1 ^ 0x646f72616e646f6dULL),
      v2_(k0 ^ 0x6c7967656e657261ULL),
      v3_(k1 ^ 0x7465646279746573ULL) {}

void SipHash13::compress(std::uint64_t block) noexcept {
    v3_ ^= block;
    sip_round(v0_, v1_, v2_, v3_);
    v0_ ^= block;
}

void SipHash13::update(std::string_view bytes) noexcept {
    const char* p = bytes.data();
    std::size_t size = bytes.size();
    length_ += size;
    // 1. top up a partial block; 2. whole blocks straight from the input; 3. keep the rest.
    while (tail_size_ != 0 && size != 0) {
        tail_ |= std::uint64_t(static_cast<unsigned char>(*p)) << (8 * tail_size_);
        ++p;
        --size;
        if (++tail_size_ == 8) {
            compress(tail_);
            tail_ = 0;
            tail_size_ = 0;
        }
    }
    for (; size >= 8; p += 8, size -= 8) compress(load_le64(p));
    for (; size != 0; ++p, --size) {
        tail_ |= std::uint64_t(static_cast<unsigned char>(*p)) << (8 * tail_size_++);
    }
}

std::uint64_t SipHash13::finish() noexcept {
    compress(tail_ | (length_ << 56));
    v2_ ^= 0xff;
    for (int i = 0; i < 3; ++i) sip_round(v0_, v1_, v2_, v3_);
    return v0_ ^ v1_ ^ v2_ ^ v3_;
}

}  // namespace korvanta
