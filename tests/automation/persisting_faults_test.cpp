// Every operation that stores a change, run under every failure of the file
// layer and of memory that can strike it: each step of each kind failing in
// turn (ENOSPC, EACCES, EIO), and each of its allocations failing in turn.
// Whatever fails, the file is the old one or the new one, never a third;
// no temporary file stays behind; an operation that did not store its
// change says so; a file that did not load is never replaced without a copy;
// and the server goes on working.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "automation/host_info_exchange.h"
#include "automation/log_reporting.h"
#include "automation/node_editing.h"
#include "document/info_file.h"
#include "document/node_table_exchange.h"
#include "document/xml_memory.h"
#include "tests/automation/operations_test_support.h"
#include "tests/support/failing_allocator.h"

namespace fybootp {
namespace {

using Kind = testing::FailingFileSystem::Kind;
using Operation = std::function<HRESULT(FyBootpServer&, const DocumentFactory&)>;

// Built before any allocation is made to fail.
const std::string kTable =
    "<FyBootpInfo><Nodes><Node><IpAddr>192.0.2.10</IpAddr><MacAddr>024B77000010</MacAddr></Node>"
    "</Nodes></FyBootpInfo>";

struct NamedOperation {
    const char* name;
    Operation run;
};

const std::vector<NamedOperation>& PersistingOperations() {
    static const std::vector<NamedOperation> operations{
        {"put BootpInfosXml",
         [](FyBootpServer& server, const DocumentFactory& documents) {
             return put_BootpInfosXml(server, kTable, documents);
         }},
        {"AddBootpInfo",
         [](FyBootpServer& server, const DocumentFactory& documents) {
             return AddBootpInfo(server, "024B77000011", testing::IpArgument("192.0.2.11"),
                                 documents);
         }},
        {"DeleteBootpInfo",
         [](FyBootpServer& server, const DocumentFactory& documents) {
             return DeleteBootpInfo(server, "024B77000001", documents);
         }},
        {"put HostInfoXml",
         [](FyBootpServer& server, const DocumentFactory& documents) {
             return put_HostInfoXml(server,
                                    "<FyBootpInfo><HostInfo><Override>1</Override><Name>h2</Name>"
                                    "<IpAddr>192.0.2.2</IpAddr></HostInfo></FyBootpInfo>",
                                    documents);
         }},
        {"put LogEntries",
         [](FyBootpServer& server, const DocumentFactory& documents) {
             return put_LogEntries(server, "<FyBootpInfo/>", documents);
         }},
    };
    return operations;
}

// What the file holds before the operation: none stands for no file.
struct StartingFile {
    const char* name;
    std::optional<std::string> bytes;
    bool loads;
};

const std::vector<StartingFile>& StartingFiles() {
    static const std::vector<StartingFile> files{
        {"a stored file",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FyBootpInfo><HostInfo><Override>1</Override>"
         "<Name>h1</Name></HostInfo><Nodes><Node><IpAddr>192.0.2.1</IpAddr><MacAddr>024B77000001"
         "</MacAddr></Node></Nodes><Logs><Log><Message>m</Message></Log></Logs></FyBootpInfo>\n",
         true},
        {"a file that does not load", "<FyBootpInfo><Nodes>", false},
        {"no file", std::nullopt, true},
    };
    return files;
}

// libxml2's allocations, under the hooks the document layer counts them
// with: the armed one on this thread fails.
struct LibxmlAllocations {
    static inline thread_local std::size_t count = 0;
    static inline thread_local std::size_t failAt = 0;

