#include "document/node_table_exchange.h"

#include <vector>

#include "document/dom_error.h"
#include "document/info_file.h"
#include "document/info_text.h"
#include "document/node_rows.h"

namespace fybootp {
namespace {

// <Node><IpAddr>255.255.255.255</IpAddr><MacAddr>0123456789AB</MacAddr></Node>
constexpr std::size_t kTableRowBytes = 76;

void ReplaceNodeTable(FyBootpServer& server, std::vector<BootpNode> rows) {
    // One unit for the receive thread: it never answers from the new table
    // while an address of it is still listed as new, nor the reverse.
    MutexLock lock(server.m_lock);
    server.m_nodes.Replace(std::move(rows));
    // The list holds each address once, so removing every listed address is
    // removing the first equal entry for each row.
    const std::size_t removed = server.m_newMacs.RemoveListedIn(server.m_nodes);
    for (std::size_t i = 0; i < removed; ++i) FyBootpServer::BumpCounter(server.m_newMacCnt);
}

void WriteTable(Node root, const FyBootpServer& server) FYB_REQUIRES_SHARED(server.m_runThread) {
    WriteNodeRows(AppendElement(root, "Nodes"), server.NodesOnRunThread().Rows(), true);
}

}  // namespace

HRESULT get_BootpInfosXml(const FyBootpServer& server, std::string* pVal,
                          const DocumentFactory& factory) {
    if (pVal == nullptr) return E_POINTER;
    return RunDocumentOperation([&] {
        server.m_runThread.AssertHeld();
        // No XML component, no text, as with every other document operation.
        CheckRequired(CreateInfoDocument(factory).get());
        const auto rows = server.NodesOnRunThread().Rows();
        InfoText text(rows.size() * kTableRowBytes);
        WriteNodeRows(text, rows, true);
        *pVal = text.Finish();
    });
}

HRESULT put_BootpInfosXml(FyBootpServer& server, std::string_view xml,
                          const DocumentFactory& factory) {
    return RunDocumentOperation([&] {
        std::vector<BootpNode> rows;
        {
            Document document = CreateInfoDocument(factory);
            if (document == nullptr || !LoadXmlText(document, xml)) return;
            ReadNodeRows(document, rows);
        }  // the parsed text is freed before the file is loaded
        server.m_runThread.AssertHeld();
        ReplaceNodeTable(server, std::move(rows));
        StoreNodeTable(server, factory);
    });
}

void StoreNodeTable(const FyBootpServer& server, const DocumentFactory& factory) {
    Document document = CreateInfoDocument(factory);
    if (document == nullptr) return;
    InfoFileAccess& access = factory.InfoFile();
    const InfoFileLoad load = LoadInfoFile(document, access);
    if (load) {
        const Node docNode = AsNode(document.get());
        if (const Node root = SelectSingleNode(docNode, "FyBootpInfo")) {
            // Every Nodes goes, not just the first: the start-up load reads
            // the rows of all of them, so rows left in a second one would
            // come back at the next start after the operator removed them.
            // A root without one gets one, or no edit would ever be stored.
            for (const Node old : SelectNodes(docNode, "FyBootpInfo/Nodes")) RemoveChild(root, old);
            WriteTable(root, server);
        }
        SaveInfoFile(document, access);
        return;
    }
    // A malformed file's content, HostInfo included, is not carried over;
    // the file itself is kept beside the new one.
    KeepUnloadableFile(load, access);
    const NewDocument created = NewInfoDocument(factory);
    if (created.root != nullptr) WriteTable(created.root, server);
    SaveInfoFile(created.document, access);
}

}  // namespace fybootp
