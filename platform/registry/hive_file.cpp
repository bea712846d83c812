#include "platform/registry/hive_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <utility>

#include "platform/fs/atomic_file.h"
#include "platform/registry/hive_text.h"

namespace fybootp::registry {
namespace {

// Whoever may change a hive decides what runs as root: hives and their
// directories are the owner's to write alone, whatever the umask.
constexpr mode_t kFileMode = 0644;
constexpr mode_t kDirectoryMode = 0755;

// Makes the missing directories of path with kDirectoryMode; false on
// failure.
bool MakeDirectories(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) return true;
    if (path.has_parent_path() && path.parent_path() != path &&
        !MakeDirectories(path.parent_path())) {
        return false;
    }
    if (::mkdir(path.c_str(), kDirectoryMode) != 0) return errno == EEXIST;
    return ::chmod(path.c_str(), kDirectoryMode) == 0;
}

// Holds the exclusive lock of a hive for as long as it lives; the kernel
// drops it when the descriptor closes, also when the process is killed.
class ExclusiveLock {
public:
    explicit ExclusiveLock(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode)) {
        if (m_fd < 0) {
            return;
        }
        // open applied the umask; the lock file is made with our mode.
        ::fchmod(m_fd, kFileMode);
        int result;
        do {
            result = ::flock(m_fd, LOCK_EX);
        } while (result != 0 && errno == EINTR);
        if (result != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~ExclusiveLock() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

    bool Held() const { return m_fd >= 0; }

private:
    int m_fd;
};

}  // namespace

HiveFile::HiveFile(std::string root, std::string name)
    : m_root(std::move(root)),
      m_name(std::move(name)),
      m_path(m_root + "/" + m_name + ".reg"),
      m_lockPath(m_root + "/" + m_name + ".lock") {}

LONG HiveFile::Read(Key* root) const {
    std::string text;
    switch (fs::ReadWholeFile(m_path, text, kMaxHiveFileBytes)) {
        case 0:
            break;
        case ENOENT:
        case ENOTDIR:
            // Never written (or no store at all): the hive has only its root.
            *root = Key{};
            return ERROR_SUCCESS;
        case EFBIG:
            return ERROR_BADDB;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        default:
            return ERROR_REGISTRY_IO_FAILED;
    }
    return ReadHiveText(text, root) ? ERROR_SUCCESS : ERROR_BADDB;
}

LONG HiveFile::Update(const Change& change) const {
    if (!MakeDirectories(m_root)) {
        return ERROR_ACCESS_DENIED;
    }
    const ExclusiveLock lock(m_lockPath);
    if (!lock.Held()) {
        return ERROR_ACCESS_DENIED;
    }
    Key root;
    // A damaged file is left as it is for whoever repairs it: writing a
    // change over it would throw away what can still be recovered.
    if (const LONG status = Read(&root); status != ERROR_SUCCESS) {
        return status;
    }
    bool changed = false;
    if (const LONG status = change(root, &changed); status != ERROR_SUCCESS || !changed) {
        return status;
    }
    const std::string text = WriteHiveText(root);
    if (text.size() > kMaxHiveFileBytes) {
        return ERROR_ACCESS_DENIED;  // it could not be read back
    }
    RemoveStaleTemporaries();
    return fs::ReplaceFileAtomically(m_path, text, kFileMode) == 0 ? ERROR_SUCCESS
                                                                  : ERROR_ACCESS_DENIED;
}

// A writer killed between creating its temporary file and renaming it leaves
// the file behind. Only the holder of the lock writes this hive, so while we
// hold it every temporary of this hive is such a leftover.
void HiveFile::RemoveStaleTemporaries() const {
    DIR* dir = ::opendir(m_root.c_str());
    if (dir == nullptr) {
        return;
    }
    const std::string prefix = m_name + ".reg.tmp";
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (name.starts_with(prefix)) {
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
        }
    }
    ::closedir(dir);
}

}  // namespace fybootp::registry
