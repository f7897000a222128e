// Who is inside which object: every thread keeps its own list of the objects
// that its running operations hold, and how. An operation that calls back into
// Python code can so be met again by that code on the same thread, which fails
// ("Already borrowed", "Already mutably borrowed"); other threads never look
// at the list and never fail, since what they read is published whole.
#pragma once

#include <cstdint>
#include <utility>

#include "binding/messages.hpp"
#include "binding/ref.hpp"

namespace korvanta {

// How an operation uses its object:
//   none       not at all (or it takes access itself, for a part of its body);
//   read       it reads and runs no Python code meanwhile, so no code can meet
//              it there: it is only checked against this thread's writes;
//   shared     it reads and may run Python code (a lookup, a collection);
//   exclusive  it changes the object.
enum class Access : std::uint8_t { none, read, shared, exclusive };

[[noreturn]] void raise(PyObject* type, const char* message);

// The accesses held by the calling thread. Entries are unordered: an entry is
// removed by value, so accesses may end out of order (a greenlet switching
// stacks in the middle of a call) without disturbing the others.
struct HeldAccess {
    const void* object = nullptr;  // the object entered
    Access kind = Access::none;    // how: shared or exclusive
};

struct ThreadAccesses {
    static constexpr std::uint32_t in_place_capacity = 8;

    HeldAccess* heap = nullptr;  // the entries while there are more than fit in place
    std::uint32_t size = 0;      // entries in use
    std::uint32_t capacity = in_place_capacity;
    HeldAccess in_place[in_place_capacity];  // the entries while few

    // The strongest access held on `object`.
    Access held(const void* object) const noexcept {
        const HeldAccess* entries = heap != nullptr ? heap : in_place;
        Access strongest = Access::none;
        for (std::uint32_t i = 0; i < size; ++i) {
            if (entries[i].object == object && entries[i].kind > strongest) strongest = entries[i].kind;
        }
        return strongest;
    }
    // Adds an entry; may throw std::bad_alloc beyond the entries in place.
    void add(const void* object, Access kind) {
        if (heap == nullptr && size < in_place_capacity) {
            in_place[size++] = HeldAccess{object, kind};
        } else {
            add_beyond_place(object, kind);
        }
    }
    // Removes an entry; the last one added is the usual one to go.
    void remove(const void* object, Access kind) noexcept {
        if (heap == nullptr && size > 0 && in_place[size - 1].object == object && in_place[size - 1].kind == kind) {
            --size;
        } else {
            remove_anywhere(object, kind);
        }
    }

   private:
    void add_beyond_place(const void* object, Access kind);
    void remove_anywhere(const void* object, Access kind) noexcept;
};

// Nothing to construct or destroy, so reading it costs one thread-local
// lookup. In the initial-exec model that lookup is one load from the thread
// pointer instead of a call: the loader keeps room for a few hundred bytes of
// such storage for libraries loaded later, and this is 144.
#define KORVANTA_INITIAL_EXEC __attribute__((tls_model("initial-exec")))
extern constinit thread_local ThreadAccesses thread_accesses KORVANTA_INITIAL_EXEC;

template <Access kind>
class AccessGuard;

template <>
class AccessGuard<Access::none> {
   public:
    explicit AccessGuard(PyObject*) noexcept {}
};

// Reading without running Python code: fails only inside this thread's own write.
template <>
class AccessGuard<Access::read> {
   public:
    explicit AccessGuard(PyObject* object) {
        if (thread_accesses.held(object) == Access::exclusive) {
            raise(PyExc_RuntimeError, messages::already_mutably_borrowed);
        }
    }
};

// Reading across Python code: fails only inside this thread's own write, and
// makes this thread's writes fail until it ends.
template <>
class AccessGuard<Access::shared> {
   public:
    explicit AccessGuard(PyObject* object) : accesses_(thread_accesses), object_(object) {
        if (accesses_.held(object) == Access::exclusive) raise(PyExc_RuntimeError, messages::already_mutably_borrowed);
        accesses_.add(object, Access::shared);
    }
    ~AccessGuard() { accesses_.remove(object_, Access::shared); }
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;

   private:
    ThreadAccesses& accesses_;  // this thread's list, looked up once
    const void* object_;        // the object held
};

// Changing: fails when this thread is inside the object in any way.
template <>
class AccessGuard<Access::exclusive> {
   public:
    explicit AccessGuard(PyObject* object) : accesses_(thread_accesses), object_(object) {
        if (accesses_.held(object) != Access::none) raise(PyExc_RuntimeError, messages::already_borrowed);
        accesses_.add(object, Access::exclusive);
    }
    ~AccessGuard() { release(); }
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;

    // Ends the access before the scope does: __setstate__ restores the
    // class's own state held, then runs the subclass's code free.
    void release() noexcept {
        if (object_ != nullptr) accesses_.remove(std::exchange(object_, nullptr), Access::exclusive);
    }

   private:
    ThreadAccesses& accesses_;  // this thread's list, looked up once
    const void* object_;        // the object held, null once released
};

using ReadAccess = AccessGuard<Access::read>;
using SharedAccess = AccessGuard<Access::shared>;
using ExclusiveAccess = AccessGuard<Access::exclusive>;

}  // namespace korvanta
