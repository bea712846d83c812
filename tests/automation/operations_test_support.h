#pragma once
// What the tests of node editing, reporting and host information share: the
// declaration of a built document, addresses as the interface passes them, a
// check that a change waits for the responder's lock, and a working directory
// that nothing can be written to.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <string>

#include "core/fy_bootp_server.h"
#include "tests/document/document_test_support.h"

namespace fybootp::testing {

inline constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

// The address as the interface's 32-bit argument: network byte order read
// as a number, so the first number of the dotted form is the lowest byte.
inline std::int32_t IpArgument(const char* dotted) { return static_cast<std::int32_t>(Ip(dotted)); }

// True when change cannot finish while the test holds server.m_lock, and
// does finish once it is released: the receive thread, which holds the lock
// for each request, never sees the change half made.
inline bool WaitsForTheLock(FyBootpServer& server, const std::function<void()>& change) {
    std::future<void> done;
    {
        std::lock_guard held(server.m_lock);
        done = std::async(std::launch::async, change);
        if (done.wait_for(std::chrono::milliseconds(100)) != std::future_status::timeout) {
            return false;
        }
    }
    done.get();
    return true;
}

inline constexpr int kSkipped = 77;

// Runs body in a child process whose working directory, dir, is a read-only
// bind mount of itself in a mount namespace of the child's own: no save can
// succeed there, not even as root. Returns body's exit code, or kSkipped
// when the mount is not allowed.
inline int RunInReadOnlyDirectory(const std::string& dir, const std::function<int()>& body) {
    return RunInChild([&] {
        if (!EnterPrivateMountNamespace() ||
            ::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) !=
                0) {
            return kSkipped;
        }
        // The old working directory still names the directory below the mount.
        if (::chdir(dir.c_str()) != 0) return kSkipped;
        return body();
    });
}

}  // namespace fybootp::testing
