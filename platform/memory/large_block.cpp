#include "platform/memory/large_block.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>
#include <utility>

namespace fybootp::memory {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

LargeBlock::LargeBlock(std::size_t bytes) : m_size(bytes) {
    if (bytes < kHugePage) {
        m_data = ::operator new(bytes == 0 ? 1 : bytes);
        return;
    }
    // Map one huge page more than needed and start at the first 2 MiB
    // boundary inside, so that every huge page of the block can be used.
    const std::size_t length = (bytes + kHugePage - 1) / kHugePage * kHugePage + kHugePage;
    void* mapping =
        ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(mapping);
    const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    m_mapping = mapping;
    m_mappingSize = length;
    m_data = reinterpret_cast<void*>(aligned);
    // Only advice: where huge pages are off, the block works the same.
    (void)::madvise(m_data, length - (aligned - start), MADV_HUGEPAGE);
}

LargeBlock::~LargeBlock() { Release(); }

LargeBlock::LargeBlock(LargeBlock&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)),
      m_size(std::exchange(other.m_size, 0)),
      m_mapping(std::exchange(other.m_mapping, nullptr)),
      m_mappingSize(std::exchange(other.m_mappingSize, 0)) {}

LargeBlock& LargeBlock::operator=(LargeBlock&& other) noexcept {
    if (this != &other) {
        Release();
        m_data = std::exchange(other.m_data, nullptr);
        m_size = std::exchange(other.m_size, 0);
        m_mapping = std::exchange(other.m_mapping, nullptr);
        m_mappingSize = std::exchange(other.m_mappingSize, 0);
    }
    return *this;
}

void LargeBlock::Release() noexcept {
    if (m_mapping != nullptr) {
        ::munmap(m_mapping, m_mappingSize);
    } else if (m_data != nullptr) {
        ::operator delete(m_data);
    }
    m_data = nullptr;
    m_mapping = nullptr;
    m_size = m_mappingSize = 0;
}

}  // namespace fybootp::memory
