#include "tests/document/fuzz/document_fuzz_entry.h"

#include <algorithm>
#include <string_view>

#include "document/dom_error.h"
#include "document/info_file.h"
#include "document/node_table_exchange.h"
#include "document/startup_load.h"
#include "platform/fs/atomic_file.h"
#include "tests/document/tree_reference.h"

namespace fybootp::fuzz {
namespace {

class QuietHost final : public HostInfoSource {
public:
    std::string HostName() const override { return "fuzz-host"; }
    int ReadAddressTable(std::vector<net::AddressRow>& out) const override {
        out = {{0x0100A8C0u, 0x00FFFFFFu, 1, false}};
        return 0;
    }
    int ReadRouteTable(std::vector<net::RouteRow>& out) const override {
        out.clear();
        return 0;
    }
};

bool Ascending(const FyBootpServer& server) {
    const auto& rows = server.m_nodes.Rows();
    return std::is_sorted(rows.begin(), rows.end(), [](const BootpNode& a, const BootpNode& b) {
        return MacKey(a.macAddr) < MacKey(b.macAddr);
    });
}

bool SameTable(const FyBootpServer& a, const FyBootpServer& b) {
    const auto& x = a.m_nodes.Rows();
    const auto& y = b.m_nodes.Rows();
    return std::equal(x.begin(), x.end(), y.begin(), y.end(),
                      [](const BootpNode& p, const BootpNode& q) {
                          return p.ipAddr == q.ipAddr && p.macAddr == q.macAddr;
                      });
}

std::string Status(const char* what, HRESULT hr) {
    return std::string(what) + " returned " + std::to_string(hr);
}

// The put: the table it makes is ascending, prunes the new-address list,
// and survives the get and a second put unchanged.
std::string ThroughThePut(std::string_view text) {
    FyBootpServer server;
    for (std::uint8_t i = 0; i < 4; ++i)
        server.m_newMacs.AppendIfNew(MacAddress{0x02, 0x4B, 0x77, 0, 0, i});
    if (const HRESULT hr = put_BootpInfosXml(server, text); hr != S_OK) return Status("put", hr);
    if (!Ascending(server)) return "put left the table out of order";
    for (const NewMacRecord& record : server.m_newMacs.Records()) {
        if (server.m_nodes.FindFirst(record.macAddr) != nullptr) return "put left a listed address";
    }
    std::string got;
    if (const HRESULT hr = get_BootpInfosXml(server, &got); hr != S_OK) return Status("get", hr);
    FyBootpServer again;
    if (const HRESULT hr = put_BootpInfosXml(again, got); hr != S_OK)
        return Status("second put", hr);
    if (!SameTable(server, again)) return "the get's text did not give the same table back";
    return {};
}

// The file: whatever it holds, the start-up load copes and comes up as a
// reading of the whole tree would, and the file that storing the table
// leaves behind loads again.
std::string ThroughTheFile(std::string_view bytes) {
    if (fs::ReplaceFileAtomically(kInfoFileName, bytes) != 0) return "cannot write the file";
    std::unique_ptr<FyBootpServer> server;
    const QuietHost host;
    if (const HRESULT hr = ConstructServer(server, MakeStartupLoad(LibxmlDocumentFactory(), host));
        hr != S_OK) {
        return Status("start-up load", hr);
    }
    if (!Ascending(*server)) return "start-up load left the table out of order";
    FyBootpServer throughTheTree;
    testing::LoadThroughTheTree(throughTheTree, host);
    if (std::string difference = testing::StartupDifference(throughTheTree, *server);
        !difference.empty()) {
        return "start-up load against the whole tree: " + difference;
    }
    if (const HRESULT hr = RunDocumentOperation([&] { StoreNodeTable(*server); }); hr != S_OK) {
        return Status("store", hr);
    }
    Document document = CreateInfoDocument();
    if (!LoadInfoFile(document)) return "the stored file does not load again";
    return {};
}

}  // namespace

std::string RunDocumentInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (std::string problem = ThroughThePut(bytes); !problem.empty()) return problem;
    return ThroughTheFile(bytes);
}

}  // namespace fybootp::fuzz
