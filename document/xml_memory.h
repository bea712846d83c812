#pragma once
// libxml2's memory, watched. libxml2 does not report every allocation that
// fails: some leave a node without its name or text and go on. A document
// built or parsed while one failed could be saved with part of it missing,
// so libxml2 allocates through hooks of ours that count, per thread, the
// allocations that failed, and the document routines refuse (E_OUTOFMEMORY)
// to trust a document from a span in which the count moved.

#include <cstddef>

#include <libxml/tree.h>

namespace fybootp::xml {

// Installs the hooks; once per process, before libxml2 is set up.
void InstallAllocationHooks();

// libxml2 allocations that failed on this thread so far.
std::size_t FailedAllocations();

// Notes on a document the count at the moment its content began, and
// raises DomError(E_OUTOFMEMORY) when the count has moved since.
void MarkIntact(xmlDoc* document, std::size_t failedBefore);
void CheckIntact(const xmlDoc* document);

// Test hook: the allocator under the hooks (null: malloc and realloc), so a
// test can make the n-th allocation fail as memory running out would. Not
// for production use; the hooks still count what fails.
struct UnderlyingAllocator {
    void* (*allocate)(std::size_t) = nullptr;
    void* (*reallocate)(void*, std::size_t) = nullptr;
};
void SetUnderlyingAllocatorForTests(UnderlyingAllocator allocator);

}  // namespace fybootp::xml
