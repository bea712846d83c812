#include "tests/support/failing_allocator.h"

#include <cstdlib>
#include <new>

namespace fybootp::testing {
namespace {

struct ThreadState {
    std::size_t allocations = 0;
    std::size_t failAt = 0;  // 0: not armed
    bool failEveryLater = false;
    bool triggered = false;
};

thread_local ThreadState t_state;

bool ShouldFail() {
    ThreadState& state = t_state;
    ++state.allocations;
    if (state.failAt == 0 || state.allocations < state.failAt) return false;
    if (state.allocations > state.failAt && !state.failEveryLater) return false;
    state.triggered = true;
    return true;
}

void* Allocate(std::size_t size, std::size_t alignment) {
    if (ShouldFail()) return nullptr;
    if (size == 0) size = 1;
    if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
    void* memory = nullptr;
    return ::posix_memalign(&memory, alignment, size) == 0 ? memory : nullptr;
}

void* AllocateOrThrow(std::size_t size, std::size_t alignment) {
    void* memory = Allocate(size, alignment);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

}  // namespace

FailingAllocations::FailingAllocations(std::size_t nth, bool failEveryLater) {
    t_state.failAt = t_state.allocations + (nth == 0 ? 1 : nth);
    t_state.failEveryLater = failEveryLater;
    t_state.triggered = false;
}

FailingAllocations::~FailingAllocations() {
    t_state.failAt = 0;
    t_state.failEveryLater = false;
}

bool FailingAllocations::Triggered() const { return t_state.triggered; }

std::size_t AllocationsOfThisThread() { return t_state.allocations; }

}  // namespace fybootp::testing

using fybootp::testing::Allocate;
using fybootp::testing::AllocateOrThrow;

void* operator new(std::size_t size) { return AllocateOrThrow(size, 0); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size, 0); }
void* operator new(std::size_t size, std::align_val_t al) {
    return AllocateOrThrow(size, static_cast<std::size_t>(al));
}
void* operator new[](std::size_t size, std::align_val_t al) {
    return AllocateOrThrow(size, static_cast<std::size_t>(al));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, 0); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
    return Allocate(size, static_cast<std::size_t>(al));
}
void* operator new[](std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
    return Allocate(size, static_cast<std::size_t>(al));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
