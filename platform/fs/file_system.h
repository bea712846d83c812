#pragma once
// The system calls of the file layer, one virtual member each, so that a
// test can make any step fail on demand (the n-th write, a full disk, a
// denied open) while every other step does what the system does. The file
// layer takes a FileSystem wherever it reads or writes; SystemFileSystem is
// the real one, and it is also what a derived test class calls through to.
//
// Every member behaves as the system call of its name: it returns what that
// call returns and leaves its error in errno.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace fybootp::fs {

class FileSystem {
public:
    virtual ~FileSystem() = default;

    virtual int Open(const char* path, int flags, mode_t mode) const;
    virtual ssize_t Read(int fd, void* buffer, std::size_t size) const;
    virtual ssize_t Write(int fd, const void* buffer, std::size_t size) const;
    virtual int Close(int fd) const;
    virtual int Fsync(int fd) const;
    virtual int Fchmod(int fd, mode_t mode) const;
    virtual int Fchown(int fd, uid_t owner, gid_t group) const;
    virtual int Fstat(int fd, struct stat* info) const;
    virtual int Stat(const char* path, struct stat* info) const;
    virtual int Lstat(const char* path, struct stat* info) const;
    virtual ssize_t ReadLink(const char* path, char* buffer, std::size_t size) const;
    virtual int Rename(const char* from, const char* to) const;
    // renameat2 with RENAME_NOREPLACE: EEXIST when `to` exists, EINVAL
    // where the file system cannot tell.
    virtual int RenameNoReplace(const char* from, const char* to) const;
    virtual int Link(const char* from, const char* to) const;
    virtual int Unlink(const char* path) const;
    // The names in a directory other than . and ..; 0 on success, else -1
    // with errno set.
    virtual int ListDirectory(const std::string& directory, std::vector<std::string>& names) const;
};

// The system's own calls.
const FileSystem& SystemFileSystem();

}  // namespace fybootp::fs
