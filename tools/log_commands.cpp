#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "tools/commands.h"
#include "tools/ctl_failure.h"
#include "tools/server_session.h"

namespace fybootp::tools {
namespace {

volatile sig_atomic_t g_stopFollowing = 0;

void StopFollowing(int) { g_stopFollowing = 1; }

// Without SA_RESTART, so that the wait between polls ends at once.
void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = StopFollowing;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

constexpr long kPollMilliseconds = 200;
constexpr int kSnapshotTries = 5;

void WaitForNextPoll() {
    timespec wait{0, kPollMilliseconds * 1000000L};
    while (g_stopFollowing == 0 && nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

std::int32_t ChangeCount(ServerSession& session) {
    return session.Long(&IFyBootpServer::get_LogChangeCnt, "following the log");
}

struct Snapshot {
    std::vector<LogRow> rows;
    std::int32_t count = 0;  // LogChangeCnt that the rows belong to
};

// The log with the change count it belongs to: the count is read again
// after the fetch, and the fetch repeated while it moved. On a log that
// never rests the last try counts as current, which may skip entries but
// never shows one twice.
Snapshot TakeSnapshot(ServerSession& session) {
    Snapshot snapshot;
    std::int32_t before = ChangeCount(session);
    for (int attempt = 0; attempt < kSnapshotTries; ++attempt) {
        snapshot.rows = ReadLog(session.Text(&IFyBootpServer::get_LogEntries, "following the log"));
        snapshot.count = ChangeCount(session);
        if (snapshot.count == before) break;
        before = snapshot.count;
    }
    return snapshot;
}

std::string LogText(ServerSession& session) {
    return session.Text(&IFyBootpServer::get_LogEntries, "reading the log");
}

}  // namespace

void ShowLog(Format format) {
    auto session = ServerSession::Open();
    PrintLog(LogText(*session), format);
}

void ClearLog(Format format) {
    auto session = ServerSession::Open();
    // Any text that loads clears the log; the one just read is such a text.
    session->PutText(&IFyBootpServer::put_LogEntries, LogText(*session), "clearing the log");
    if (format == Format::kHuman) return PrintText("log cleared");
    PrintLog(LogText(*session), format);
}

namespace {

void FollowUntilStopped(Format format) {
    auto session = ServerSession::Open();
    Snapshot snapshot = TakeSnapshot(*session);
    for (const LogRow& row : snapshot.rows) PrintLogRow(row, format);
    std::int32_t seen = snapshot.count;
    while (g_stopFollowing == 0) {
        WaitForNextPoll();
        if (g_stopFollowing != 0) break;
        if (ChangeCount(*session) == seen) continue;
        snapshot = TakeSnapshot(*session);
        // Each change is one new entry or one clearing, and a full log drops
        // its oldest entry for each new one: so the newest min(d, size)
        // entries are the new ones.
        const auto delta =
            static_cast<std::uint32_t>(snapshot.count) - static_cast<std::uint32_t>(seen);
        const std::size_t fresh = std::min<std::size_t>(delta, snapshot.rows.size());
        for (std::size_t i = snapshot.rows.size() - fresh; i < snapshot.rows.size(); ++i) {
            PrintLogRow(snapshot.rows[i], format);
        }
        seen = snapshot.count;
    }
}

}  // namespace

void FollowLog(Format format) {
    InstallStopHandlers();
    try {
        FollowUntilStopped(format);
    } catch (const Failure&) {
        // Ctrl-C in the middle of a bus call ends that call with EINTR:
        // that is the stop asked for, not a failure of the server.
        if (g_stopFollowing != 0) return;
        throw;
    }
}

}  // namespace fybootp::tools
