#pragma once
// The counted reference the server object holds on itself while the
// responder runs. The process host ties it to its lock count, so that a
// local server with a running responder does not end when its last client
// lets go.

#include "platform/com/module_lock.h"

namespace fybootp {

class SelfReference {
public:
    virtual ~SelfReference() = default;
    virtual void AddRef() = 0;
    virtual void Release() = 0;
};

// Counts in a module lock count.
class ModuleLockReference final : public SelfReference {
public:
    explicit ModuleLockReference(ModuleLock& lock) : m_lock(lock) {}
    void AddRef() override { m_lock.AddLock(); }
    void Release() override { m_lock.ReleaseLock(); }

private:
    ModuleLock& m_lock;
};

}  // namespace fybootp
