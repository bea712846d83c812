#pragma once
// Whole-file reads and crash-safe whole-file replacement. Every call returns 0
// or the errno of the step that failed, and makes its system calls through
// the FileSystem it is given.
//
// A replacement goes through a temporary file in the target's own directory
// (rename is atomic only within one file system): write, fsync, rename over
// the target, fsync the directory. Until the rename the old file is
// untouched, so a crash or a failure at any point leaves either the old
// content or the new one, never a mix. A failed replacement removes its
// temporary file; a temporary file left by a writer that was killed is
// removed by the next replacement of the same file.
//
// The temporary file's name carries a random part and is created with
// O_EXCL | O_NOFOLLOW, so nobody can guess it beforehand and plant a link or
// a file there that the writer would then write through.
//
// A path that is a symbolic link stands for the file the link finally
// points to: that file is read, and replaced in its own directory, and the
// link stays. A dangling link gets its target created. A link is followed
// only when root or the owner of its directory owns it (the kernel's
// protected_symlinks rule, which applies to nobody who resolves links
// itself); any other gives EACCES.

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/fs/file_system.h"

namespace fybootp::fs {

// Reads the whole file into out. A file longer than maxBytes is not read and
// gives EFBIG, so that an oversized file cannot exhaust memory. What is not
// a regular file is never opened for reading, so a FIFO or a device cannot
// block the caller: a directory gives EISDIR, anything else EINVAL.
int ReadWholeFile(const std::string& path, std::string& out, std::size_t maxBytes,
                  const FileSystem& files = SystemFileSystem());

// Replaces path with bytes. A new file gets mode 0666 less the umask; a
// replaced regular file keeps its permission bits. A FIFO or device of that
// name is replaced by the regular file (the rename never opens it).
int ReplaceFileAtomically(const std::string& path, std::string_view bytes,
                          const FileSystem& files = SystemFileSystem());
// The same, but a new file gets exactly newFileMode, whatever the umask:
// for files whose mode decides who may change what runs.
constexpr mode_t kModeFromUmask = static_cast<mode_t>(-1);
int ReplaceFileAtomically(const std::string& path, std::string_view bytes, mode_t newFileMode,
                          const FileSystem& files = SystemFileSystem());

// How a replacement treats the file it replaces, and a new one.
struct ReplaceOptions {
    // The exact mode of a new file, or kModeFromUmask.
    mode_t newFileMode = kModeFromUmask;
    // A replaced file keeps its owner and group as well as its permission
    // bits: for a writer (root) that rewrites files that belong to others.
    // A writer not allowed to give the file its old owner gets EPERM and
    // changes nothing.
    bool keepOwner = false;
    // The new file takes the name only while nothing has it, not even a
    // link (which is not followed): EEXIST otherwise, and nothing changes.
    bool exclusive = false;
};

// A replacement in steps, for a caller that must act on the new file before
// it takes the name (lock it, say) and keep it open afterwards:
// Begin, Write, Finish, then Release the descriptor if wanted. Whatever is
// not finished when the object goes leaves the target as it was and no
// temporary file.
class PendingFile {
public:
    explicit PendingFile(const FileSystem& files = SystemFileSystem()) : m_files(files) {}
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // Resolves path to its final target (unless exclusive) and creates the
    // temporary file beside it, already with the mode, and the owner, that
    // the result will have.
    int Begin(const std::string& path, const ReplaceOptions& options);
    // The temporary file, open for writing; -1 before Begin or once closed.
    int Fd() const { return m_fd; }
    // Writes all of bytes at the current offset and syncs them to disk.
    int Write(std::string_view bytes);
    // Closes the temporary file now, to see a write error that a file
    // system reports only at close.
    int Close();
    // Puts the file at the target's name and syncs the directory.
    int Finish();
    // True once the new file has the target's name, even when Finish then
    // failed to sync the directory.
    bool Placed() const { return m_placed; }
    // The descriptor of the file, now the caller's to close.
    int Release();
    // The file that was or is being replaced (path with links followed).
    const std::string& Target() const { return m_target; }

private:
    const FileSystem& m_files;
    std::string m_target;
    std::string m_temporary;  // empty once it is gone or has the name
    bool m_exclusive = false;
    bool m_placed = false;
    int m_fd = -1;
};

// The file that path finally names once every symbolic link on its last
// component is followed (the path itself when it is no link); it need not
// exist. 0, ELOOP for a cycle, or the errno of the step that failed.
int FinalTarget(const std::string& path, std::string& target,
                const FileSystem& files = SystemFileSystem());

// Makes copyPath a second name of the file at path (its final target), or,
// where the file system has no hard links, a copy holding bytes. EEXIST when
// copyPath is taken; nothing is ever overwritten.
int KeepAs(const std::string& path, const std::string& copyPath, std::string_view bytes,
           const FileSystem& files = SystemFileSystem());

// The directory part of path: "." for a bare name.
std::string DirectoryOf(const std::string& path);

}  // namespace fybootp::fs
