// The file survives a writer killed at any moment, and a failed save leaves
// it as it was.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "document/info_file.h"
#include "document/node_table_exchange.h"
#include "tests/document/document_test_support.h"

namespace fybootp {
namespace {

using namespace std::chrono_literals;

constexpr int kSkipped = 77;

// Tables of different sizes, so that kills land in writes of every length.
std::string TableText(std::size_t rows, std::uint8_t tag) {
    std::string text = "<FyBootpInfo><Nodes>";
    for (std::size_t i = 0; i < rows; ++i) {
        char node[96];
        std::snprintf(
            node, sizeof node,
            "<Node><IpAddr>198.51.100.%u</IpAddr><MacAddr>024B77%02X%04zX</MacAddr></Node>", tag,
            tag, i);
        text += node;
    }
    return text + "</Nodes></FyBootpInfo>";
}

class CrashSafety : public testing::InfoFileTest {
protected:
    CrashSafety() {
        for (const auto& [rows, tag] :
             {std::pair<std::size_t, std::uint8_t>{3, 1}, {4000, 2}, {20000, 3}, {800, 4}}) {
            m_texts.push_back(TableText(rows, tag));
            // The file a put writes is the document the get hands out.
            std::string saved;
            FyBootpServer holder;
            testing::TempDirectory elsewhere;
            testing::WorkingDirectory inElsewhere(elsewhere.Path());
            EXPECT_EQ(put_BootpInfosXml(holder, m_texts.back()), S_OK);
            EXPECT_EQ(get_BootpInfosXml(holder, &saved), S_OK);
            EXPECT_EQ(*testing::ReadInfoFile(), saved);
            m_versions.push_back(saved);
        }
    }

    std::vector<std::string> m_texts;
    std::vector<std::string> m_versions;
};

TEST_F(CrashSafety, KilledWriterLeavesOneOfTheSavedVersions) {
    FyBootpServer server;
    ASSERT_EQ(put_BootpInfosXml(server, m_texts[0]), S_OK);
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> delayMs(1, 40);
    constexpr int kKills = 25;
    for (int kill = 0; kill < kKills; ++kill) {
        std::fflush(nullptr);
        const pid_t writer = ::fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            // Saves version after version until killed; gives up after ten
            // seconds should the kill never come.
            const auto end = std::chrono::steady_clock::now() + 10s;
            for (std::size_t i = 1; std::chrono::steady_clock::now() < end; ++i) {
                put_BootpInfosXml(server, m_texts[i % m_texts.size()]);
            }
            ::_exit(0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
        ASSERT_EQ(::kill(writer, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(writer, &status, 0), writer);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended before the kill";

        const std::optional<std::string> file = testing::ReadInfoFile();
        ASSERT_TRUE(file) << "kill " << kill;
        EXPECT_NE(std::find(m_versions.begin(), m_versions.end(), *file), m_versions.end())
            << "kill " << kill << ": the file is none of the saved versions (" << file->size()
            << " bytes)";
        Document document = CreateInfoDocument();
        EXPECT_TRUE(LoadInfoFile(document)) << "kill " << kill;
    }
}

// A directory nothing can be written to, not even by root: a read-only bind
// mount of the test's directory, in a mount namespace of the child's own.
TEST_F(CrashSafety, PutIntoAReadOnlyDirectoryFailsButTheNewTableStandsAndTheOldFileStays) {
    FyBootpServer server;
    ASSERT_EQ(put_BootpInfosXml(server, m_texts[0]), S_OK);
    const std::string old = *testing::ReadInfoFile();
    server.m_newMacs.AppendIfNew(testing::Mac("024B77020000"));

    const std::string dir = Dir();
    const int code = testing::RunInChild([&] {
        if (!testing::EnterPrivateMountNamespace() ||
            ::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) !=
                0) {
            return kSkipped;
        }
        // The working directory still names the directory below the mount.
        if (::chdir(dir.c_str()) != 0) return kSkipped;
        if (put_BootpInfosXml(server, m_texts[1]) != E_ACCESSDENIED) return 1;
        if (server.m_nodes.Size() != 4000) return 2;
        if (server.m_newMacs.Size() != 0 || server.m_newMacCnt != 1) return 3;
        return 0;
    });
    if (code == kSkipped) GTEST_SKIP() << "mount namespaces are not available";
    EXPECT_EQ(code, 0);
    EXPECT_EQ(*testing::ReadInfoFile(), old);
    EXPECT_EQ(testing::DirectoryEntries(Dir()), std::vector<std::string>{kInfoFileName});
}

}  // namespace
}  // namespace fybootp
