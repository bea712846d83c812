// Several writers on one store: processes and threads that change it at the
// same time lose nothing, and a writer killed at any moment leaves a store
// that reads as one of the states it committed.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/platform/registry_test_support.h"

namespace fybootp::registry {
namespace {

using testing::RegistryTest;
using testing::TemporaryRoot;

// A child that hangs is ended by its own alarm instead of holding up the run.
constexpr unsigned kChildSeconds = 60;

int WriteKeys(Registry& registry, const std::string& prefix, DWORD count) {
    for (DWORD i = 0; i < count; ++i) {
        HKEY key{};
        if (registry.CreateKey(HKEY_CLASSES_ROOT, "Race\\" + prefix + std::to_string(i), &key) !=
                ERROR_SUCCESS ||
            registry.SetDword(key, "Index", i) != ERROR_SUCCESS) {
            return 1;
        }
        registry.CloseKey(key);
    }
    return 0;
}

// Runs `body` in a child process that waits until `gate` is closed by the
// parent, so that the children start writing together.
template <typename Body>
pid_t SpawnBehindGate(const int gate[2], Body body) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(kChildSeconds);
        ::close(gate[1]);
        char byte;
        while (::read(gate[0], &byte, 1) > 0) {
        }
        ::_exit(body());
    }
    return child;
}

