// A replacement for the global operator new, preloaded into a test process,
// that fails exactly one chosen allocation once armed. Python calls it through
// ctypes: arm(n) fails the n-th allocation from now on (0-based), and
// disarm() stops counting and tells whether that allocation was reached.
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

long countdown = -1;  // allocations left before the failing one; -1 when disarmed
bool reached = false;  // the failing allocation happened since arming

void* allocate(std::size_t size, std::size_t alignment) {
    if (countdown == 0) {
        countdown = -1;
        reached = true;
        throw std::bad_alloc();
    }
    if (countdown > 0) --countdown;
    if (size == 0) size = 1;
    void* block = alignment <= alignof(std::max_align_t) ? std::malloc(size)
                                                         : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void* allocate_nothrow(std::size_t size, std::size_t alignment) noexcept {
    try {
        return allocate(size, alignment);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

extern "C" void failing_new_arm(long n) {
    countdown = n;
    reached = false;
}

extern "C" int failing_new_disarm() {
    countdown = -1;
    return reached;
}

constexpr std::size_t plain = alignof(std::max_align_t);

void* operator new(std::size_t size) { return allocate(size, plain); }
void* operator new[](std::size_t size) { return allocate(size, plain); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate_nothrow(size, plain); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate_nothrow(size, plain); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
