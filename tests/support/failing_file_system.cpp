#include "tests/support/failing_file_system.h"

#include <unistd.h>

#include <cerrno>

namespace fybootp::testing {

std::string_view FailingFileSystem::Name(Kind kind) {
    static constexpr std::array<std::string_view, kKinds> kNames{
        "open", "read", "write", "close", "fsync", "fchmod", "stat", "rename", "link",
        "unlink", "list", "fchown"};
    return kNames[static_cast<std::size_t>(kind)];
}

void FailingFileSystem::FailNth(Kind kind, std::size_t nth, int error) {
    m_armed.push_back({kind, Calls(kind) + nth, error});
}

void FailingFileSystem::Reset() {
    m_calls.fill(0);
    m_armed.clear();
    m_triggered = false;
}

bool FailingFileSystem::Fails(Kind kind) const {
    const std::size_t call = ++m_calls[static_cast<std::size_t>(kind)];
    for (const Armed& armed : m_armed) {
        if (armed.kind == kind && armed.call == call) {
            m_triggered = true;
            errno = armed.error;
            return true;
        }
    }
    return false;
}

int FailingFileSystem::Open(const char* path, int flags, mode_t mode) const {
    return Fails(Kind::kOpen) ? -1 : FileSystem::Open(path, flags, mode);
}
ssize_t FailingFileSystem::Read(int fd, void* buffer, std::size_t size) const {
    return Fails(Kind::kRead) ? -1 : FileSystem::Read(fd, buffer, size);
}
ssize_t FailingFileSystem::Write(int fd, const void* buffer, std::size_t size) const {
    return Fails(Kind::kWrite) ? -1 : FileSystem::Write(fd, buffer, size);
}
int FailingFileSystem::Close(int fd) const {
    // A failing close still releases the descriptor, as close(2) does.
    if (Fails(Kind::kClose)) {
        const int error = errno;
        FileSystem::Close(fd);
        errno = error;
        return -1;
    }
    return FileSystem::Close(fd);
}
int FailingFileSystem::Fsync(int fd) const {
    return Fails(Kind::kSync) ? -1 : FileSystem::Fsync(fd);
}
int FailingFileSystem::Fchmod(int fd, mode_t mode) const {
    return Fails(Kind::kChmod) ? -1 : FileSystem::Fchmod(fd, mode);
}
int FailingFileSystem::Fchown(int fd, uid_t owner, gid_t group) const {
    return Fails(Kind::kChown) ? -1 : FileSystem::Fchown(fd, owner, group);
}
int FailingFileSystem::Fstat(int fd, struct stat* info) const {
    return Fails(Kind::kStat) ? -1 : FileSystem::Fstat(fd, info);
}
int FailingFileSystem::Stat(const char* path, struct stat* info) const {
    return Fails(Kind::kStat) ? -1 : FileSystem::Stat(path, info);
}
int FailingFileSystem::Lstat(const char* path, struct stat* info) const {
    return Fails(Kind::kStat) ? -1 : FileSystem::Lstat(path, info);
}
ssize_t FailingFileSystem::ReadLink(const char* path, char* buffer, std::size_t size) const {
    return Fails(Kind::kStat) ? -1 : FileSystem::ReadLink(path, buffer, size);
}
int FailingFileSystem::Rename(const char* from, const char* to) const {
    return Fails(Kind::kRename) ? -1 : FileSystem::Rename(from, to);
}
int FailingFileSystem::RenameNoReplace(const char* from, const char* to) const {
    return Fails(Kind::kRename) ? -1 : FileSystem::RenameNoReplace(from, to);
}
int FailingFileSystem::Link(const char* from, const char* to) const {
    return Fails(Kind::kLink) ? -1 : FileSystem::Link(from, to);
}
int FailingFileSystem::Unlink(const char* path) const {
    return Fails(Kind::kUnlink) ? -1 : FileSystem::Unlink(path);
}
int FailingFileSystem::ListDirectory(const std::string& directory,
                                     std::vector<std::string>& names) const {
    return Fails(Kind::kList) ? -1 : FileSystem::ListDirectory(directory, names);
}

}  // namespace fybootp::testing
