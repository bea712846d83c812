#include "platform/fs/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace fybootp::fs {
namespace {

// Closes a descriptor on every path out of a function.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const { return m_fd; }
    // Closes now and reports the error: on some file systems close is
    // where a deferred write error shows.
    int Close() {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int m_fd;
};

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

int WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

// A name beside the target that no other writer in this or another process
// uses at the same moment; O_EXCL settles the rare collision.
std::string TemporaryName(const std::string& path, unsigned attempt) {
    static std::atomic<unsigned> serial{0};
    return path + ".tmp-" + std::to_string(::getpid()) + "-" +
           std::to_string(serial.fetch_add(1) + attempt);
}

int CreateTemporary(const std::string& path, mode_t mode, std::string& name) {
    constexpr unsigned kAttempts = 100;
    for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
        name = TemporaryName(path, attempt);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd >= 0 ? fd : -errno;
    }
    return -EEXIST;
}

int SyncDirectory(const std::string& directory) {
    Descriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() < 0) return errno;
    if (::fsync(dir.Get()) != 0 && errno != EINVAL && errno != ENOTSUP) return errno;
    return dir.Close();
}

// Writes, syncs and closes the temporary file; 0 or the errno.
int FillTemporary(int fd, std::string_view bytes, bool keepMode, mode_t mode) {
    Descriptor file(fd);
    // open applied the umask; a replaced file keeps the bits it had.
    if (keepMode && ::fchmod(file.Get(), mode) != 0) return errno;
    if (const int error = WriteAll(file.Get(), bytes)) return error;
    if (::fsync(file.Get()) != 0) return errno;
    return file.Close();
}

}  // namespace

int ReadWholeFile(const std::string& path, std::string& out, std::size_t maxBytes) {
    out.clear();
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0) return errno;
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0) return errno;
    if (S_ISDIR(info.st_mode)) return EISDIR;
    if (!S_ISREG(info.st_mode)) return EINVAL;
    if (static_cast<std::uint64_t>(info.st_size) > maxBytes) return EFBIG;
    out.resize(static_cast<std::size_t>(info.st_size));
    std::size_t filled = 0;
    for (;;) {
        if (filled == out.size()) {
            // The file may have grown since fstat; read on, within the limit.
            if (out.size() >= maxBytes) break;
            out.resize(std::min(maxBytes, out.size() * 2 + 4096));
        }
        const ssize_t n = ::read(file.Get(), out.data() + filled, out.size() - filled);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            out.clear();
            return error;
        }
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    char probe;
    if (filled == maxBytes && ::read(file.Get(), &probe, 1) > 0) {
        out.clear();
        return EFBIG;
    }
    out.resize(filled);
    return 0;
}

// A writer killed between creating its temporary file and the rename leaves
// the file behind. Its name carries the writer's process id; once no such
// process exists the file is nobody's and goes. A live process of that id,
// ours or another, keeps its files.
void RemoveAbandonedTemporaries(const std::string& path) {
    const std::string directory = DirectoryOf(path);
    const std::size_t slash = path.rfind('/');
    const std::string prefix =
        (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp-";
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
        if (pid <= 0 || end == nullptr || *end != '-') continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        ::unlinkat(::dirfd(dir), name.c_str(), 0);
    }
    ::closedir(dir);
}

int ReplaceFileAtomically(const std::string& path, std::string_view bytes) {
    RemoveAbandonedTemporaries(path);
    struct stat old {};
    const bool keepMode = ::stat(path.c_str(), &old) == 0;
    const mode_t mode = keepMode ? (old.st_mode & 07777) : 0666;

    std::string temporary;
    const int fd = CreateTemporary(path, mode, temporary);
    if (fd < 0) return -fd;
    if (const int error = FillTemporary(fd, bytes, keepMode, mode)) {
        ::unlink(temporary.c_str());
        return error;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return error;
    }
    // Without this the rename itself may be lost in a power failure, leaving
    // the old file after the operation reported success.
    return SyncDirectory(DirectoryOf(path));
}

}  // namespace fybootp::fs
