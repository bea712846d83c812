#pragma once
// A file layer that fails on demand: every call goes to the system's, except
// the one the test picked, the n-th call of one kind, which fails with the
// errno the test chose and changes nothing. It also counts the calls of each
// kind, so that a test can first run an operation cleanly to learn how many
// steps of each kind it takes and then fail each one in turn.

#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

#include "platform/fs/file_system.h"

namespace fybootp::testing {

class FailingFileSystem final : public fs::FileSystem {
public:
    // kRename counts both kinds of rename.
    enum class Kind { kOpen, kRead, kWrite, kClose, kSync, kChmod, kStat, kRename, kLink,
                      kUnlink, kList, kChown, kCount };
    static constexpr std::size_t kKinds = static_cast<std::size_t>(Kind::kCount);
    static std::string_view Name(Kind kind);

    // The nth call of kind from now (1: the next) fails with error. Several
    // can be armed at once.
    void FailNth(Kind kind, std::size_t nth, int error);
    // Counts from zero again, with no failure armed.
    void Reset();
    std::size_t Calls(Kind kind) const { return m_calls[static_cast<std::size_t>(kind)]; }
    bool Triggered() const { return m_triggered; }

    int Open(const char* path, int flags, mode_t mode) const override;
    ssize_t Read(int fd, void* buffer, std::size_t size) const override;
    ssize_t Write(int fd, const void* buffer, std::size_t size) const override;
    int Close(int fd) const override;
    int Fsync(int fd) const override;
    int Fchmod(int fd, mode_t mode) const override;
    int Fchown(int fd, uid_t owner, gid_t group) const override;
    int Fstat(int fd, struct stat* info) const override;
    int Stat(const char* path, struct stat* info) const override;
    int Lstat(const char* path, struct stat* info) const override;
    ssize_t ReadLink(const char* path, char* buffer, std::size_t size) const override;
    int Rename(const char* from, const char* to) const override;
    int RenameNoReplace(const char* from, const char* to) const override;
    int Link(const char* from, const char* to) const override;
    int Unlink(const char* path) const override;
    int ListDirectory(const std::string& directory,
                      std::vector<std::string>& names) const override;

private:
    // Counts the call; true, with errno set, when it is the one to fail.
    bool Fails(Kind kind) const;

    struct Armed {
        Kind kind;
        std::size_t call;
        int error;
    };
    mutable std::array<std::size_t, kKinds> m_calls{};
    std::vector<Armed> m_armed;
    mutable bool m_triggered = false;
};

}  // namespace fybootp::testing
