#include "document/xml_memory.h"

#include <libxml/xmlmemory.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "document/dom_error.h"

namespace fybootp::xml {
namespace {

thread_local std::size_t t_failed = 0;
std::atomic<void* (*)(std::size_t)> g_allocate{nullptr};
std::atomic<void* (*)(void*, std::size_t)> g_reallocate{nullptr};

void* Counted(void* memory) {
    if (memory == nullptr) ++t_failed;
    return memory;
}

void* Allocate(std::size_t size) {
    auto* allocate = g_allocate.load();
    return Counted(allocate != nullptr ? allocate(size) : std::malloc(size));
}

void* Reallocate(void* memory, std::size_t size) {
    auto* reallocate = g_reallocate.load();
    return Counted(reallocate != nullptr ? reallocate(memory, size) : std::realloc(memory, size));
}

char* Duplicate(const char* text) {
    const std::size_t size = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(Allocate(size));
    if (copy != nullptr) std::memcpy(copy, text, size);
    return copy;
}

}  // namespace

void InstallAllocationHooks() {
    // Every hook hands out malloc's memory, so what was allocated before
    // they were installed is freed alike.
    if (xmlMemSetup(std::free, Allocate, Reallocate, Duplicate) != 0) throw DomError(E_FAIL);
}

std::size_t FailedAllocations() { return t_failed; }

void MarkIntact(xmlDoc* document, std::size_t failedBefore) {
    // libxml2 leaves a document's _private to its user; nothing else here
    // uses it.
    document->_private = reinterpret_cast<void*>(static_cast<std::uintptr_t>(failedBefore));
}

void CheckIntact(const xmlDoc* document) {
    const auto before = static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(document->_private));
    if (FailedAllocations() != before) throw DomError(E_OUTOFMEMORY);
}

void SetUnderlyingAllocatorForTests(UnderlyingAllocator allocator) {
    g_allocate.store(allocator.allocate);
    g_reallocate.store(allocator.reallocate);
}

}  // namespace fybootp::xml
