#pragma once
// Running a piece of a test in a forked child: for what changes the whole
// process (its mount namespace, a file system mounted over a folder) and
// must not outlive the case.

#include <functional>

namespace fybootp::testing {

// In a child of RunInChild: moves the process into a mount namespace of its
// own, whose mounts the machine never sees. False when that is not allowed.
bool EnterPrivateMountNamespace();

// Runs body in a forked child and returns its exit code, or 128 + the
// signal that ended it. The child never returns into the test.
int RunInChild(const std::function<int()>& body);

}  // namespace fybootp::testing
