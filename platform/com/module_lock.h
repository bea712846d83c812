#pragma once
// The process's lock count: every reference a client holds on the server
// object, every LockServer lock and the object's own reference while the
// responder runs. Changed only by interlocked operations; whoever hosts the
// process sets the hook that runs when the count falls to 0.

#include <atomic>
#include <functional>

namespace fybootp {

class ModuleLock {
public:
    using ZeroHook = std::function<void()>;

    long AddLock();
    // Runs the hook (outside any lock) when this release brings the count to 0.
    long ReleaseLock();
    long Count() const;

    // Set before the count is first used; not synchronised with the releases.
    void SetZeroHook(ZeroHook hook);

private:
    std::atomic<long> m_lockCount{0};
    ZeroHook m_zeroHook;
};

}  // namespace fybootp
