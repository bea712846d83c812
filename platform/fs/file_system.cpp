#include "platform/fs/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace fybootp::fs {

int FileSystem::Open(const char* path, int flags, mode_t mode) const {
    return ::open(path, flags, mode);
}
ssize_t FileSystem::Read(int fd, void* buffer, std::size_t size) const {
    return ::read(fd, buffer, size);
}
ssize_t FileSystem::Write(int fd, const void* buffer, std::size_t size) const {
    return ::write(fd, buffer, size);
}
int FileSystem::Close(int fd) const { return ::close(fd); }
int FileSystem::Fsync(int fd) const { return ::fsync(fd); }
int FileSystem::Fchmod(int fd, mode_t mode) const { return ::fchmod(fd, mode); }
int FileSystem::Fchown(int fd, uid_t owner, gid_t group) const {
    return ::fchown(fd, owner, group);
}
int FileSystem::Fstat(int fd, struct stat* info) const { return ::fstat(fd, info); }
int FileSystem::Stat(const char* path, struct stat* info) const { return ::stat(path, info); }
int FileSystem::Lstat(const char* path, struct stat* info) const { return ::lstat(path, info); }
ssize_t FileSystem::ReadLink(const char* path, char* buffer, std::size_t size) const {
    return ::readlink(path, buffer, size);
}
int FileSystem::Rename(const char* from, const char* to) const { return ::rename(from, to); }
int FileSystem::RenameNoReplace(const char* from, const char* to) const {
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}
int FileSystem::Link(const char* from, const char* to) const { return ::link(from, to); }
int FileSystem::Unlink(const char* path) const { return ::unlink(path); }

int FileSystem::ListDirectory(const std::string& directory, std::vector<std::string>& names) const {
    names.clear();
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return -1;
    int result = 0;
    try {
        errno = 0;
        while (const dirent* entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                names.emplace_back(entry->d_name);
            }
        }
        if (errno != 0) result = -1;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        result = -1;
    }
    const int error = errno;
    ::closedir(dir);
    errno = error;
    return result;
}

const FileSystem& SystemFileSystem() {
    static const FileSystem system;
    return system;
}

}  // namespace fybootp::fs
