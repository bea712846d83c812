#include "automation/log_reporting.h"

#include <vector>

#include "core/log_text.h"
#include "document/dom_error.h"
#include "document/info_file.h"
#include "document/node_rows.h"

namespace fybootp {
namespace {

// The lists are copied under the lock and the document built from the copy,
// so the responder is held up for a copy, not for the building of a document.
std::vector<NewMacRecord> SnapshotNewMacs(const FyBootpServer& server) {
    MutexLock lock(server.m_lock);
    return server.m_newMacs.Records();
}

std::vector<LogEntry> SnapshotLog(const FyBootpServer& server) {
    MutexLock lock(server.m_lock);
    return {server.m_logs.Records().begin(), server.m_logs.Records().end()};
}

// The fixed-width texts of a record end at their NUL, or at the field's end.
std::string_view FieldText(const char* field, std::size_t size) {
    std::size_t length = 0;
    while (length < size && field[length] != '\0') ++length;
    return {field, length};
}

void RemoveStoredLogs(const DocumentFactory& factory) {
    Document document = CreateInfoDocument(factory);
    if (document == nullptr) return;
    InfoFileAccess& access = factory.InfoFile();
    if (!LoadInfoFile(document, access)) return;  // never created or replaced here
    const Node docNode = AsNode(document.get());
    const Node root = SelectSingleNode(docNode, "FyBootpInfo");
    const Node logs = SelectSingleNode(docNode, "FyBootpInfo/Logs");
    if (root != nullptr && logs != nullptr) RemoveChild(root, logs);
    SaveInfoFile(document, access);
}

}  // namespace

HRESULT get_NewMacAddresses(const FyBootpServer& server, std::string* pVal,
                            const DocumentFactory& factory) {
    if (pVal == nullptr) return E_POINTER;
    return RunDocumentOperation([&] {
        const std::vector<NewMacRecord> records = SnapshotNewMacs(server);
        const NewDocument built = NewInfoDocument(factory);
        WriteNodeRows(CheckRequired(AppendElement(built.root, "Nodes")), records, false);
        *pVal = DocumentText(built.document);
    });
}

HRESULT get_LogEntries(const FyBootpServer& server, std::string* pVal,
                       const DocumentFactory& factory) {
    if (pVal == nullptr) return E_POINTER;
    return RunDocumentOperation([&] {
        const std::vector<LogEntry> entries = SnapshotLog(server);
        const NewDocument built = NewInfoDocument(factory);
        const Node logs = CheckRequired(AppendElement(built.root, "Logs"));
        // The texts are made here, from the compact entries, outside the lock.
        LogTextMaker text(server.Clock());
        for (const LogEntry& entry : entries) {
            const LogRecord record = text.Make(entry);
            const Node log = AppendElement(logs, "Log");
            AppendTextElement(log, "TimeStamp", FieldText(record.timeStamp, kTimeStampSize));
            AppendHexElement(log, "MacAddr", record.macAddr);
            AppendTextElement(log, "Message", FieldText(record.message, kLogMessageSize));
        }
        *pVal = DocumentText(built.document);
    });
}

HRESULT put_LogEntries(FyBootpServer& server, std::string_view text,
                       const DocumentFactory& factory) {
    return RunDocumentOperation([&] {
        {
            Document document = CreateInfoDocument(factory);
            if (document == nullptr || !LoadXmlText(document, text)) return;
        }
        {
            // The counter moves with the clearing, so a client polling it
            // learns of every change of the log, also when the file rewrite
            // below fails.
            MutexLock lock(server.m_lock);
            server.m_logs.Clear();
            FyBootpServer::BumpCounter(server.m_logChangeCnt);
        }
        RemoveStoredLogs(factory);
    });
}

}  // namespace fybootp
