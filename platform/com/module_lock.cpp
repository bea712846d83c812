#include "platform/com/module_lock.h"

namespace fybootp {

long ModuleLock::AddLock() { return m_lockCount.fetch_add(1, std::memory_order_acq_rel) + 1; }

long ModuleLock::ReleaseLock() {
    const long now = m_lockCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (now == 0 && m_zeroHook) m_zeroHook();
    return now;
}

long ModuleLock::Count() const { return m_lockCount.load(std::memory_order_acquire); }

void ModuleLock::SetZeroHook(ZeroHook hook) { m_zeroHook = std::move(hook); }

}  // namespace fybootp
