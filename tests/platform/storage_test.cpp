// Compound files in process: what a storage keeps across a close and an
// open, the modes and statuses of opening and creating, the exclusion of a
// second holder, and what a rewrite keeps of the file it replaces and of
// the folder around it.

#include "platform/storage/storage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "tests/support/child_process.h"

namespace fybootp {
namespace {

constexpr DWORD kMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr GUID kClass = GuidLiteral("{8177E4D6-67CB-4CB7-9926-2F61CFD4B035}");
constexpr int kSkipped = 77;
constexpr uid_t kNobody = 65534;

class StorageFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fyb-stg-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_path = m_dir + "/project.fyp";
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string Bytes() const { return BytesOf(m_path); }
    static std::string BytesOf(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    static std::vector<std::string> Entries(const std::string& dir) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            names.push_back(entry.path().filename());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    // A new project at path with one entry, released.
    static HRESULT MakeProject(const std::string& path) {
        IStorage* root = nullptr;
        HRESULT hr = StgCreateDocfile(path, kMode, 0, &root);
        if (Failed(hr)) return hr;
        IStorage* entry = nullptr;
        hr = root->CreateStorage("FyBootp", kMode, &entry);
        if (Succeeded(hr)) entry->Release();
        if (Succeeded(hr)) hr = root->Commit();
        root->Release();
        return hr;
    }

    std::string m_dir;
    std::string m_path;
};

using StorageKeeps = StorageFile;

TEST_F(StorageKeeps, StreamsSubStoragesAndClassesAcrossReopening) {
    IStorage* root = nullptr;
    ASSERT_EQ(StgCreateDocfile(m_path, kMode, 0, &root), S_OK);
    IStorage* entry = nullptr;
    ASSERT_EQ(root->CreateStorage("FyBootp", kMode, &entry), S_OK);
    EXPECT_EQ(entry->SetClass(kClass), S_OK);
    IStream* stream = nullptr;
    ASSERT_EQ(entry->CreateStream("Text", kMode, &stream), S_OK);
    EXPECT_EQ(stream->Write("hello", 5, nullptr), S_OK);
    stream->Release();
    entry->Release();
    root->Release();  // the last reference writes the file

    ASSERT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &root), S_OK);
    ASSERT_EQ(root->OpenStorage("FyBootp", kMode, &entry), S_OK);
    GUID clsid{};
    EXPECT_EQ(entry->GetClass(&clsid), S_OK);
    EXPECT_EQ(clsid, kClass);
    ASSERT_EQ(entry->OpenStream("Text", kMode, &stream), S_OK);
    char text[16] = {};
    ULONG read = 0;
    EXPECT_EQ(stream->Read(text, sizeof(text), &read), S_OK);
    EXPECT_EQ(std::string(text, read), "hello");
    stream->Release();
    IStorage* notAStorage = nullptr;
    EXPECT_EQ(entry->OpenStorage("Text", kMode, &notAStorage), STG_E_FILENOTFOUND);
    entry->Release();
    EXPECT_EQ(root->DestroyElement("FyBootp"), S_OK);
    EXPECT_EQ(root->DestroyElement("FyBootp"), STG_E_FILENOTFOUND);
    root->Release();
    ASSERT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &root), S_OK);
    EXPECT_EQ(root->OpenStorage("FyBootp", kMode, &entry), STG_E_FILENOTFOUND);
    root->Release();
}

TEST_F(StorageKeeps, NothingUnchangedIsRewritten) {
    IStorage* root = nullptr;
    ASSERT_EQ(StgCreateDocfile(m_path, kMode, 0, &root), S_OK);
    root->Release();
    const auto inode = std::filesystem::status(m_path).permissions();
    const std::string before = Bytes();
    ASSERT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &root), S_OK);
    root->Release();
    EXPECT_EQ(Bytes(), before);
    EXPECT_EQ(std::filesystem::status(m_path).permissions(), inode);
}

