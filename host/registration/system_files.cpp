#include "host/registration/system_files.h"

#include <fcntl.h>
#include <grp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "host/system_paths.h"

extern char** environ;

namespace fybootp::host {

extern const char kActivationTemplate[];
extern const char kPolicyTemplate[];

namespace {

constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kFileMode = 0644;
constexpr char kGroup[] = "fybootp";
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorWriteFault = 29;
constexpr char kHiveFiles[][10] = {"HKCR.reg", "HKLM.reg", "HKCR.lock", "HKLM.lock"};

std::string ParentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// Someone other than us could change what stands at path.
bool OpenToOthers(const std::string& path, std::string* why) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return false;  // made by us later
    // In a sticky directory (/tmp) others may add names but not replace ours.
    const bool sticky = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
    const bool othersWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky;
    if ((info.st_uid != ::geteuid() && info.st_uid != 0) || othersWrite) {
        *why = "Refusing to write into " + path + ": other users can change it";
        return true;
    }
    return false;
}

// Built by appending: g++ 12's -Wrestrict misreads std::string::replace
// in a loop at -O3.
std::string Replaced(const std::string& text, const std::string& from, const std::string& to) {
    std::string result;
    std::size_t done = 0;
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, done)) {
        result.append(text, done, at - done);
        result += to;
        done = at + from.size();
    }
    result.append(text, done, std::string::npos);
    return result;
}

bool GroupExists() {
    const std::string root = SystemRoot();
    if (Trimmed(root) == "/") return ::getgrnam(kGroup) != nullptr;
    std::ifstream file(Trimmed(root) + "/etc/group");
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind(std::string(kGroup) + ":", 0) == 0) return true;
    }
    return false;
}

// groupadd --prefix works on ROOT/etc/group and ROOT/etc/gshadow, which a
// scratch root may not have yet.
void PrepareScratchGroupFiles(const std::string& root) {
    MakeDirectories(root + "/etc");
    for (const auto& [name, mode] : {std::pair{"/etc/group", 0644}, {"/etc/gshadow", 0640}}) {
        const int fd = ::open((root + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, mode);
        if (fd >= 0) ::close(fd);
    }
}

int RunGroupadd(const std::string& root) {
    std::vector<std::string> args{"groupadd", "--system"};
    if (root != "/") {
        PrepareScratchGroupFiles(root);
        args.insert(args.end(), {"--prefix", root});
    }
    args.emplace_back(kGroup);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    if (posix_spawnp(&child, "groupadd", nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

void ShowMessage(const std::string& caption, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

bool RegistryIsPrivate(std::string* why) {
    const std::string root = Trimmed(SystemRoot());
    const std::string registry = Trimmed(RegistryRoot());
    for (const char* hive : kHiveFiles) {
        if (OpenToOthers(registry + "/" + hive, why)) return false;
    }
    // The directories down to the root's own: whoever may rename one of
    // them may put a registry of their own in its place.
    for (std::string dir = registry; dir.size() > 1; dir = ParentOf(dir)) {
        if (OpenToOthers(dir, why)) return false;
        if (dir == root) break;
    }
    return true;
}

int MakeDirectories(const std::string& path) {
    const std::string target = Trimmed(path);
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    if (target.size() > 1) {
        if (const int error = MakeDirectories(ParentOf(target))) return error;
    }
    if (::mkdir(target.c_str(), kDirectoryMode) != 0 && errno != EEXIST) return errno;
    // mkdir applied the umask.
    return ::chmod(target.c_str(), kDirectoryMode) == 0 ? 0 : errno;
}

int WriteSystemFile(const std::string& path, const std::string& text) {
    const std::string dir = ParentOf(path);
    if (const int error = MakeDirectories(dir)) return error;
    const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (fd < 0) return errno;
    int error = 0;
    for (std::size_t done = 0; error == 0 && done < text.size();) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno != EINTR) error = errno;
        if (wrote > 0) done += static_cast<std::size_t>(wrote);
    }
    if (error == 0 && (::fchmod(fd, kFileMode) != 0 || ::fsync(fd) != 0)) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return error;
    }
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return 0;
}

int RemoveSystemFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
}

std::string QuoteExecWord(const std::string& word) {
    if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVW"
                                                "XYZ0123456789/._-=+,:@") == std::string::npos) {
        return word;
    }
    // Inside single quotes nothing is special but the quote itself, which
    // closes, is written escaped, and opens again.
    std::string quoted = "'";
    quoted += Replaced(word, "'", "'\\''");
    quoted += '\'';
    return quoted;
}

std::string ActivationFileText(const std::string& modulePath, const std::string& stateDirectory) {
    std::istringstream lines(kActivationTemplate);
    std::string text;
    std::string line;
    while (std::getline(lines, line)) {
        // The comments name the placeholders too; only the Exec line is
        // filled in.
        if (line.rfind("Exec=", 0) == 0) {
            line =
                Replaced(line, "--chdir=@STATE_DIR@", QuoteExecWord("--chdir=" + stateDirectory));
            line = Replaced(line, "@MODULE@", QuoteExecWord(modulePath));
        }
        text += line + "\n";
    }
    return text;
}

std::string BusPolicyText() { return kPolicyTemplate; }

bool EnsureGroup(const std::string& caption) {
    if (GroupExists()) return true;
    const std::string root = Trimmed(SystemRoot());
    if (RunGroupadd(root) == 0 && GroupExists()) return true;
    ShowMessage(caption, "Couldn't create group fybootp");
    return false;
}

HRESULT InstallBusFiles(const std::string& caption, const std::string& modulePath) {
    // The policy names the group, so the group comes first.
    EnsureGroup(caption);
    int error = WriteSystemFile(BusPolicyPath(), BusPolicyText());
    if (error == 0) {
        error =
            WriteSystemFile(ActivationFilePath(), ActivationFileText(modulePath, StateDirectory()));
    }
    if (error == 0) return S_OK;
    std::string message = "Couldn't write the bus files: ";
    message += std::strerror(error);
    ShowMessage(caption, message);
    RemoveBusFiles();
    return HresultFromWin32(error == EACCES || error == EPERM || error == EROFS ? kErrorAccessDenied
                                                                                : kErrorWriteFault);
}

HRESULT RemoveBusFiles() {
    const int activation = RemoveSystemFile(ActivationFilePath());
    const int policy = RemoveSystemFile(BusPolicyPath());
    return activation == 0 && policy == 0 ? S_OK : HresultFromWin32(kErrorAccessDenied);
}

}  // namespace fybootp::host
