// The per-thread list of held accesses: a few entries in place in thread-local
// storage, more on the heap while a thread is nested that deep, given back as
// soon as it comes out again. Nothing needs freeing when a thread ends.
#include "module/access.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace korvanta {
namespace {

struct HeldAccess {
    const void* object = nullptr;  // the object entered
    Access kind = Access::none;    // how
};

constexpr std::uint32_t in_place_capacity = 8;

struct AccessList {
    HeldAccess* heap = nullptr;             // the entries once there are more than fit in place
    std::uint32_t size = 0;                 // entries in use
    std::uint32_t capacity = in_place_capacity;
    HeldAccess in_place[in_place_capacity];  // the entries while few

    HeldAccess* entries() noexcept { return heap != nullptr ? heap : in_place; }
};

constinit thread_local AccessList accesses;

}  // namespace

Access ThreadAccesses::held(const void* object) noexcept {
    AccessList& list = accesses;
    Access strongest = Access::none;
    const HeldAccess* entries = list.entries();
    for (std::uint32_t i = 0; i < list.size; ++i) {
        if (entries[i].object == object) strongest = std::max(strongest, entries[i].kind);
    }
    return strongest;
}

void ThreadAccesses::add(const void* object, Access kind) {
    AccessList& list = accesses;
    if (list.size == list.capacity) {
        const std::uint32_t capacity = 2 * list.capacity;
        auto* grown = new HeldAccess[capacity];
        std::copy_n(list.entries(), list.size, grown);
        delete[] list.heap;
        list.heap = grown;
        list.capacity = capacity;
    }
    list.entries()[list.size++] = HeldAccess{object, kind};
}

void ThreadAccesses::remove(const void* object, Access kind) noexcept {
    AccessList& list = accesses;
    HeldAccess* entries = list.entries();
    for (std::uint32_t i = list.size; i-- > 0;) {
        if (entries[i].object == object && entries[i].kind == kind) {
            entries[i] = entries[--list.size];
            break;
        }
    }
    if (list.size == 0 && list.heap != nullptr) {
        delete[] list.heap;
        list.heap = nullptr;
        list.capacity = in_place_capacity;
    }
}

}  // namespace korvanta
