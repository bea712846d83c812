#include "platform/fs/trusted_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace fybootp::fs {
namespace {

std::string ParentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// One entry of a resolved path; `hasChild` when the entry checked before it
// (which already passed the owner rule) lies inside it.
std::optional<Distrust> CheckEntry(const std::string& path, bool hasChild) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return Distrust{{}, path, std::string("cannot be examined: ") + std::strerror(errno)};
    }
    // realpath left no link; one here was put in its place since.
    if (S_ISLNK(info.st_mode)) return Distrust{{}, path, "is a symbolic link"};
    if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
        return Distrust{{}, path, "is owned by user " + std::to_string(info.st_uid)};
    }
    const bool sticky = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !(sticky && hasChild)) {
        return Distrust{{}, path, "can be written by group or others"};
    }
    return std::nullopt;
}

}  // namespace

std::optional<Distrust> FindDistrust(const std::string& path, std::string* resolved) {
    resolved->clear();
    // realpath(3) with a null buffer allocates what the path needs.
    char* canonical = ::realpath(path.c_str(), nullptr);
    if (canonical == nullptr) {
        return Distrust{path, path, std::string("cannot be resolved: ") + std::strerror(errno)};
    }
    *resolved = canonical;
    std::free(canonical);
    bool hasChild = false;
    for (std::string entry = *resolved;; entry = ParentOf(entry)) {
        if (auto failure = CheckEntry(entry, hasChild)) {
            failure->file = path;
            return failure;
        }
        if (entry == "/") return std::nullopt;
        hasChild = true;
    }
}

std::string DistrustText(const Distrust& distrust) {
    const std::string failing = distrust.path + " " + distrust.reason;
    return distrust.file == distrust.path ? failing : distrust.file + ": " + failing;
}

}  // namespace fybootp::fs
