#pragma once
// What the document tests share: a fresh working directory per test, the
// info file as bytes, stand-ins for the document factory and the host's
// network tables, and a way to run a piece of a test in a child process.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/fy_bootp_server.h"
#include "document/dom_routines.h"
#include "document/host_info_source.h"
#include "document/info_file_access.h"
#include "platform/journal/journal.h"
#include "tests/support/child_process.h"
#include "tests/support/failing_file_system.h"

namespace fybootp::testing {

// A new directory under the system's temporary directory, removed with all
// its content at the end.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// Makes path the working directory until the guard ends, then restores the
// one before.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path);
    ~WorkingDirectory();
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    std::string m_previous;
};

// A test that runs in a fresh, empty working directory.
class InfoFileTest : public ::testing::Test {
protected:
    InfoFileTest() : m_cwd(m_dir.Path()) {}
    const std::string& Dir() const { return m_dir.Path(); }

private:
    TempDirectory m_dir;
    WorkingDirectory m_cwd;
};

// FyBootpInfo.xml of the working directory.
void WriteInfoFile(std::string_view bytes);
std::optional<std::string> ReadInfoFile();
bool InfoFileExists();

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, std::string_view bytes);

// The files of a directory other than . and .., sorted.
std::vector<std::string> DirectoryEntries(const std::string& path);

MacAddress Mac(std::string_view twelveHexDigits);
Ipv4Address Ip(const char* dotted);
BootpNode Row(const char* dotted, std::string_view mac);

// Makes no documents: the server without an XML component.
class NoDocumentFactory final : public DocumentFactory {
public:
    Document Create() const override { return nullptr; }
};

// Makes documents for the first `count` requests, none after.
class LimitedDocumentFactory final : public DocumentFactory {
public:
    explicit LimitedDocumentFactory(int count) : m_left(count) {}
    Document Create() const override;

private:
    mutable int m_left;
};

// Keeps the lines written to the event log.
class RecordingSink final : public journal::Sink {
public:
    void Write(journal::Priority priority, std::string_view message) noexcept override;
    // Whether some line holds every one of the texts.
    bool Has(std::initializer_list<std::string_view> texts) const;

    std::vector<std::string> lines;
};

// A document factory whose info file goes through a file layer that fails on
// demand, whose events the test reads and whose clock it sets.
struct FileLayerUnderTest {
    FailingFileSystem files;
    RecordingSink events;
    std::time_t now = 1'796'658'300;  // 2026-12-07T15:45:00Z
    InfoFileAccess access{files, events, [this] { return now; }};
    LibxmlDocuments documents{access};
};

// Tables handed in by the test; counts how often each is read.
class FakeHostInfoSource final : public HostInfoSource {
public:
    std::string hostName;
    std::vector<net::AddressRow> addresses;
    std::vector<net::RouteRow> routes;
    int addressError = 0;
    int routeError = 0;
    mutable int reads = 0;

    std::string HostName() const override;
    int ReadAddressTable(std::vector<net::AddressRow>& out) const override;
    int ReadRouteTable(std::vector<net::RouteRow>& out) const override;
};

// A source describing one machine: host "detected-host", address
// 198.51.100.7/24, gateway 198.51.100.1.
FakeHostInfoSource DetectableHost();

// A server built as the process builds it, with the start-up load over the
// given factory and source; null when construction failed (status in hr).
std::unique_ptr<FyBootpServer> StartServer(const DocumentFactory& factory,
                                           const HostInfoSource& source, HRESULT* hr = nullptr);

// The node table as "ip/MAC" texts, for readable comparisons.
std::vector<std::string> TableText(const FyBootpServer& server);

}  // namespace fybootp::testing
