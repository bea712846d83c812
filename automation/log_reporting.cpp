#include "automation/log_reporting.h"

#include <vector>

#include "core/log_text.h"
#include "document/dom_error.h"
#include "document/info_file.h"
#include "document/info_text.h"
#include "document/node_rows.h"

namespace fybootp {
namespace {

// Room reserved per row, so that the text is not copied as it grows: a
// new-device row, and a log entry with a message of typical length.
constexpr std::size_t kNewRowBytes = 48;
constexpr std::size_t kLogRowBytes = 140;

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
        CheckRequired(CreateInfoDocument(factory).get());
        const std::vector<NewMacRecord> records = SnapshotNewMacs(server);
        InfoText text(records.size() * kNewRowBytes);
        WriteNodeRows(text, records, false);
        *pVal = text.Finish();
    });
}

HRESULT get_LogEntries(const FyBootpServer& server, std::string* pVal,
                       const DocumentFactory& factory) {
    if (pVal == nullptr) return E_POINTER;
    return RunDocumentOperation([&] {
        CheckRequired(CreateInfoDocument(factory).get());
        const std::vector<LogEntry> entries = SnapshotLog(server);
        InfoText text(entries.size() * kLogRowBytes);
        text.Open("Logs");
        // The texts are made here, from the compact entries, outside the lock.
        LogTextMaker maker(server.Clock());
        for (const LogEntry& entry : entries) {
            const LogRecord record = maker.Make(entry);
            text.Open("Log");
            text.Element("TimeStamp", FieldText(record.timeStamp, kTimeStampSize));
            text.HexElement("MacAddr", record.macAddr);
            text.Element("Message", FieldText(record.message, kLogMessageSize));
            text.Close("Log");
        }
        text.Close("Logs");
        *pVal = text.Finish();
    });
}

HRESULT put_LogEntries(FyBootpServer& server, std::string_view text,
                       const DocumentFactory& factory) {
    return RunDocumentOperation([&] {
        {
            // Only whether the text loads matters, not what it holds.
            const Document document = CreateInfoDocument(factory);
            if (document == nullptr || !XmlTextLoads(text)) return;
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
