#pragma once
// Inside the bus layer: runs work that may throw and turns whatever escapes
// it into a status, so that no exception reaches sd-bus or a caller.

#include <new>

#include "platform/com/hresult.h"

namespace fybootp::bus {

template <class Work>
HRESULT Guarded(Work&& work) noexcept {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace fybootp::bus
