#include "platform/journal/journal.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <climits>

namespace fybootp::journal {
namespace {

int ClampedLength(std::string_view text) {
    return text.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX
                                                           : static_cast<int>(text.size());
}

class SystemJournal final : public Sink {
public:
    void Write(Priority priority, std::string_view message) noexcept override {
        const int level = static_cast<int>(priority);
        const int length = ClampedLength(message);
        // sd_journal_send fails when no journald listens (a container, a
        // chroot); syslog still reaches whatever logger the system has.
        if (sd_journal_send("MESSAGE=%.*s", length, message.data(), "PRIORITY=%d", level,
                            "SYSLOG_IDENTIFIER=%s", kIdentifier, nullptr) >= 0) {
            return;
        }
        ::openlog(kIdentifier, LOG_PID | LOG_NDELAY, LOG_DAEMON);
        ::syslog(level, "%.*s", length, message.data());
    }
};

}  // namespace

Sink& SystemSink() {
    static SystemJournal sink;
    return sink;
}

}  // namespace fybootp::journal
