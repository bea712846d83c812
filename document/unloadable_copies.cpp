// The copies kept of a file that did not load, before a new file replaces
// it: an operator must always be able to get back what the server could not
// read, without the copies filling the disk.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "document/dom_error.h"
#include "document/info_file.h"
#include "platform/fs/atomic_file.h"

namespace fybootp {
namespace {

// 20261207T154500Z: UTC, so that the names sort in the order they were made
// whatever the time zone or daylight saving time.
std::string UtcStamp(std::time_t now) {
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char text[32] = {};
    std::strftime(text, sizeof(text), "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

// A second copy within the same second gets -01, -02, ...: two digits, so
// that the names still sort in the order they were made.
std::string CopyName(const std::string& stamp, int serial) {
    std::string name = kUnloadablePrefix + stamp;
    if (serial > 0) {
        char suffix[16] = {};
        std::snprintf(suffix, sizeof(suffix), "-%02d", serial);
        name += suffix;
    }
    return name;
}

std::vector<std::string> CopyNames(InfoFileAccess& access) {
    std::vector<std::string> names;
    if (access.Files().ListDirectory(".", names) != 0) names.clear();
    std::erase_if(names, [](const std::string& name) {
        return name.compare(0, std::strlen(kUnloadablePrefix), kUnloadablePrefix) != 0;
    });
    std::sort(names.begin(), names.end());
    return names;
}

// The first serial after every copy of this second that is still there: a
// name freed by the removal of an old copy would sort before the others and
// make the newest copy the first to go.
int FirstFreeSerial(InfoFileAccess& access, const std::string& stamp) {
    int serial = 0;
    for (const std::string& name : CopyNames(access)) {
        const std::string first = CopyName(stamp, 0);
        if (name.compare(0, first.size(), first) != 0) continue;
        serial = std::max(serial, name.size() == first.size()
                                      ? 1
                                      : std::atoi(name.c_str() + first.size() + 1) + 1);
    }
    return serial;
}

// 0 and the copy's name, or the errno of the step that failed.
int KeepCopy(const InfoFileLoad& load, InfoFileAccess& access, std::string& name) {
    constexpr int kNamesPerSecond = 100;
    const std::string stamp = UtcStamp(access.Now());
    for (int serial = FirstFreeSerial(access, stamp); serial < kNamesPerSecond; ++serial) {
        name = CopyName(stamp, serial);
        const int error = fs::KeepAs(kInfoFileName, name, load.bytes, access.Files());
        if (error != EEXIST) return error;
    }
    return EEXIST;
}

// Removes the oldest copies beyond kKeptUnloadableFiles. A copy that cannot
// be removed stays; it costs space, not data.
void RemoveOldestCopies(InfoFileAccess& access) {
    const std::vector<std::string> names = CopyNames(access);
    if (names.size() <= kKeptUnloadableFiles) return;
    for (std::size_t i = 0; i + kKeptUnloadableFiles < names.size(); ++i) {
        access.Files().Unlink(names[i].c_str());
    }
}

}  // namespace

void KeepUnloadableFile(const InfoFileLoad& load, InfoFileAccess& access) {
    if (load.outcome != InfoFileLoad::Outcome::kUnloadable) return;
    std::string name;
    if (const int error = KeepCopy(load, access, name)) {
        access.Events().Write(journal::Priority::kError,
                              std::string(kInfoFileName) + " did not load (" + load.reason +
                                  ") and no copy of it could be kept (" +
                                  std::strerror(error) + "); it was not replaced");
        throw DomError(HresultFromErrno(error));
    }
    access.Events().Write(journal::Priority::kWarning,
                          std::string(kInfoFileName) + " did not load (" + load.reason +
                              "); kept as " + name + " before a new file replaced it");
    RemoveOldestCopies(access);
}

}  // namespace fybootp
