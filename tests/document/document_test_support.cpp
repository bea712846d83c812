#include "tests/document/document_test_support.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "document/info_file.h"
#include "document/startup_load.h"
#include "document/text_forms.h"
#include "platform/net/address_text.h"

namespace fybootp::testing {

TempDirectory::TempDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/fyb-document-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

WorkingDirectory::WorkingDirectory(const std::string& path)
    : m_previous(std::filesystem::current_path().string()) {
    std::filesystem::current_path(path);
}

WorkingDirectory::~WorkingDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(m_previous, ignored);
}

void WriteInfoFile(std::string_view bytes) { WriteFile(kInfoFileName, bytes); }

std::optional<std::string> ReadInfoFile() {
    if (!InfoFileExists()) return std::nullopt;
    return ReadFile(kInfoFileName);
}

bool InfoFileExists() { return std::filesystem::exists(kInfoFileName); }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> DirectoryEntries(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

MacAddress Mac(std::string_view twelveHexDigits) {
    const std::optional<MacAddress> mac = ReadHardwareAddress(twelveHexDigits);
    if (!mac) throw std::invalid_argument("not a hardware address");
    return *mac;
}

Ipv4Address Ip(const char* dotted) { return net::InetAddr(dotted); }

BootpNode Row(const char* dotted, std::string_view mac) { return BootpNode{Ip(dotted), Mac(mac)}; }

Document LimitedDocumentFactory::Create() const {
    if (m_left <= 0) return nullptr;
    --m_left;
    return LibxmlDocumentFactory().Create();
}

std::string FakeHostInfoSource::HostName() const {
    ++reads;
    return hostName;
}

int FakeHostInfoSource::ReadAddressTable(std::vector<net::AddressRow>& out) const {
    ++reads;
    out = addressError == 0 ? addresses : std::vector<net::AddressRow>{};
    return addressError;
}

int FakeHostInfoSource::ReadRouteTable(std::vector<net::RouteRow>& out) const {
    ++reads;
    out = routeError == 0 ? routes : std::vector<net::RouteRow>{};
    return routeError;
}

FakeHostInfoSource DetectableHost() {
    FakeHostInfoSource source;
    source.hostName = "detected-host";
    source.addresses = {{Ip("198.51.100.7"), Ip("255.255.255.0"), 2, false},
                        {Ip("127.0.0.1"), Ip("255.0.0.0"), 1, true}};
    source.routes = {{Ip("0.0.0.0"), 0, Ip("198.51.100.1"), 2, 0},
                     {Ip("198.51.100.0"), 24, Ip("198.51.100.7"), 2, 0}};
    return source;
}

std::unique_ptr<FyBootpServer> StartServer(const DocumentFactory& factory,
                                           const HostInfoSource& source, HRESULT* hr) {
    std::unique_ptr<FyBootpServer> server;
    const HRESULT status = ConstructServer(server, MakeStartupLoad(factory, source));
    if (hr != nullptr) *hr = status;
    return server;
}

std::vector<std::string> TableText(const FyBootpServer& server) {
    std::vector<std::string> rows;
    for (const BootpNode& row : server.m_nodes.Rows()) {
        rows.push_back(net::InetNtoa(row.ipAddr) + "/" + HexText(row.macAddr));
    }
    return rows;
}

void RecordingSink::Write(journal::Priority, std::string_view message) noexcept {
    try {
        lines.emplace_back(message);
    } catch (const std::bad_alloc&) {
        // Lost, as the real journal loses a line it cannot take.
    }
}

bool RecordingSink::Has(std::initializer_list<std::string_view> texts) const {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return std::all_of(texts.begin(), texts.end(), [&](std::string_view text) {
            return line.find(text) != std::string::npos;
        });
    });
}

}  // namespace fybootp::testing
