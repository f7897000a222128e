// Who is inside which object: every thread keeps its own list of the objects
// that its running operations hold, and how. An operation that calls back into
// Python code can so be met again by that code on the same thread, which fails
// ("Already borrowed", "Already mutably borrowed"); other threads never look
// at the list and never fail, since what they read is published whole.
#pragma once

#include <cstdint>
#include <utility>

#include "module/messages.hpp"
#include "module/ref.hpp"

namespace korvanta {

enum class Access : std::uint8_t { none, shared, exclusive };

[[noreturn]] void raise(PyObject* type, const char* message);

// The accesses the calling thread holds. Entries are unordered: an entry is
// removed by value, so a guard may end out of order (a greenlet switching
// stacks in the middle of a call) without disturbing the others.
class ThreadAccesses {
   public:
    // The strongest access the calling thread holds on `object`.
    static Access held(const void* object) noexcept;
    // May throw std::bad_alloc beyond the entries kept in place.
    static void add(const void* object, Access kind);
    static void remove(const void* object, Access kind) noexcept;
};

template <Access kind>
class AccessGuard;

template <>
class AccessGuard<Access::none> {
   public:
    explicit AccessGuard(PyObject*) noexcept {}
};

// Reading: fails only when this thread is changing the object.
template <>
class AccessGuard<Access::shared> {
   public:
    explicit AccessGuard(PyObject* object) : object_(object) {
        if (ThreadAccesses::held(object) == Access::exclusive) {
            raise(PyExc_RuntimeError, messages::already_mutably_borrowed);
        }
        ThreadAccesses::add(object, Access::shared);
    }
    ~AccessGuard() { ThreadAccesses::remove(object_, Access::shared); }
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;

   private:
    const void* object_;  // the object held
};

// Changing: fails when this thread is inside the object in any way.
template <>
class AccessGuard<Access::exclusive> {
   public:
    explicit AccessGuard(PyObject* object) : object_(object) {
        if (ThreadAccesses::held(object) != Access::none) raise(PyExc_RuntimeError, messages::already_borrowed);
        ThreadAccesses::add(object, Access::exclusive);
    }
    ~AccessGuard() { release(); }
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;

    // Ends the access before the scope does: __setstate__ restores the
    // class's own state held, then runs the subclass's code free.
    void release() noexcept {
        if (object_ != nullptr) ThreadAccesses::remove(std::exchange(object_, nullptr), Access::exclusive);
    }

   private:
    const void* object_;  // the object held, null once released
};

using SharedAccess = AccessGuard<Access::shared>;
using ExclusiveAccess = AccessGuard<Access::exclusive>;

}  // namespace korvanta
