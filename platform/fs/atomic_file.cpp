#include "platform/fs/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace fybootp::fs {
namespace {

// Closes a descriptor on every path out of a function.
class Descriptor {
public:
    Descriptor(const FileSystem& files, int fd) : m_files(files), m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) m_files.Close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const { return m_fd; }
    // Closes now and reports the error: on some file systems close is
    // where a deferred write error shows.
    int Close() {
        const int fd = m_fd;
        m_fd = -1;
        return m_files.Close(fd) == 0 ? 0 : errno;
    }

private:
    const FileSystem& m_files;
    int m_fd;
};

std::string BaseNameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int WriteAll(const FileSystem& files, int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = files.Write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

// A name beside the target that nobody can know before the file exists, so
// nobody can plant a link or a file there first: the writer's process id
// (which lets a later writer tell an abandoned file, below) and 64 random
// bits. Empty when the system gives no randomness.
std::string TemporaryName(const std::string& path) {
    unsigned char random[8];
    std::size_t filled = 0;
    while (filled < sizeof(random)) {
        const ssize_t n = ::getrandom(random + filled, sizeof(random) - filled, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return {};
        filled += static_cast<std::size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name = path + ".tmp-" + std::to_string(::getpid()) + "-";
    for (const unsigned char byte : random) {
        name += kHex[byte >> 4];
        name += kHex[byte & 0xF];
    }
    return name;
}

// O_EXCL never opens what is already there, a link included; O_NOFOLLOW
// says so once more. A collision of random names only costs another try.
int CreateTemporary(const FileSystem& files, const std::string& path, mode_t mode,
                    std::string& name) {
    constexpr unsigned kAttempts = 100;
    for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
        name = TemporaryName(path);
        if (name.empty()) return errno != 0 ? -errno : -EIO;
        const int fd =
            files.Open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            if (fd < 0) name.clear();
            return fd >= 0 ? fd : -errno;
        }
    }
    name.clear();
    return -EEXIST;
}

int SyncDirectory(const FileSystem& files, const std::string& directory) {
    Descriptor dir(files, files.Open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (dir.Get() < 0) return errno;
    if (files.Fsync(dir.Get()) != 0 && errno != EINVAL && errno != ENOTSUP) return errno;
    return dir.Close();
}

// Gives the new file the owner and group of the one it replaces. Only what
// differs is changed, so a writer that owns the file needs no privilege.
int TakeOwner(const FileSystem& files, int fd, const struct stat& old) {
    struct stat made {};
    if (files.Fstat(fd, &made) != 0) return errno;
    if (made.st_uid == old.st_uid && made.st_gid == old.st_gid) return 0;
    return files.Fchown(fd, old.st_uid, old.st_gid) == 0 ? 0 : errno;
}

// Gives the temporary file the target's name. Exclusive: only while the
// name is free, by a rename that replaces nothing or, on a file system
// without one, by a second name, which replaces nothing either.
int PutInPlace(const FileSystem& files, const std::string& temporary, const std::string& target,
               bool exclusive) {
    if (!exclusive) return files.Rename(temporary.c_str(), target.c_str()) == 0 ? 0 : errno;
    if (files.RenameNoReplace(temporary.c_str(), target.c_str()) == 0) return 0;
    if (errno != EINVAL) return errno;
    if (files.Link(temporary.c_str(), target.c_str()) != 0) return errno;
    files.Unlink(temporary.c_str());
    return 0;
}

// The bytes of an open regular file, within maxBytes.
int ReadOpenFile(const FileSystem& files, int fd, std::string& out, std::size_t maxBytes) {
    struct stat info {};
    if (files.Fstat(fd, &info) != 0) return errno;
    // Checked again on the open file: the name may have been replaced since.
    if (!S_ISREG(info.st_mode)) return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    if (static_cast<std::uint64_t>(info.st_size) > maxBytes) return EFBIG;
    out.resize(static_cast<std::size_t>(info.st_size));
    std::size_t filled = 0;
    for (;;) {
        if (filled == out.size()) {
            // Usually the end: one byte more tells, before the buffer of a
            // large file is copied into one twice its size. The file may
            // have grown since fstat; then read on, within the limit.
            char probe;
            const ssize_t n = files.Read(fd, &probe, 1);
            if (n < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            if (n == 0) break;
            if (out.size() >= maxBytes) return EFBIG;
            out.resize(std::min(maxBytes, out.size() * 2 + 4096));
            out[filled++] = probe;
            continue;
        }
        const ssize_t n = files.Read(fd, out.data() + filled, out.size() - filled);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    out.resize(filled);
    return 0;
}

// A writer killed between creating its temporary file and the rename leaves
// the file behind. Its name carries the writer's process id; once no such
// process exists the file is nobody's and goes. A live process of that id,
// ours or another, keeps its files.
void RemoveAbandonedTemporaries(const FileSystem& files, const std::string& path) {
    const std::string directory = DirectoryOf(path);
    const std::string prefix = BaseNameOf(path) + ".tmp-";
    std::vector<std::string> names;
    if (files.ListDirectory(directory, names) != 0) return;
    for (const std::string& name : names) {
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
        if (pid <= 0 || end == nullptr || *end != '-') continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        files.Unlink((directory + "/" + name).c_str());
    }
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

int ReadWholeFile(const std::string& path, std::string& out, std::size_t maxBytes,
                  const FileSystem& files) {
    out.clear();
    std::string target;
    if (const int error = FinalTarget(path, target, files)) return error;
    // Decided before any open: opening a FIFO for reading waits for a
    // writer, and opening a device may do whatever its driver does.
    struct stat info {};
    if (files.Stat(target.c_str(), &info) != 0) return errno;
    if (!S_ISREG(info.st_mode)) return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    Descriptor file(files,
                    files.Open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0));
    if (file.Get() < 0) return errno;
    const int error = ReadOpenFile(files, file.Get(), out, maxBytes);
    if (error != 0) out.clear();
    return error;
}

int FinalTarget(const std::string& path, std::string& target, const FileSystem& files) {
    // The kernel's own bound on links followed in one lookup.
    constexpr int kMaxLinks = 40;
    target = path;
    for (int followed = 0; followed <= kMaxLinks; ++followed) {
        struct stat info {};
        if (files.Lstat(target.c_str(), &info) != 0) return errno == ENOENT ? 0 : errno;
        if (!S_ISLNK(info.st_mode)) return 0;
        // We resolve links ourselves, so the kernel's protected_symlinks
        // never looks at them: a link that neither root nor the owner of
        // its directory made could aim our writes at any file we may write.
        struct stat directory {};
        if (files.Stat(DirectoryOf(target).c_str(), &directory) != 0) return errno;
        if (info.st_uid != 0 && info.st_uid != directory.st_uid) return EACCES;
        std::string text(static_cast<std::size_t>(info.st_size) + 1, '\0');
        const ssize_t n = files.ReadLink(target.c_str(), text.data(), text.size());
        if (n < 0) return errno;
        // A link rewritten longer between lstat and readlink: look again.
        if (static_cast<std::size_t>(n) >= text.size()) continue;
        text.resize(static_cast<std::size_t>(n));
        if (text.empty()) return ENOENT;
        target = text.front() == '/' ? text : DirectoryOf(target) + "/" + text;
    }
    return ELOOP;
}

int ReplaceFileAtomically(const std::string& path, std::string_view bytes,
                          const FileSystem& files) {
    return ReplaceFileAtomically(path, bytes, kModeFromUmask, files);
}

int ReplaceFileAtomically(const std::string& path, std::string_view bytes, mode_t newFileMode,
                          const FileSystem& files) {
    ReplaceOptions options;
    options.newFileMode = newFileMode;
    PendingFile file(files);
    if (const int error = file.Begin(path, options)) return error;
    if (const int error = file.Write(bytes)) return error;
    if (const int error = file.Close()) return error;
    return file.Finish();
}

PendingFile::~PendingFile() {
    if (m_fd >= 0) m_files.Close(m_fd);
    if (!m_temporary.empty()) m_files.Unlink(m_temporary.c_str());
}

int PendingFile::Begin(const std::string& path, const ReplaceOptions& options) {
    m_exclusive = options.exclusive;
    m_target = path;
    // Replacing the link itself would leave the operator's real file stale
    // behind it. A name that must be free is taken as it stands.
    if (!m_exclusive) {
        if (const int error = FinalTarget(path, m_target, m_files)) return error;
    }
    RemoveAbandonedTemporaries(m_files, m_target);
    struct stat old {};
    const bool exists =
        !m_exclusive && m_files.Stat(m_target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    const bool exactMode = exists || options.newFileMode != kModeFromUmask;
    const mode_t mode = exists ? (old.st_mode & 07777) : exactMode ? options.newFileMode : 0666;

    const int fd = CreateTemporary(m_files, m_target, mode, m_temporary);
    if (fd < 0) return -fd;
    m_fd = fd;
    // Owner first: a change of owner clears the set-id bits that the mode
    // then restores. Both before any byte is written, so the content is
    // never readable by more than the old file allowed.
    if (options.keepOwner && exists) {
        if (const int error = TakeOwner(m_files, m_fd, old)) return error;
    }
    // open applied the umask; a replaced file keeps the bits it had, and a
    // new file whose mode was given gets exactly that.
    if (exactMode && m_files.Fchmod(m_fd, mode) != 0) return errno;
    return 0;
}

int PendingFile::Write(std::string_view bytes) {
    if (m_fd < 0) return EBADF;
    if (const int error = WriteAll(m_files, m_fd, bytes)) return error;
    return m_files.Fsync(m_fd) == 0 ? 0 : errno;
}

int PendingFile::Close() {
    const int fd = m_fd;
    m_fd = -1;
    return fd < 0 || m_files.Close(fd) == 0 ? 0 : errno;
}

int PendingFile::Finish() {
    if (m_temporary.empty()) return EBADF;
    if (const int error = PutInPlace(m_files, m_temporary, m_target, m_exclusive)) return error;
    m_temporary.clear();
    m_placed = true;
    // Without this the rename itself may be lost in a power failure, leaving
    // the old file after the operation reported success.
    return SyncDirectory(m_files, DirectoryOf(m_target));
}

int PendingFile::Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

int KeepAs(const std::string& path, const std::string& copyPath, std::string_view bytes,
           const FileSystem& files) {
    std::string target;
    if (const int error = FinalTarget(path, target, files)) return error;
    // A second name costs no space and holds the bytes exactly as they were.
    if (files.Link(target.c_str(), copyPath.c_str()) == 0) {
        return SyncDirectory(files, DirectoryOf(copyPath));
    }
    if (errno == EEXIST) return EEXIST;
    struct stat info {};
    if (files.Lstat(copyPath.c_str(), &info) == 0) return EEXIST;
    return ReplaceFileAtomically(copyPath, bytes, files);
}

}  // namespace fybootp::fs
