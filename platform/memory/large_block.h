#pragma once
// Memory for large tables that are read at random, such as the node index.
// A block of 2 MiB or more is mapped on its own, aligned to 2 MiB and
// offered to the kernel for huge pages, so that a lookup costs one cache
// miss instead of a cache miss and a page-table walk. Smaller blocks come
// from the heap.

#include <cstddef>

namespace fybootp::memory {

class LargeBlock {
public:
    LargeBlock() = default;
    // Throws std::bad_alloc when the memory cannot be had. Its content is
    // undefined.
    explicit LargeBlock(std::size_t bytes);
    ~LargeBlock();
    LargeBlock(LargeBlock&& other) noexcept;
    LargeBlock& operator=(LargeBlock&& other) noexcept;
    LargeBlock(const LargeBlock&) = delete;
    LargeBlock& operator=(const LargeBlock&) = delete;

    void* Data() const { return m_data; }
    std::size_t Size() const { return m_size; }

private:
    void Release() noexcept;

    void* m_data = nullptr;
    std::size_t m_size = 0;
    void* m_mapping = nullptr;  // the whole mapping, when mapped
    std::size_t m_mappingSize = 0;
};

}  // namespace fybootp::memory
