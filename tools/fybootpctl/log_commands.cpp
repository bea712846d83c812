#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tools/fybootpctl/commands.h"
#include "tools/client/client_failure.h"
#include "tools/fybootpctl/log_follow.h"
#include "tools/client/change_signals.h"
#include "tools/client/server_session.h"

namespace fybootp::tools {
namespace {

volatile sig_atomic_t g_stopFollowing = 0;
int g_stopWriteFd = -1;

// The pipe wakes the wait on the bus even when the signal arrives just
// before it; the flag tells a bus call that the signal interrupted apart
// from a failure.
void StopFollowing(int) {
    const int saved = errno;
    g_stopFollowing = 1;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(g_stopWriteFd, &byte, 1);
    errno = saved;
}

// Returns the pipe's read end. Without SA_RESTART, so that a bus call
// that the signal interrupts ends at once.
int InstallStopHandlers() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw Failure{"following the log", E_OUTOFMEMORY, Stage::kCall,
                      std::string("no pipe for Ctrl-C: ") + std::strerror(errno)};
    }
    g_stopWriteFd = fds[1];
    struct sigaction action {};
    action.sa_handler = StopFollowing;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return fds[0];
}

// The log as the follower reads it: the proxy's calls.
class SessionLog : public LogSource {
public:
    explicit SessionLog(ServerSession& session) : m_session(session) {}
    std::int32_t ChangeCount() override {
        return m_session.Long(&IFyBootpServer::get_LogChangeCnt, "following the log");
    }
    std::vector<LogRow> LogRows() override {
        return ReadLog(m_session.Text(&IFyBootpServer::get_LogEntries, "following the log"));
    }

private:
    ServerSession& m_session;
};

class PrintedLog : public LogSink {
public:
    explicit PrintedLog(Format format) : m_format(format) {}
    void Entry(const LogRow& row) override { PrintLogRow(row, m_format); }
    void Gap(std::uint32_t missing) override { PrintLogGap(missing, m_format); }

private:
    Format m_format;
};

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
    // Any text that loads clears the log: an empty log, rather than the
    // whole log read and sent back (megabytes each way).
    session->PutText(&IFyBootpServer::put_LogEntries,
                     "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FyBootpInfo><Logs/></FyBootpInfo>\n",
                     "clearing the log");
    if (format == Format::kHuman) return PrintText("log cleared");
    PrintLog(LogText(*session), format);
}

namespace {

// The session holds a reference for as long as the follow runs, and the
// server signals changes only to clients that hold one. Listening starts
// before the first read, so no change after that read goes unsignalled.
void FollowUntilStopped(Format format, int stopFd) {
    auto session = ServerSession::Open();
    ServerChangeSignals signals(session->ServerName(), kLogChangeCnt, "following the log");
    SessionLog source(*session);
    PrintedLog sink(format);
    LogFollower follower(source, sink);
    follower.Step();
    while (signals.Wait(stopFd) != 0 && g_stopFollowing == 0) {
        follower.Step();
    }
}

}  // namespace

void FollowLog(Format format) {
    const int stopFd = InstallStopHandlers();
    try {
        FollowUntilStopped(format, stopFd);
    } catch (const Failure&) {
        // Ctrl-C in the middle of a bus call ends that call with EINTR:
        // that is the stop asked for, not a failure of the server.
        if (g_stopFollowing != 0) return;
        throw;
    }
}

}  // namespace fybootp::tools