// Root rewrites projects that belong to others, and often reaches them
// through a link; a rewrite changes only the content.
TEST_F(StorageKeeps, OwnerModeAndLinkOfTheFileItRewrites) {
    const std::string real = m_dir + "/real.fyp";
    const std::string link = m_dir + "/link.fyp";
    ASSERT_EQ(MakeProject(real), S_OK);
    ASSERT_EQ(chown(real.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chmod(real.c_str(), 0600), 0);
    std::filesystem::create_symlink("real.fyp", link);
    // A commit of the project opened through the link, then a create over it.
    for (const bool create : {false, true}) {
        SCOPED_TRACE(create ? "create over it" : "commit");
        const std::string before = BytesOf(real);
        IStorage* root = nullptr;
        ASSERT_EQ(create ? StgCreateDocfile(link, kMode | STGM_CREATE, 0, &root)
                         : StgOpenStorage(link, nullptr, kMode, nullptr, 0, &root),
                  S_OK);
        EXPECT_EQ(root->SetClass(kClass), S_OK);
        EXPECT_EQ(root->Commit(), S_OK);
        root->Release();
        EXPECT_NE(BytesOf(real), before);
        EXPECT_EQ(std::filesystem::read_symlink(link), "real.fyp");
        struct stat info {};
        ASSERT_EQ(stat(real.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, kNobody);
        EXPECT_EQ(info.st_gid, kNobody);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        EXPECT_EQ(Entries(m_dir), (std::vector<std::string>{"link.fyp", "real.fyp"}));
    }
    // A link that neither root nor the folder's owner made is not followed.
    ASSERT_EQ(lchown(link.c_str(), kNobody, kNobody), 0);
    IStorage* root = nullptr;
    EXPECT_EQ(StgOpenStorage(link, nullptr, kMode, nullptr, 0, &root), STG_E_ACCESSDENIED);
}

using StorageStatuses = StorageFile;

TEST_F(StorageStatuses, OpenAndCreateAnswerAsProjectRegistrationExpects) {
    IStorage* root = nullptr;
    EXPECT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &root), STG_E_FILENOTFOUND);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(StgOpenStorage(m_path, nullptr, 0x2, nullptr, 0, &root), STG_E_INVALIDFLAG);
    std::ofstream(m_path) << "plain text";
    EXPECT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &root), STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(StgCreateDocfile(m_path, kMode, 0, &root), STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(Bytes(), "plain text");
    std::filesystem::remove(m_path);
    EXPECT_EQ(StgCreateDocfile(m_dir + "/missing/p.fyp", kMode, 0, &root), STG_E_PATHNOTFOUND);
}

TEST_F(StorageStatuses, SecondHolderIsRefusedUntilTheFirstLetsGo) {
    IStorage* first = nullptr;
    ASSERT_EQ(StgCreateDocfile(m_path, kMode, 0, &first), S_OK);
    IStorage* second = nullptr;
    EXPECT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &second), STG_E_SHAREVIOLATION);
    // A commit puts a new file in place; the holder keeps it.
    EXPECT_EQ(first->Commit(), S_OK);
    EXPECT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &second), STG_E_SHAREVIOLATION);
    first->Release();
    ASSERT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &second), S_OK);
    second->Release();
}

// The names a writer of this process could have chosen before: what is
// planted there is neither written through nor replaced.
TEST_F(StorageStatuses, LinksPlantedAtPredictableTemporaryNamesAreNotFollowed) {
    const std::string victim = m_dir + "/victim";
    std::ofstream(victim) << "root's own";
    const std::string prefix = m_path + ".tmp-" + std::to_string(getpid());
    std::vector<std::string> planted{m_path + ".tmp", prefix};
    for (int serial = 0; serial < 100; ++serial) {
        planted.push_back(prefix + "-" + std::to_string(serial));
    }
    for (const std::string& name : planted) std::filesystem::create_symlink(victim, name);
    ASSERT_EQ(MakeProject(m_path), S_OK);  // a create and a commit
    EXPECT_EQ(BytesOf(victim), "root's own");
    for (const std::string& name : planted) {
        EXPECT_EQ(std::filesystem::read_symlink(name), victim) << name;
    }
    EXPECT_EQ(Entries(m_dir).size(), planted.size() + 2);
}

