#pragma once
// Runs work that may throw and turns whatever escapes it into a status, so
// that no exception leaves an interface operation, reaches sd-bus or
// crosses into a caller.

#include <new>

#include "platform/com/hresult.h"

namespace fybootp {

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

}  // namespace fybootp
