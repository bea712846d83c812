#include "core/log_text.h"

#include <cstdio>
#include <cstring>

#include "core/log_time.h"
#include "platform/net/address_text.h"

namespace fybootp {
namespace {

constexpr char kUnknownMakerMessage[] = "Unknown Quellmar MAC address found";

void WriteMessage(const LogEntry& entry, char (&out)[kLogMessageSize]) {
    switch (entry.message) {
        case LogMessage::kAddressAssigned: {
            char address[16];
            net::InetNtoa(entry.ipAddr, address);
            std::snprintf(out, sizeof(out), "IP Address '%s' assigned", address);
            return;
        }
        case LogMessage::kUnknownMaker:
            static_assert(sizeof(kUnknownMakerMessage) <= kLogMessageSize);
            std::memcpy(out, kUnknownMakerMessage, sizeof(kUnknownMakerMessage));
            return;
    }
    out[0] = '\0';
}

}  // namespace

LogRecord LogTextMaker::Make(const LogEntry& entry) {
    if (!m_stampValid || entry.time != m_stampTime) {
        FormatTimeStamp(m_clock.ToLocal(entry.time), m_stampText);
        m_stampTime = entry.time;
        m_stampValid = true;
    }
    LogRecord record;
    std::memcpy(record.timeStamp, m_stampText, sizeof(record.timeStamp));
    record.macAddr = entry.macAddr;
    WriteMessage(entry, record.message);
    return record;
}

}  // namespace fybootp
