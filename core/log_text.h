#pragma once
// The text of log entries, made when the log is read: the time stamp is the
// local time of the moment the entry was made, broken down through the
// server's clock, and the message is written out from its kind and address.

#include <ctime>

#include "core/bootp_types.h"
#include "core/responder_platform.h"

namespace fybootp {

class LogTextMaker {
public:
    explicit LogTextMaker(ResponderPlatform& clock) : m_clock(clock) {}

    LogRecord Make(const LogEntry& entry);

private:
    // A log holds many entries to a second, oldest first: the stamp of the
    // last second is reused rather than broken down again.
    ResponderPlatform& m_clock;
    bool m_stampValid = false;
    std::time_t m_stampTime = 0;
    char m_stampText[kTimeStampSize] = {};
};

}  // namespace fybootp
