#include "automation/node_editing.h"

#include <mutex>
#include <new>
#include <optional>

#include "document/dom_error.h"
#include "document/limits.h"
#include "document/node_table_exchange.h"
#include "document/text_forms.h"

namespace fybootp {
namespace {

// Unlike a row read from a document, an argument need not be exactly 12
// characters long: what follows the first 12 is ignored.
std::optional<MacAddress> DecodeArgument(std::string_view text) {
    MacAddress mac;
    if (ParseHexBytes(text, mac) != mac.size()) return std::nullopt;
    return mac;
}

std::optional<std::size_t> FirstRowOf(const NodeTable& table, const MacAddress& mac) {
    const BootpNode* row = table.FindFirst(mac);
    if (row == nullptr) return std::nullopt;
    return static_cast<std::size_t>(row - table.Rows().data());
}

// ERROR_FILE_TOO_LARGE: the table could not be stored so that it loads again.
constexpr HRESULT kTableFull = HresultFromWin32(223);

// Changes the table in memory: S_OK, kTableFull, or E_OUTOFMEMORY when the
// table cannot grow (the table keeps its rows then).
HRESULT ChangeRow(FyBootpServer& server, const BootpNode& row) noexcept {
    try {
        MutexLock lock(server.m_lock);
        if (const auto position = FirstRowOf(server.m_nodes, row.macAddr)) {
            server.m_nodes.Assign(*position, row);
        } else if (server.m_nodes.Size() >= kMaxStoredRows) {
            // A longer table would be written, but the next start could not
            // load the file and would come up with no table at all.
            return kTableFull;
        } else {
            // Appended, not sorted in: the next start-up load sorts it.
            server.m_nodes.Append(row);
        }
        // The new-address list keeps the address: only a replacement of the
        // whole table takes addresses out of it.
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace

HRESULT AddBootpInfo(FyBootpServer& server, std::string_view macAddr, std::int32_t ipAddr,
                     const DocumentFactory& factory) {
    if (const std::optional<MacAddress> mac = DecodeArgument(macAddr)) {
        const HRESULT changed = ChangeRow(server, BootpNode{static_cast<Ipv4Address>(ipAddr), *mac});
        if (changed != S_OK) return changed;
    }
    return RunDocumentOperation([&] {
        server.m_runThread.AssertHeld();
        StoreNodeTable(server, factory);
    });
}

HRESULT DeleteBootpInfo(FyBootpServer& server, std::string_view macAddr,
                        const DocumentFactory& factory) {
    const std::optional<MacAddress> mac = DecodeArgument(macAddr);
    if (!mac) return S_FALSE;
    try {
        MutexLock lock(server.m_lock);
        const auto position = FirstRowOf(server.m_nodes, *mac);
        if (!position) return S_FALSE;  // the file is not touched
        server.m_nodes.Erase(*position);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return RunDocumentOperation([&] {
        server.m_runThread.AssertHeld();
        StoreNodeTable(server, factory);
    });
}

}  // namespace fybootp
