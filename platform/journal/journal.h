#pragma once
// The event log: one line at a time into the system journal under the
// identifier "FyBootp", or into syslog where no journal listens. Operators
// read it with `journalctl -t FyBootp`.
//
// Code that reports events takes a Sink, so that tests can read what would
// have been written; SystemSink is the real one.

#include <string_view>

namespace fybootp::journal {

enum class Priority { kError = 3, kWarning = 4, kInfo = 6 };

inline constexpr char kIdentifier[] = "FyBootp";

class Sink {
public:
    virtual ~Sink() = default;
    // Never throws and never fails visibly: an event that cannot be written
    // is lost, as a full event log loses it.
    virtual void Write(Priority priority, std::string_view message) noexcept = 0;
};

// The journal, falling back to syslog.
Sink& SystemSink();

}  // namespace fybootp::journal
