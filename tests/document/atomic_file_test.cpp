// platform/fs: whole-file reads within a bound, and replacement that leaves
// the old file whenever it fails.

#include "platform/fs/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "tests/document/document_test_support.h"

namespace fybootp {
namespace {

constexpr int kSkipped = 77;

class AtomicFile : public ::testing::Test {
protected:
    std::string PathOf(const std::string& name) const { return m_dir.Path() + "/" + name; }
    testing::TempDirectory m_dir;
};

TEST_F(AtomicFile, ReplacementWritesTheBytesAndLeavesNoTemporary) {
    const std::string path = PathOf("f.xml");
    ASSERT_EQ(fs::ReplaceFileAtomically(path, "first"), 0);
    ASSERT_EQ(fs::ReplaceFileAtomically(path, std::string("second\0bytes", 12)), 0);
    EXPECT_EQ(testing::ReadFile(path), std::string("second\0bytes", 12));
    EXPECT_EQ(testing::DirectoryEntries(m_dir.Path()), std::vector<std::string>{"f.xml"});
}

TEST_F(AtomicFile, TemporaryOfAKilledWriterGoesWithTheNextReplacement) {
    // A process that has ended: its id names no process any more.
    const pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
    const std::string abandoned = "f.xml.tmp-" + std::to_string(ended) + "-0";
    const std::string live = "f.xml.tmp-" + std::to_string(::getpid()) + "-99";
    testing::WriteFile(PathOf(abandoned), "half");
    testing::WriteFile(PathOf(live), "being written");
    testing::WriteFile(PathOf("g.xml.tmp-1-0"), "another file's");

    ASSERT_EQ(fs::ReplaceFileAtomically(PathOf("f.xml"), "new"), 0);
    EXPECT_EQ(testing::DirectoryEntries(m_dir.Path()),
              (std::vector<std::string>{"f.xml", "f.xml.tmp-" + std::to_string(::getpid()) + "-99",
                                        "g.xml.tmp-1-0"}));
}

TEST_F(AtomicFile, NewFileFollowsTheUmaskAndAReplacedOneKeepsItsBits) {
    const mode_t previous = ::umask(027);
    const std::string path = PathOf("f.xml");
    const int error = fs::ReplaceFileAtomically(path, "x");
    ::umask(previous);
    ASSERT_EQ(error, 0);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
    ASSERT_EQ(fs::ReplaceFileAtomically(path, "y"), 0);
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0604u);
}

TEST_F(AtomicFile, FailedRenameKeepsTheTargetAndRemovesTheTemporary) {
    const std::string path = PathOf("target");
    std::filesystem::create_directory(path);
    EXPECT_EQ(fs::ReplaceFileAtomically(path, "x"), EISDIR);
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_EQ(testing::DirectoryEntries(m_dir.Path()), std::vector<std::string>{"target"});
}

TEST_F(AtomicFile, MissingDirectoryIsReported) {
    EXPECT_EQ(fs::ReplaceFileAtomically(PathOf("no/such/file"), "x"), ENOENT);
}

// A file system too small for the new content: the write itself fails.
TEST_F(AtomicFile, FullFileSystemKeepsTheOldFileAndRemovesTheTemporary) {
    const std::string mountPoint = PathOf("small");
    std::filesystem::create_directory(mountPoint);
    const std::string path = mountPoint + "/f.xml";
    const int code = testing::RunInChild([&] {
        if (!testing::EnterPrivateMountNamespace() ||
            ::mount("fyb-test", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
            return kSkipped;
        }
        if (fs::ReplaceFileAtomically(path, "old content") != 0) return 1;
        if (fs::ReplaceFileAtomically(path, std::string(1 << 20, 'n')) != ENOSPC) return 2;
        if (testing::ReadFile(path) != "old content") return 3;
        if (testing::DirectoryEntries(mountPoint) != std::vector<std::string>{"f.xml"}) return 4;
        return 0;
    });
    if (code == kSkipped) GTEST_SKIP() << "mount namespaces are not available";
    EXPECT_EQ(code, 0);
}

TEST_F(AtomicFile, WholeFileIsReadWithinTheBound) {
    const std::string path = PathOf("f");
    testing::WriteFile(path, std::string("ab\0cd", 5));
    std::string out = "stale";
    EXPECT_EQ(fs::ReadWholeFile(path, out, 5), 0);
    EXPECT_EQ(out, std::string("ab\0cd", 5));
    EXPECT_EQ(fs::ReadWholeFile(path, out, 4), EFBIG);
    EXPECT_TRUE(out.empty());
}

TEST_F(AtomicFile, ReadingWhatIsNoFileFails) {
    std::string out;
    EXPECT_EQ(fs::ReadWholeFile(PathOf("missing"), out, 100), ENOENT);
    EXPECT_EQ(fs::ReadWholeFile(m_dir.Path(), out, 100), EISDIR);
    EXPECT_EQ(fs::ReadWholeFile("/dev/null", out, 100), EINVAL);
    // A FIFO without a writer: opening it for reading would wait forever.
    ASSERT_EQ(::mkfifo(PathOf("fifo").c_str(), 0600), 0);
    const int code = testing::RunInChild([&] {
        ::alarm(10);
        std::string bytes;
        return fs::ReadWholeFile(PathOf("fifo"), bytes, 100) == EINVAL ? 0 : 1;
    });
    EXPECT_EQ(code, 0) << "128 + SIGALRM (142): the read blocked";
}

TEST_F(AtomicFile, ReplacementThroughLinksReplacesTheFinalTargetInItsDirectory) {
    std::filesystem::create_directories(PathOf("a/b"));
    testing::WriteFile(PathOf("a/b/real"), "old");
    ASSERT_EQ(::chmod(PathOf("a/b/real").c_str(), 0640), 0);
    std::filesystem::create_symlink("b/real", PathOf("a/relative"));
    std::filesystem::create_symlink(PathOf("a/relative"), PathOf("link"));
    ASSERT_EQ(fs::ReplaceFileAtomically(PathOf("link"), "new"), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(PathOf("link")));
    EXPECT_TRUE(std::filesystem::is_symlink(PathOf("a/relative")));
    EXPECT_EQ(testing::ReadFile(PathOf("a/b/real")), "new");
    EXPECT_EQ(testing::DirectoryEntries(PathOf("a/b")), std::vector<std::string>{"real"});
    struct stat info {};
    ASSERT_EQ(::stat(PathOf("a/b/real").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);

    std::filesystem::create_symlink("nowhere", PathOf("dangling"));
    ASSERT_EQ(fs::ReplaceFileAtomically(PathOf("dangling"), "made"), 0);
    EXPECT_EQ(testing::ReadFile(PathOf("nowhere")), "made");
    std::filesystem::create_symlink("loop", PathOf("loop"));
    EXPECT_EQ(fs::ReplaceFileAtomically(PathOf("loop"), "x"), ELOOP);
}

// The name is taken only while free, also where the file system knows no
// rename that refuses to replace (a second name stands in for it).
TEST_F(AtomicFile, ExclusivePlacementTakesOnlyAFreeName) {
    using Kind = testing::FailingFileSystem::Kind;
    testing::FailingFileSystem files;
    for (const bool renameRefusing : {true, false}) {
        SCOPED_TRACE(renameRefusing ? "rename that refuses to replace" : "second name");
        const std::string dir = PathOf(renameRefusing ? "rename" : "link");
        std::filesystem::create_directory(dir);
        testing::WriteFile(dir + "/file", "old");
        std::filesystem::create_symlink("nowhere", dir + "/dangling");
        const std::pair<const char*, int> cases[] = {
            {"free", 0}, {"file", EEXIST}, {"dangling", EEXIST}};
        for (const auto& [name, error] : cases) {
            files.Reset();
            if (!renameRefusing) files.FailNth(Kind::kRename, 1, EINVAL);
            fs::ReplaceOptions options;
            options.exclusive = true;
            fs::PendingFile file(files);
            ASSERT_EQ(file.Begin(dir + "/" + name, options), 0);
            ASSERT_EQ(file.Write("new"), 0);
            EXPECT_EQ(file.Finish(), error) << name;
        }
        EXPECT_EQ(testing::ReadFile(dir + "/free"), "new");
        EXPECT_EQ(testing::ReadFile(dir + "/file"), "old");
        EXPECT_EQ(testing::DirectoryEntries(dir),
                  (std::vector<std::string>{"dangling", "file", "free"}));
    }
}

}  // namespace
}  // namespace fybootp
