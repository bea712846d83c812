#include "document/info_file_access.h"

#include <utility>

namespace fybootp {

InfoFileAccess::InfoFileAccess(const fs::FileSystem& files, journal::Sink& events, Clock clock)
    : m_files(files), m_events(events), m_clock(std::move(clock)) {}

std::time_t InfoFileAccess::Now() const { return m_clock ? m_clock() : std::time(nullptr); }

}  // namespace fybootp