int ExitCode(pid_t child) {
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

void ExpectAllKeys(Registry& registry, const std::vector<std::string>& prefixes, DWORD count) {
    DWORD subKeys = 0;
    HKEY race{};
    ASSERT_EQ(registry.OpenKey(HKEY_CLASSES_ROOT, "Race", &race), ERROR_SUCCESS);
    ASSERT_EQ(registry.QueryInfoKey(race, &subKeys, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(subKeys, prefixes.size() * count);
    for (const std::string& prefix : prefixes) {
        for (DWORD i = 0; i < count; ++i) {
            HKEY key{};
            ASSERT_EQ(registry.OpenKey(race, prefix + std::to_string(i), &key), ERROR_SUCCESS)
                << prefix << i;
            DWORD index = 0;
            EXPECT_EQ(registry.QueryDword(key, "Index", &index), ERROR_SUCCESS);
            EXPECT_EQ(index, i);
            registry.CloseKey(key);
        }
    }
}

class RegistryConcurrentWriters : public RegistryTest {};

TEST_F(RegistryConcurrentWriters, TwoProcessesWritingAtOnceLoseNoKey) {
    constexpr DWORD kKeysEach = 150;
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    const std::string root = m_root.Path();
    std::vector<pid_t> children;
    for (const char* prefix : {"first", "second"}) {
        children.push_back(SpawnBehindGate(gate, [&] {
            Registry registry(root);
            return WriteKeys(registry, prefix, kKeysEach);
        }));
        ASSERT_GT(children.back(), 0);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (const pid_t child : children) {
        EXPECT_EQ(ExitCode(child), 0);
    }
    Registry fresh(root);
    ExpectAllKeys(fresh, {"first", "second"}, kKeysEach);
}

TEST_F(RegistryConcurrentWriters, TwoThreadsSharingOneRegistryLoseNoKey) {
    constexpr DWORD kKeysEach = 100;
    int results[2] = {-1, -1};
    std::thread first([&] { results[0] = WriteKeys(m_registry, "left", kKeysEach); });
    std::thread second([&] { results[1] = WriteKeys(m_registry, "right", kKeysEach); });
    first.join();
    second.join();
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    ExpectAllKeys(m_registry, {"left", "right"}, kKeysEach);
}

class RegistryKilledWriter : public ::testing::Test {
protected:
    // The indices of the keys that the child reported as committed, in order.
    static std::vector<std::uint32_t> ReadReports(int fd) {
        std::vector<std::uint32_t> reports;
        std::uint32_t index;
        while (::read(fd, &index, sizeof(index)) == sizeof(index)) {
            reports.push_back(index);
        }
        return reports;
    }

    // The indices of the round's keys that are in the store.
    static std::set<std::uint32_t> StoredIndices(const std::string& root, int round) {
        Registry registry(root);
        std::set<std::uint32_t> indices;
        HKEY key{};
        const LONG status =
            registry.OpenKey(HKEY_CLASSES_ROOT, "Crash\\r" + std::to_string(round), &key);
        EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
        std::string name;
        for (DWORD i = 0;
             status == ERROR_SUCCESS && registry.EnumKey(key, i, &name) == ERROR_SUCCESS; ++i) {
            indices.insert(static_cast<std::uint32_t>(std::stoul(name.substr(1))));
        }
        return indices;
    }

    TemporaryRoot m_root;
};

// The child creates keys one by one and reports each after CreateKey has
// returned; it is killed at a random step among those it reported, a
// random moment after it, so that a busy machine cannot make every kill
// land before the first key. The store must then read, hold every
// reported key, and hold exactly keys 0..m-1 where m is the number
// reported or one more (the key whose report the kill cut off).
TEST_F(RegistryKilledWriter, KillAtRandomMomentsLeavesACommittedState) {
    constexpr int kRounds = 15;
    constexpr std::uint32_t kMaxKeysPerRound = 100000;
    std::mt19937 random(20261207);
    std::uniform_int_distribution<std::size_t> killAfterStep(1, 40);
    std::uniform_int_distribution<int> thenMicroseconds(0, 2000);
    std::size_t reportedInAll = 0;
    for (int round = 0; round < kRounds; ++round) {
        int reports[2];
        ASSERT_EQ(::pipe(reports), 0);
        const std::string root = m_root.Path();
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::alarm(kChildSeconds);
            ::close(reports[0]);
            Registry registry(root);
            HKEY parent{};
            if (registry.CreateKey(HKEY_CLASSES_ROOT, "Crash\\r" + std::to_string(round),
                                   &parent) != ERROR_SUCCESS) {
                ::_exit(1);
            }
            for (std::uint32_t i = 0; i < kMaxKeysPerRound; ++i) {
                HKEY key{};
                // append, not "k" + std::string: g++ 12 at -O3 reports a
                // false -Wrestrict overlap for the latter.
                if (registry.CreateKey(parent, std::string("k").append(std::to_string(i)), &key) != ERROR_SUCCESS ||
                    ::write(reports[1], &i, sizeof(i)) != sizeof(i)) {
                    ::_exit(2);
                }
                registry.CloseKey(key);
            }
            ::_exit(0);
        }
        ::close(reports[1]);
        // Progress first: the reports up to the drawn step, which the
        // child's alarm bounds in time.
        const std::size_t step = killAfterStep(random);
        std::vector<std::uint32_t> reported;
        std::uint32_t index = 0;
        while (reported.size() < step && ::read(reports[0], &index, sizeof(index)) == sizeof(index)) {
            reported.push_back(index);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(thenMicroseconds(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status)) << "the writer ended before it was killed";
        for (const std::uint32_t later : ReadReports(reports[0])) reported.push_back(later);
        ::close(reports[0]);
        EXPECT_GE(reported.size(), step) << "the writer stopped reporting in round " << round;
        reportedInAll += reported.size();

        const std::set<std::uint32_t> stored = StoredIndices(root, round);
        const std::size_t m = stored.size();
        EXPECT_GE(m, reported.size()) << "round " << round;
        EXPECT_LE(m, reported.size() + 1) << "round " << round;
        if (m > 0) {
            EXPECT_EQ(*stored.rbegin(), m - 1) << "keys missing in round " << round;
        }
    }
    EXPECT_GT(reportedInAll, 0u) << "no writer got as far as its first key";

    // No kill left the lock held; the next change goes through and clears
    // whatever temporary file a killed writer left.
    Registry registry(m_root.Path());
    ASSERT_EQ(registry.SetString(HKEY_CLASSES_ROOT, "After", "1"), ERROR_SUCCESS);
    for (const auto& entry : std::filesystem::directory_iterator(m_root.Path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    }
}

TEST_F(RegistryKilledWriter, ALeftoverTemporaryIsRemovedByTheNextChange) {
    Registry registry(m_root.Path());
    ASSERT_EQ(registry.SetString(HKEY_CLASSES_ROOT, "v", "1"), ERROR_SUCCESS);
    const std::string leftover = m_root.File("HKCR.reg.tmp-99999-0");
    testing::WriteFile(leftover, "FyBootp registry 1\nkey\n");
    ASSERT_EQ(registry.SetString(HKEY_CLASSES_ROOT, "v", "2"), ERROR_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(leftover));
}

}  // namespace
}  // namespace fybootp::registry
