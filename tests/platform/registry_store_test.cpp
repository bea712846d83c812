// The store on disk: the file format, names and texts that must survive it,
// damaged files, and stores that cannot be written.

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/platform/registry_test_support.h"

namespace fybootp::registry {
namespace {

using testing::ReadFile;
using testing::RegistryTest;
using testing::TemporaryRoot;
using testing::WriteFile;

class RegistryFileFormat : public RegistryTest {};

TEST_F(RegistryFileFormat, WritesTheDocumentedFormat) {
    HKEY key = Create(HKEY_CLASSES_ROOT, "CLSID\\{8177E4D6-67CB-4CB7-9926-2F61CFD4B035}");
    ASSERT_EQ(m_registry.SetString(key, "", "FyBootpServer Class"), ERROR_SUCCESS);
    ASSERT_EQ(m_registry.SetDword(key, "Flags", 0), ERROR_SUCCESS);
    EXPECT_EQ(ReadFile(m_root.File("HKCR.reg")),
              "FyBootp registry 1\n"
              "key\n"
              "key \"CLSID\"\n"
              "key \"CLSID\" \"{8177E4D6-67CB-4CB7-9926-2F61CFD4B035}\"\n"
              "sz \"\" \"FyBootpServer Class\"\n"
              "dword \"Flags\" 0\n"
              "end\n");
    EXPECT_FALSE(std::filesystem::exists(m_root.File("HKLM.reg")));
}

TEST_F(RegistryFileFormat, ReadsAHandWrittenHive) {
    WriteFile(m_root.File("HKLM.reg"),
              "FyBootp registry 1\n"
              "key\n"
              "key \"SOFTWARE\"\n"
              "key \"SOFTWARE\" \"Quellmar\"\n"
              "key \"SOFTWARE\" \"Quellmar\" \"Ferrowy\"\n"
              "sz \"CurrentProject\" \"C:\\\\Projects\\\\Line \\\"A\\\".fyp\"\n"
              "dword \"Build\" 4294967295\n"
              "end\n");
    HKEY key{};
    ASSERT_EQ(m_registry.OpenKey(HKEY_LOCAL_MACHINE, "Software\\Quellmar\\Ferrowy", &key),
              ERROR_SUCCESS);
    std::string text;
    ASSERT_EQ(m_registry.QueryString(key, "CurrentProject", &text), ERROR_SUCCESS);
    EXPECT_EQ(text, "C:\\Projects\\Line \"A\".fyp");
    DWORD number = 0;
    ASSERT_EQ(m_registry.QueryDword(key, "Build", &number), ERROR_SUCCESS);
    EXPECT_EQ(number, 0xFFFFFFFFu);
}

// Every byte but NUL, the characters of the format itself, and text shaped
// like records must come back unchanged through a reader that starts fresh.
TEST_F(RegistryFileFormat, AnyNameAndTextWithoutNulRoundTrips) {
    std::string everyByte;
    for (int c = 1; c < 256; ++c) {
        everyByte += static_cast<char>(c);
    }
    const std::vector<std::string> texts = {"C:\\PROGRA~1\\FyBootp\\FyBootp.exe",
                                            "line one\nline two\r\n\ttabbed",
                                            "\"quoted\" and 'single'",
                                            "Grüße aus Köln – 東京 ✓",
                                            "\nend\nkey \"Injected\"\n",
                                            "trailing backslash\\",
                                            everyByte,
                                            ""};
    const std::string keyName = "Key \"with\" quotes, spaces, ümlauts and %MODULE%";
    HKEY key = Create(HKEY_CLASSES_ROOT, keyName + "\\sub\x01\x7f");
    for (std::size_t i = 0; i < texts.size(); ++i) {
        ASSERT_EQ(m_registry.SetString(key, "name\\" + std::to_string(i) + "\n\"", texts[i]),
                  ERROR_SUCCESS);
    }

    Registry fresh(m_root.Path());
    HKEY reopened{};
    ASSERT_EQ(fresh.OpenKey(HKEY_CLASSES_ROOT, keyName + "\\SUB\x01\x7f", &reopened),
              ERROR_SUCCESS);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::string text;
        ASSERT_EQ(fresh.QueryString(reopened, "NAME\\" + std::to_string(i) + "\n\"", &text),
                  ERROR_SUCCESS);
        EXPECT_EQ(text, texts[i]) << i;
    }
    std::string name;
    ASSERT_EQ(fresh.EnumKey(HKEY_CLASSES_ROOT, 0, &name), ERROR_SUCCESS);
    EXPECT_EQ(name, keyName);
    EXPECT_EQ(fresh.OpenKey(HKEY_CLASSES_ROOT, "Injected", &reopened), ERROR_FILE_NOT_FOUND);
}

// A hive file that the writer could not have produced is reported, never
// half loaded, and a change does not write over it.
TEST_F(RegistryFileFormat, DamagedFilesAreReportedAndLeftAlone) {
    const std::string header = "FyBootp registry 1\n";
    const std::vector<std::string> damaged = {
        "",
        "garbage\n",
        "FyBootp registry 2\nkey\nend\n",
        header + "key\n",                                       // cut before "end"
        header + "key\nend",                                    // last line cut
        header + "key\nend\nkey \"A\"\n",                       // records after "end"
        header + "sz \"\" \"x\"\nkey\nend\n",                   // value before any key
        header + "key\nkey \"A\" \"B\"\nend\n",                 // parent missing
        header + "key\nkey \"A\"\nkey \"a\"\nend\n",            // the same key twice
        header + "key\nkey\nend\n",                             // the root twice
        header + "key\nsz \"v\" \"1\"\nsz \"V\" \"2\"\nend\n",  // the same value twice
        header + "key\nsz \"v\" \"\\q\"\nend\n",                // unknown escape
        header + "key\nsz \"v\" \"\\x00\"\nend\n",              // NUL
        header + "key\nsz \"v\" \"\\x4\"\nend\n",               // short hex escape
        header + "key\nsz \"v\" \"a\tb\"\nend\n",               // raw control byte
        header + "key\nsz \"v\" \"open\nend\n",                 // no closing quote
        header + "key\nsz \"v\" \"1\" \nend\n",                 // bytes after the record
        header + "key\ndword \"v\" 4294967296\nend\n",          // out of range
        header + "key\ndword \"v\" 01\nend\n",
        header + "key\ndword \"v\" -1\nend\n",
        header + "key\nkey \"A\\\\B\"\nend\n",  // backslash in a key name
        header + "key\nkey \"\"\nend\n",        // empty key name
        "FyBootp registry 1\r\nkey\r\nend\r\n",
    };
    for (const std::string& text : damaged) {
        WriteFile(m_root.File("HKCR.reg"), text);
        HKEY key{};
        EXPECT_EQ(m_registry.OpenKey(HKEY_CLASSES_ROOT, "", &key), ERROR_BADDB) << text;
        EXPECT_EQ(m_registry.CreateKey(HKEY_CLASSES_ROOT, "A", &key), ERROR_BADDB) << text;
        EXPECT_EQ(ReadFile(m_root.File("HKCR.reg")), text);
    }
    // The other hive is not affected.
    EXPECT_EQ(m_registry.SetString(HKEY_LOCAL_MACHINE, "v", "1"), ERROR_SUCCESS);
}

TEST_F(RegistryFileFormat, AnOversizedFileIsReportedWithoutBeingRead) {
    {
        WriteFile(m_root.File("HKCR.reg"), "FyBootp registry 1\nkey\nend\n");
        std::filesystem::resize_file(m_root.File("HKCR.reg"), 65u * 1024u * 1024u);
    }
    HKEY key{};
    EXPECT_EQ(m_registry.OpenKey(HKEY_CLASSES_ROOT, "", &key), ERROR_BADDB);
}

class RegistryUnwritableStore : public ::testing::Test {
protected:
    TemporaryRoot m_root;
};

// Tests run as root, which passes every permission check, so the store is
// made unwritable by a regular file standing where the root directory must
// be: no directory, no lock file, no hive can be made below it.
TEST_F(RegistryUnwritableStore, ARootThatIsAFileRefusesChangesWithAccessDenied) {
    const std::string rootPath = m_root.File("not-a-directory");
    WriteFile(rootPath, "x");
    Registry registry(rootPath);
    HKEY key{};
    EXPECT_EQ(registry.CreateKey(HKEY_CLASSES_ROOT, "AppID", &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(registry.SetString(HKEY_LOCAL_MACHINE, "v", "1"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(registry.DeleteTree(HKEY_CLASSES_ROOT, ""), ERROR_ACCESS_DENIED);
    // Reading finds an empty store, as before the first registration.
    EXPECT_EQ(registry.OpenKey(HKEY_CLASSES_ROOT, "AppID", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadFile(rootPath), "x");
}

// A directory where the lock file must be makes every change fail, while
// the hive itself stays readable: existing keys still open, also through
// CreateKey, which needs no write access for a key that is there.
TEST_F(RegistryUnwritableStore, ExistingKeysStillOpenWhenChangesAreRefused) {
    Registry registry(m_root.Path());
    HKEY key{};
    ASSERT_EQ(registry.CreateKey(HKEY_CLASSES_ROOT, "AppID\\{A}", &key), ERROR_SUCCESS);
    ASSERT_EQ(registry.SetString(key, "", "FyBootp"), ERROR_SUCCESS);
    std::filesystem::remove(m_root.File("HKCR.lock"));
    std::filesystem::create_directory(m_root.File("HKCR.lock"));

    DWORD disposition = 0;
    EXPECT_EQ(registry.CreateKey(HKEY_CLASSES_ROOT, "appid\\{a}", &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    std::string text;
    EXPECT_EQ(registry.QueryString(key, "", &text), ERROR_SUCCESS);
    EXPECT_EQ(text, "FyBootp");
    EXPECT_EQ(registry.CreateKey(HKEY_CLASSES_ROOT, "AppID\\{B}", &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(registry.SetString(key, "", "changed"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(registry.DeleteValue(key, ""), ERROR_ACCESS_DENIED);
}

// The file system refuses the new file part-way (a file-size limit, the same
// failure a full disk gives): the change fails with ERROR_ACCESS_DENIED and
// the old hive stays byte for byte, with no temporary file left beside it.
TEST_F(RegistryUnwritableStore, AWriteThatFailsPartWayLeavesTheOldFile) {
    Registry registry(m_root.Path());
    ASSERT_EQ(registry.SetString(HKEY_CLASSES_ROOT, "Before", "kept"), ERROR_SUCCESS);
    const std::string before = ReadFile(m_root.File("HKCR.reg"));

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{before.size() + 8, before.size() + 8};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        Registry limited(m_root.Path());
        ::_exit(limited.SetString(HKEY_CLASSES_ROOT, "After", std::string(4096, 'x')));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), ERROR_ACCESS_DENIED);

    EXPECT_EQ(ReadFile(m_root.File("HKCR.reg")), before);
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(m_root.Path())) {
        files.push_back(entry.path().filename().string());
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"HKCR.lock", "HKCR.reg"}));
    std::string text;
    EXPECT_EQ(registry.QueryString(HKEY_CLASSES_ROOT, "After", &text), ERROR_FILE_NOT_FOUND);
}

class RegistryRoot : public ::testing::Test {
protected:
    TemporaryRoot m_root;
};

TEST_F(RegistryRoot, AMissingRootIsCreatedByTheFirstChange) {
    const std::string rootPath = m_root.File("var/lib/fybootp/registry");
    Registry registry(rootPath);
    HKEY key{};
    EXPECT_EQ(registry.OpenKey(HKEY_CLASSES_ROOT, "AppID", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(rootPath));
    ASSERT_EQ(registry.CreateKey(HKEY_CLASSES_ROOT, "AppID", &key), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::is_regular_file(rootPath + "/HKCR.reg"));
}

TEST_F(RegistryRoot, TheEnvironmentOverridesTheDefaultRoot) {
    ::unsetenv("FYBOOTP_REGISTRY_ROOT");
    EXPECT_EQ(Registry::DefaultRoot(), kDefaultRegistryRoot);
    ::setenv("FYBOOTP_REGISTRY_ROOT", m_root.Path().c_str(), 1);
    Registry registry;
    EXPECT_EQ(registry.Root(), m_root.Path());
    ASSERT_EQ(registry.SetString(HKEY_CLASSES_ROOT, "v", "1"), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(m_root.File("HKCR.reg")));
    ::unsetenv("FYBOOTP_REGISTRY_ROOT");
}

}  // namespace
}  // namespace fybootp::registry
