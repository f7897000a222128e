// The per-thread list of held accesses: a few entries in place in thread-local
// storage, more on the heap while a thread is nested that deep, given back as
// soon as it comes out again, so nothing needs freeing when a thread ends.
#include "binding/access.hpp"

#include <algorithm>

namespace korvanta {

constinit thread_local ThreadAccesses thread_accesses KORVANTA_INITIAL_EXEC;

void ThreadAccesses::add_beyond_place(const void* object, Access kind) {
    if (size == capacity) {
        const std::uint32_t grown_capacity = 2 * capacity;
        auto* grown = new HeldAccess[grown_capacity];
        std::copy_n(heap != nullptr ? heap : in_place, size, grown);
        delete[] heap;
        heap = grown;
        capacity = grown_capacity;
    }
    (heap != nullptr ? heap : in_place)[size++] = HeldAccess{object, kind};
}

void ThreadAccesses::remove_anywhere(const void* object, Access kind) noexcept {
    HeldAccess* entries = heap != nullptr ? heap : in_place;
    for (std::uint32_t i = size; i-- > 0;) {
        if (entries[i].object == object && entries[i].kind == kind) {
            entries[i] = entries[--size];
            break;
        }
    }
    if (size == 0 && heap != nullptr) {
        delete[] heap;
        heap = nullptr;
        capacity = in_place_capacity;
    }
}

}  // namespace korvanta