// A commit puts a new file at the name; another process trying all the
// while never gets it between the rename and the holder's lock.
TEST_F(StorageStatuses, NoOtherProcessGetsTheFileWhileCommitsReplaceIt) {
    IStorage* root = nullptr;
    ASSERT_EQ(StgCreateDocfile(m_path, kMode, 0, &root), S_OK);
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    std::fflush(nullptr);
    const pid_t rival = fork();
    ASSERT_GE(rival, 0);
    if (rival == 0) {
        close(stop[1]);
        int attempts = 0;
        for (pollfd done{stop[0], POLLIN, 0}; attempts < 200'000 && poll(&done, 1, 0) == 0;
             ++attempts) {
            IStorage* taken = nullptr;
            if (StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &taken) == S_OK) _exit(1);
        }
        _exit(attempts > 0 ? 0 : 2);
    }
    close(stop[0]);
    for (int commit = 0; commit < 200; ++commit) ASSERT_EQ(root->Commit(), S_OK);
    close(stop[1]);
    int status = 0;
    ASSERT_EQ(waitpid(rival, &status, 0), rival);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "rival's status " << status;
    root->Release();
}

TEST_F(StorageStatuses, NamesAndModesOfElementsAreChecked) {
    IStorage* root = nullptr;
    ASSERT_EQ(StgCreateDocfile(m_path, kMode, 0, &root), S_OK);
    IStream* stream = nullptr;
    EXPECT_EQ(root->CreateStream(std::string(32, 'n'), kMode, &stream), STG_E_INVALIDNAME);
    EXPECT_EQ(root->CreateStream("a/b", kMode, &stream), STG_E_INVALIDNAME);
    EXPECT_EQ(root->CreateStream("", kMode, &stream), STG_E_INVALIDNAME);
    EXPECT_EQ(root->CreateStream("s", 0x0, &stream), STG_E_INVALIDFLAG);
    ASSERT_EQ(root->CreateStream("s", kMode, &stream), S_OK);
    stream->Release();
    EXPECT_EQ(root->CreateStream("s", kMode, &stream), STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(root->CreateStream("s", kMode | STGM_CREATE, &stream), S_OK);
    stream->Release();
    EXPECT_EQ(root->CreateStream("s", kMode, nullptr), STG_E_INVALIDPOINTER);
    root->Release();
}

using StorageFaults = StorageFile;

// Root may write anywhere; a folder that is gone still stops a write.
TEST_F(StorageFaults, CommitReportsTheWriteThatFailed) {
    ASSERT_EQ(MakeProject(m_path), S_OK);
    IStorage* root = nullptr;
    ASSERT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &root), S_OK);
    EXPECT_EQ(root->DestroyElement("FyBootp"), S_OK);
    std::filesystem::remove_all(m_dir);
    EXPECT_EQ(root->Commit(), STG_E_PATHNOTFOUND);
    root->Release();  // tries once more, with nobody to tell
    EXPECT_FALSE(std::filesystem::exists(m_dir));
}

// Writes until the file system has no room left.
bool Fill(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const std::string block(4096, 'f');
    bool full = false;
    for (int i = 0; fd >= 0 && i < 1024 && !full; ++i) {
        full = write(fd, block.data(), block.size()) < 0 && errno == ENOSPC;
    }
    if (fd >= 0) close(fd);
    return full;
}

// A small file system, full: a commit keeps the old file, a create leaves
// no file that would make every later create fail.
TEST_F(StorageFaults, FullFileSystemKeepsTheProjectAndCreatesNothing) {
    const std::string mountPoint = m_dir + "/small";
    std::filesystem::create_directory(mountPoint);
    const std::string project = mountPoint + "/project.fyp";
    const std::string another = mountPoint + "/another.fyp";
    const int code = testing::RunInChild([&] {
        if (!testing::EnterPrivateMountNamespace() ||
            mount("fyb-test", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
            return kSkipped;
        }
        if (MakeProject(project) != S_OK) return 1;
        const std::string before = BytesOf(project);
        if (!Fill(mountPoint + "/filler")) return 2;
        IStorage* root = nullptr;
        if (StgOpenStorage(project, nullptr, kMode, nullptr, 0, &root) != S_OK) return 3;
        root->DestroyElement("FyBootp");
        const HRESULT committed = root->Commit();
        root->Release();
        if (committed != STG_E_MEDIUMFULL) return 4;
        if (BytesOf(project) != before) return 5;
        IStorage* created = nullptr;
        if (StgCreateDocfile(another, kMode, 0, &created) != STG_E_MEDIUMFULL) return 6;
        if (Entries(mountPoint) != std::vector<std::string>{"filler", "project.fyp"}) return 7;
        unlink((mountPoint + "/filler").c_str());
        return MakeProject(another) == S_OK ? 0 : 8;
    });
    if (code == kSkipped) GTEST_SKIP() << "mount namespaces are not available";
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace fybootp