    static bool Fails() { return ++count == failAt; }
    static void* Malloc(std::size_t size) { return Fails() ? nullptr : std::malloc(size); }
    static void* Realloc(void* memory, std::size_t size) {
        return Fails() ? nullptr : std::realloc(memory, size);
    }
    static void Install() { xml::SetUnderlyingAllocatorForTests({Malloc, Realloc}); }
};

class FailingLibxmlAllocation {
public:
    explicit FailingLibxmlAllocation(std::size_t nth) {
        LibxmlAllocations::failAt = LibxmlAllocations::count + nth;
    }
    ~FailingLibxmlAllocation() { LibxmlAllocations::failAt = 0; }
    FailingLibxmlAllocation(const FailingLibxmlAllocation&) = delete;
    FailingLibxmlAllocation& operator=(const FailingLibxmlAllocation&) = delete;
};

class PersistingUnderFaults : public testing::InfoFileTest {
protected:
    ~PersistingUnderFaults() override {
        std::cout << "[ fault cases ] " << m_cases << " tried\n";
        RecordProperty("fault_cases", static_cast<int>(m_cases));
    }

    // The directory as the case starts: only the starting file.
    void Reset(const StartingFile& start) {
        for (const auto& entry : std::filesystem::directory_iterator(".")) {
            std::filesystem::remove_all(entry.path());
        }
        if (start.bytes) testing::WriteInfoFile(*start.bytes);
        m_layer.files.Reset();
        m_layer.events.lines.clear();
    }

    // A server holding one row that the file also holds, and one log entry.
    static std::unique_ptr<FyBootpServer> NewServer() {
        auto server = std::make_unique<FyBootpServer>();
        server->m_nodes.Replace({testing::Row("192.0.2.1", "024B77000001")});
        server->SetHostName("h1");
        server->m_override = 1;
        server->m_logs.Append(LogEntry{});
        return server;
    }

    // The file after a clean run, and the steps of each kind it took.
    struct CleanRun {
        std::optional<std::string> file;
        std::array<std::size_t, testing::FailingFileSystem::kKinds> calls{};
        std::size_t allocations = 0;
        std::size_t libxmlAllocations = 0;
    };
    CleanRun RunClean(const NamedOperation& operation, const StartingFile& start) {
        Reset(start);
        auto server = NewServer();
        CleanRun clean;
        const std::size_t before = testing::AllocationsOfThisThread();
        const std::size_t libxmlBefore = LibxmlAllocations::count;
        EXPECT_EQ(operation.run(*server, m_layer.documents), S_OK) << operation.name;
        clean.allocations = testing::AllocationsOfThisThread() - before;
        clean.libxmlAllocations = LibxmlAllocations::count - libxmlBefore;
        clean.file = testing::ReadInfoFile();
        for (std::size_t kind = 0; kind < clean.calls.size(); ++kind) {
            clean.calls[kind] = m_layer.files.Calls(static_cast<Kind>(kind));
        }
        return clean;
    }

    // The checks every case ends with. what names the case in a failure.
    void ExpectOldOrNew(HRESULT hr, const StartingFile& start, const CleanRun& clean,
                        FyBootpServer& server, const std::string& what) {
        ++m_cases;
        const std::optional<std::string> file = testing::ReadInfoFile();
        EXPECT_TRUE(file == start.bytes || file == clean.file) << what << ": a third file";
        if (Succeeded(hr)) {
            EXPECT_EQ(file, clean.file) << what << ": success without the change";
        }
        if (file != start.bytes && !start.loads) {
            EXPECT_TRUE(HoldsCopyOf(*start.bytes)) << what << ": replaced without a copy";
        }
        for (const std::string& name : testing::DirectoryEntries(".")) {
            EXPECT_EQ(name.find(".tmp-"), std::string::npos) << what << ": " << name << " left";
        }
        // A later operation on the same server and file layer still works.
        m_layer.files.Reset();
        EXPECT_EQ(put_BootpInfosXml(server, kTable, m_layer.documents), S_OK)
            << what << ": the server no longer stores";
        Document reloaded = CreateInfoDocument();
        EXPECT_TRUE(LoadInfoFile(reloaded)) << what << ": what it stored then does not load";
    }

