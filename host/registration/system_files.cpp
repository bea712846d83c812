#include "host/registration/system_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
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

#include "host/registration/unit_files.h"
#include "host/system_accounts.h"
#include "host/system_paths.h"

extern char** environ;

namespace fybootp::host {

extern const char kActivationTemplate[];
extern const char kPolicyTemplate[];

namespace {

constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kFileMode = 0644;
constexpr mode_t kServerDirectoryMode = 0750;
constexpr char kGroup[] = "fybootp";
constexpr char kInfoFile[] = "FyBootpInfo.xml";
constexpr char kUnloadableCopyPrefix[] = "FyBootpInfo.xml.unloadable-";
constexpr std::uint32_t kErrorNoSuchUser = 1317;
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

// groupadd and useradd --prefix work on ROOT/etc's account files, which a
// scratch root may not have yet.
void PrepareScratchAccountFiles(const std::string& root) {
    MakeDirectories(root + "/etc");
    for (const auto& [name, mode] : {std::pair{"/etc/group", 0644}, {"/etc/gshadow", 0640},
                                     {"/etc/passwd", 0644}, {"/etc/shadow", 0640}}) {
        const int fd = ::open((root + name).c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                              static_cast<mode_t>(mode));
        if (fd >= 0) ::close(fd);
    }
}

int RunTool(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    // A child starts as from a shell: nothing blocked, default dispositions,
    // whatever its parent had.
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) return -1;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t child = -1;
    const int spawned =
        posix_spawnp(&child, argv.front(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) return -1;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// groupadd or useradd with --system, below a scratch root with --prefix.
int RunAccountTool(const char* tool, std::vector<std::string> options, const char* name) {
    const std::string root = Trimmed(SystemRoot());
    std::vector<std::string> args{tool, "--system"};
    args.insert(args.end(), options.begin(), options.end());
    if (root != "/") {
        PrepareScratchAccountFiles(root);
        args.insert(args.end(), {"--prefix", root});
    }
    args.emplace_back(name);
    return RunTool(std::move(args));
}

// Owner and mode set on the directory itself, never through a link put in
// its place.
int SetOwnerAndMode(const std::string& path, uid_t uid, gid_t gid, mode_t mode) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = 0;
    if (::fchown(fd, uid, gid) != 0 || ::fchmod(fd, mode) != 0) error = errno;
    ::close(fd);
    return error;
}

// The node table and its unloadable copies lived in the state directory
// before the server had a directory of its own; they move there once, and
// become the server's, so that it can go on writing them.
int MoveInfoFiles(const std::string& from, const std::string& to, const SystemAccount& user) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(from.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string_view name(entry->d_name);
            if (name == kInfoFile || name.starts_with(kUnloadableCopyPrefix)) names.emplace_back(name);
        }
        ::closedir(dir);
    }
    for (const std::string& name : names) {
        const std::string source = from + "/" + name;
        const std::string target = to + "/" + name;
        struct stat info {};
        // Only regular files, and never over one the server has already.
        if (::lstat(source.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        if (::lstat(target.c_str(), &info) == 0) continue;
        if (::rename(source.c_str(), target.c_str()) != 0) return errno;
        if (::lchown(target.c_str(), user.uid, user.gid) != 0) return errno;
    }
    return 0;
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

std::string ActivationFileText(const std::string& modulePath, const std::string& workingDirectory,
                               const std::string& unitName) {
    std::istringstream lines(kActivationTemplate);
    std::string text;
    std::string line;
    while (std::getline(lines, line)) {
        // The comments name the placeholders too; only the Exec line is
        // filled in.
        if (line.rfind("Exec=", 0) == 0) {
            line =
                Replaced(line, "--chdir=@WORK_DIR@", QuoteExecWord("--chdir=" + workingDirectory));
            line = Replaced(line, "@MODULE@", QuoteExecWord(modulePath));
        }
        if (line.rfind("SystemdService=", 0) == 0) line = Replaced(line, "@UNIT@", unitName);
        text += line + "\n";
    }
    return text;
}

std::string BusPolicyText() { return kPolicyTemplate; }

bool EnsureGroup(const std::string& caption) {
    if (FindSystemGroup(kGroup)) return true;
    if (RunAccountTool("groupadd", {}, kGroup) == 0 && FindSystemGroup(kGroup)) return true;
    ShowMessage(caption, "Couldn't create group fybootp");
    return false;
}

std::optional<SystemAccount> EnsureServerUser(const std::string& caption) {
    if (auto user = FindSystemUser(kServerUser)) return user;
    // Its own group, no home and no shell: nobody logs in as the server.
    RunAccountTool("useradd",
                   {"--user-group", "--no-create-home", "--home-dir", "/nonexistent", "--shell",
                    "/usr/sbin/nologin"},
                   kServerUser);
    if (auto user = FindSystemUser(kServerUser)) return user;
    ShowMessage(caption, std::string("Couldn't create user ") + kServerUser);
    return std::nullopt;
}

int PrepareServerDirectory(const SystemAccount& user) {
    const std::string state = StateDirectory();
    const std::string server = ServerDirectory();
    if (const int error = MakeDirectories(state)) return error;
    if (::mkdir(server.c_str(), kServerDirectoryMode) != 0 && errno != EEXIST) return errno;
    if (const int error = SetOwnerAndMode(server, user.uid, user.gid, kServerDirectoryMode)) {
        return error;
    }
    return MoveInfoFiles(Trimmed(state), server, user);
}

HRESULT InstallBusFiles(const std::string& caption, const std::string& modulePath,
                        bool asService) {
    // The policy names the group and the user, so they come first.
    EnsureGroup(caption);
    const auto user = EnsureServerUser(caption);
    if (!user) return HresultFromWin32(kErrorNoSuchUser);
    int error = PrepareServerDirectory(*user);
    if (error == 0) error = WriteSystemFile(BusPolicyPath(), BusPolicyText());
    if (error == 0) {
        error = WriteSystemFile(UnitPath(kLocalUnitName),
                                LocalUnitText(caption, modulePath, ServerDirectory()));
    }
    if (error == 0) {
        error = WriteSystemFile(
            ActivationFilePath(),
            ActivationFileText(modulePath, ServerDirectory(),
                               asService ? kServiceUnitName : kLocalUnitName));
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
    const int unit = RemoveSystemFile(UnitPath(kLocalUnitName));
    const int policy = RemoveSystemFile(BusPolicyPath());
    return activation == 0 && unit == 0 && policy == 0 ? S_OK
                                                         : HresultFromWin32(kErrorAccessDenied);
}

}  // namespace fybootp::host
