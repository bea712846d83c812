#pragma once
// Everything the reads and writes of FyBootpInfo.xml go through besides the
// bytes: the file layer, the event log that hears of a file that could not
// be read or did not load, the clock that stamps the copies kept of such a
// file, and what the start-up load found out about the file.
//
// One belongs to the server object's document factory, so tests hand in a
// file layer that fails on demand and a sink whose lines they read.

#include <atomic>
#include <ctime>
#include <functional>

#include "platform/com/hresult.h"
#include "platform/fs/file_system.h"
#include "platform/journal/journal.h"

namespace fybootp {

class InfoFileAccess {
public:
    using Clock = std::function<std::time_t()>;

    // An empty clock means the system's.
    explicit InfoFileAccess(const fs::FileSystem& files = fs::SystemFileSystem(),
                            journal::Sink& events = journal::SystemSink(), Clock clock = {});
    InfoFileAccess(const InfoFileAccess&) = delete;
    InfoFileAccess& operator=(const InfoFileAccess&) = delete;

    const fs::FileSystem& Files() const { return m_files; }
    journal::Sink& Events() const { return m_events; }
    std::time_t Now() const;

    // S_OK, or the status of the read that failed when the start-up load
    // found the file but could not read it. The table and identity in memory
    // are then not the file's, and saving them would drop what it holds, so
    // every later save is refused while the file exists (info_file.h).
    HRESULT StartupReadStatus() const { return m_startupRead.load(); }
    void SetStartupReadStatus(HRESULT status) { m_startupRead.store(status); }

private:
    const fs::FileSystem& m_files;
    journal::Sink& m_events;
    Clock m_clock;
    std::atomic<HRESULT> m_startupRead{S_OK};
};

}  // namespace fybootp