    static bool HoldsCopyOf(const std::string& bytes) {
        for (const std::string& name : testing::DirectoryEntries(".")) {
            if (name.starts_with(kUnloadablePrefix) && testing::ReadFile(name) == bytes) return true;
        }
        return false;
    }

    testing::FileLayerUnderTest m_layer;
    std::size_t m_cases = 0;
};

TEST_F(PersistingUnderFaults, EveryStepOfTheFileLayerFailingLeavesTheOldFileOrTheNew) {
    for (const NamedOperation& operation : PersistingOperations()) {
        for (const StartingFile& start : StartingFiles()) {
            const CleanRun clean = RunClean(operation, start);
            for (std::size_t kind = 0; kind < clean.calls.size(); ++kind) {
                for (std::size_t nth = 1; nth <= clean.calls[kind]; ++nth) {
                    for (const int error : {ENOSPC, EACCES, EIO}) {
                        Reset(start);
                        auto server = NewServer();
                        m_layer.files.FailNth(static_cast<Kind>(kind), nth, error);
                        const HRESULT hr = operation.run(*server, m_layer.documents);
                        ExpectOldOrNew(hr, start, clean, *server,
                                       std::string(operation.name) + " over " + start.name +
                                           ", " +
                                           std::string(testing::FailingFileSystem::Name(
                                               static_cast<Kind>(kind))) +
                                           " #" + std::to_string(nth) + " failing with " +
                                           std::to_string(error));
                    }
                }
            }
        }
    }
}

TEST_F(PersistingUnderFaults, EveryAllocationFailingLeavesTheOldFileOrTheNew) {
    // The operations make a few hundred allocations of their own; libxml2's
    // go through malloc and are not counted here.
    constexpr std::size_t kMaxAllocations = 2'000;
    for (const NamedOperation& operation : PersistingOperations()) {
        for (const StartingFile& start : StartingFiles()) {
            const CleanRun clean = RunClean(operation, start);
            ASSERT_LE(clean.allocations, kMaxAllocations) << operation.name;
            for (std::size_t nth = 1; nth <= clean.allocations; ++nth) {
                Reset(start);
                auto server = NewServer();
                HRESULT hr = S_OK;
                bool escaped = false;
                try {
                    testing::FailingAllocations failing(nth);
                    hr = operation.run(*server, m_layer.documents);
                } catch (const std::bad_alloc&) {
                    escaped = true;
                    hr = E_UNEXPECTED;
                }
                const std::string what = std::string(operation.name) + " over " + start.name +
                                         ", allocation #" + std::to_string(nth) + " failing";
                EXPECT_FALSE(escaped) << what << ": the exception left the operation";
                ExpectOldOrNew(hr, start, clean, *server, what);
            }
        }
    }
}

TEST_F(PersistingUnderFaults, EveryLibxmlAllocationFailingLeavesTheOldFileOrTheNew) {
    LibxmlAllocations::Install();
    // xmlMemSetup happens with the first document the process makes.
    ASSERT_NE(CreateInfoDocument(), nullptr);
    constexpr std::size_t kMaxAllocations = 2'000;
    for (const NamedOperation& operation : PersistingOperations()) {
        for (const StartingFile& start : StartingFiles()) {
            const CleanRun clean = RunClean(operation, start);
            ASSERT_LE(clean.libxmlAllocations, kMaxAllocations) << operation.name;
            for (std::size_t nth = 1; nth <= clean.libxmlAllocations; ++nth) {
                Reset(start);
                auto server = NewServer();
                HRESULT hr = S_OK;
                {
                    FailingLibxmlAllocation failing(nth);
                    hr = operation.run(*server, m_layer.documents);
                }
                ExpectOldOrNew(hr, start, clean, *server,
                               std::string(operation.name) + " over " + start.name +
                                   ", libxml2 allocation #" + std::to_string(nth) + " failing");
            }
        }
    }
}

}  // namespace
}  // namespace fybootp
