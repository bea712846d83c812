// NewMacAddresses and LogEntries: the lists as texts, fetched without
// changing anything, and the clearing of the log.

#include "automation/log_reporting.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "tests/automation/operations_test_support.h"

namespace fybootp {
namespace {

using testing::kDeclaration;
using testing::Mac;
using testing::ReadInfoFile;
using testing::WriteInfoFile;

const std::string kFirstLog =
    "<Log><TimeStamp>2001-05-17T08:03:09</TimeStamp><MacAddr>024B771234AB</MacAddr>"
    "<Message>Unknown Quellmar MAC address found</Message></Log>";
const std::string kFetchedLog = "<FyBootpInfo><Logs>" + kFirstLog + "</Logs></FyBootpInfo>";
const std::string kNodes =
    "<Nodes><Node><IpAddr>192.0.2.10</IpAddr><MacAddr>001A2B3C4D5E</MacAddr></Node></Nodes>";

class LogReporting : public testing::InfoFileTest {
protected:
    LogReporting() {
        AppendLog("2001-05-17T08:03:09", "024B771234AB", "Unknown Quellmar MAC address found");
        m_server.m_logChangeCnt = 7;
        m_server.m_newMacCnt = 5;
    }
    void AppendLog(const char* timeStamp, std::string_view mac, const char* message) {
        LogRecord record;
        std::strncpy(record.timeStamp, timeStamp, sizeof record.timeStamp - 1);
        record.macAddr = Mac(mac);
        std::strncpy(record.message, message, sizeof record.message - 1);
        Append(record);
    }
    void Append(const LogRecord& record) {
        std::lock_guard lock(m_server.m_lock);
        m_server.m_logs.Append(record);
    }
    std::string NewMacs() {
        std::string text;
        EXPECT_EQ(get_NewMacAddresses(m_server, &text), S_OK);
        return text;
    }
    std::string Logs() {
        std::string text;
        EXPECT_EQ(get_LogEntries(m_server, &text), S_OK);
        return text;
    }
    void Put(std::string_view text) { EXPECT_EQ(put_LogEntries(m_server, text), S_OK) << text; }

    FyBootpServer m_server;
};

TEST_F(LogReporting, GetsNeedAnOutParameter) {
    EXPECT_EQ(get_NewMacAddresses(m_server, nullptr), E_POINTER);
    EXPECT_EQ(get_LogEntries(m_server, nullptr), E_POINTER);
}

TEST_F(LogReporting, GetsWithoutADocumentFailAndLeaveTheOutParameter) {
    std::string text = "unchanged";
    EXPECT_EQ(get_NewMacAddresses(m_server, &text, testing::NoDocumentFactory()), E_POINTER);
    EXPECT_EQ(get_LogEntries(m_server, &text, testing::NoDocumentFactory()), E_POINTER);
    EXPECT_EQ(text, "unchanged");
}

TEST_F(LogReporting, EmptyListsGiveEmptyNodesAndLogsElements) {
    m_server.m_logs.Clear();
    EXPECT_EQ(NewMacs(), std::string(kDeclaration) + "<FyBootpInfo><Nodes/></FyBootpInfo>\n");
    EXPECT_EQ(Logs(), std::string(kDeclaration) + "<FyBootpInfo><Logs/></FyBootpInfo>\n");
}

TEST_F(LogReporting, NewAddressesAreListedInTheOrderFirstSeenWithTheAddressOnly) {
    m_server.m_newMacs.AppendIfNew(Mac("024b77000002"));
    m_server.m_newMacs.AppendIfNew(Mac("024B77000001"));
    EXPECT_EQ(NewMacs(),
              std::string(kDeclaration) +
                  "<FyBootpInfo><Nodes><Node><MacAddr>024B77000002</MacAddr></Node>"
                  "<Node><MacAddr>024B77000001</MacAddr></Node></Nodes></FyBootpInfo>\n");
}

TEST_F(LogReporting, LogEntriesGiveTimeStampAddressAndMessageOldestFirst) {
    AppendLog("2001-05-17T08:03:10", "024B77000001", "IP Address '192.0.2.10' assigned");
    EXPECT_EQ(
        Logs(),
        std::string(kDeclaration) + "<FyBootpInfo><Logs>" + kFirstLog +
            "<Log><TimeStamp>2001-05-17T08:03:10</TimeStamp><MacAddr>024B77000001</MacAddr>"
            "<Message>IP Address '192.0.2.10' assigned</Message></Log></Logs></FyBootpInfo>\n");
}

// A text that fills its field has no NUL to end it.
TEST_F(LogReporting, TextsThatFillTheirFieldsEndAtTheFieldsEnd) {
    m_server.m_logs.Clear();
    LogRecord record;
    std::memset(record.timeStamp, '1', sizeof record.timeStamp);
    std::memset(record.message, 'm', sizeof record.message);
    Append(record);
    EXPECT_EQ(Logs(), std::string(kDeclaration) + "<FyBootpInfo><Logs><Log><TimeStamp>" +
                          std::string(kTimeStampSize, '1') +
                          "</TimeStamp><MacAddr>000000000000</MacAddr><Message>" +
                          std::string(kLogMessageSize, 'm') +
                          "</Message></Log></Logs></FyBootpInfo>\n");
}

TEST_F(LogReporting, FetchingTwiceGivesTheSameTextAndChangesNoCounterAndNoFile) {
    m_server.m_newMacs.AppendIfNew(Mac("024B77000001"));
    EXPECT_EQ(NewMacs(), NewMacs());
    EXPECT_EQ(Logs(), Logs());
    EXPECT_EQ(m_server.m_logs.Size(), 1u);
    EXPECT_EQ(m_server.m_newMacs.Size(), 1u);
    EXPECT_EQ(m_server.m_logChangeCnt, 7);
    EXPECT_EQ(m_server.m_newMacCnt, 5);
    EXPECT_FALSE(testing::InfoFileExists());
}

TEST_F(LogReporting, PutOfTheFetchedTextEmptiesTheLogAndRaisesItsCounterByOne) {
    Put(Logs());
    EXPECT_EQ(Logs(), std::string(kDeclaration) + "<FyBootpInfo><Logs/></FyBootpInfo>\n");
    EXPECT_EQ(m_server.m_logChangeCnt, 8);
    EXPECT_EQ(m_server.m_newMacCnt, 5);
}

TEST_F(LogReporting, PutOfAnyWellFormedTextClearsTheLog) {
    Put("<Other/>");
    EXPECT_EQ(m_server.m_logs.Size(), 0u);
    EXPECT_EQ(m_server.m_logChangeCnt, 8);
}

TEST_F(LogReporting, PutOfTextThatIsNotXmlChangesNothing) {
    WriteInfoFile("<FyBootpInfo>" + kNodes + "<Logs/></FyBootpInfo>");
    for (const char* text : {"", "not xml", "<FyBootpInfo><Logs>"}) Put(text);
    EXPECT_EQ(m_server.m_logs.Size(), 1u);
    EXPECT_EQ(m_server.m_logChangeCnt, 7);
    EXPECT_EQ(*ReadInfoFile(), "<FyBootpInfo>" + kNodes + "<Logs/></FyBootpInfo>");
}

TEST_F(LogReporting, PutWithoutADocumentChangesNothing) {
    EXPECT_EQ(put_LogEntries(m_server, kFetchedLog, testing::NoDocumentFactory()), S_OK);
    EXPECT_EQ(m_server.m_logs.Size(), 1u);
    EXPECT_EQ(m_server.m_logChangeCnt, 7);
}

TEST_F(LogReporting, LogCounterWrapsAround) {
    m_server.m_logChangeCnt = INT32_MAX;
    Put(kFetchedLog);
    EXPECT_EQ(m_server.m_logChangeCnt, INT32_MIN);
}

TEST_F(LogReporting, PutWaitsForTheResponderLock) {
    EXPECT_TRUE(testing::WaitsForTheLock(m_server, [&] { Put(kFetchedLog); }));
    EXPECT_EQ(m_server.m_logs.Size(), 0u);
}

// What a put leaves in FyBootpInfo.xml.
TEST_F(LogReporting, PutRemovesTheFirstLogsFromTheFileAndKeepsTheRest) {
    WriteInfoFile(std::string(kDeclaration) + "<FyBootpInfo>" + kNodes + "<Logs>" + kFirstLog +
                  "</Logs><HostInfo/><Logs/></FyBootpInfo>");
    Put(kFetchedLog);
    EXPECT_EQ(*ReadInfoFile(), std::string(kDeclaration) + "<FyBootpInfo>" + kNodes +
                                   "<HostInfo/><Logs/></FyBootpInfo>\n");
}

TEST_F(LogReporting, PutSavesAFileWithoutLogsOrWithAnotherRootWithTheSameContent) {
    for (const std::string& file :
         {std::string(kDeclaration) + "<FyBootpInfo>" + kNodes + "</FyBootpInfo>\n",
          std::string("<Other><Logs/></Other>\n")}) {
        WriteInfoFile(file);
        Put(kFetchedLog);
        EXPECT_EQ(*ReadInfoFile(), file);
    }
}

TEST_F(LogReporting, PutWithoutAFileClearsTheLogAndCreatesNone) {
    Put(kFetchedLog);
    EXPECT_EQ(m_server.m_logs.Size(), 0u);
    EXPECT_EQ(m_server.m_logChangeCnt, 8);
    EXPECT_FALSE(testing::InfoFileExists());
}

TEST_F(LogReporting, PutLeavesAMalformedFileAsItIs) {
    WriteInfoFile("<FyBootpInfo><Logs>");
    Put(kFetchedLog);
    EXPECT_EQ(m_server.m_logs.Size(), 0u);
    EXPECT_EQ(*ReadInfoFile(), "<FyBootpInfo><Logs>");
}

TEST_F(LogReporting, PutWithoutADocumentForTheFileClearsTheLogAndLeavesTheFile) {
    const std::string file = "<FyBootpInfo><Logs/></FyBootpInfo>";
    WriteInfoFile(file);
    testing::LimitedDocumentFactory oneDocument(1);
    EXPECT_EQ(put_LogEntries(m_server, kFetchedLog, oneDocument), S_OK);
    EXPECT_EQ(m_server.m_logs.Size(), 0u);
    EXPECT_EQ(m_server.m_logChangeCnt, 8);
    EXPECT_EQ(*ReadInfoFile(), file);
}

// The log is cleared before the file is written; a client polling the
// counter must learn of that even though the put reports a failure.
TEST_F(LogReporting, FailedFileRewriteKeepsTheLogClearedRaisesTheCounterAndIsReported) {
    const std::string file = "<FyBootpInfo><Logs/></FyBootpInfo>";
    WriteInfoFile(file);
    const int code = testing::RunInReadOnlyDirectory(Dir(), [&] {
        if (put_LogEntries(m_server, kFetchedLog) != E_ACCESSDENIED) return 1;
        if (m_server.m_logs.Size() != 0) return 2;
        if (m_server.m_logChangeCnt != 8) return 3;
        return 0;
    });
    if (code == testing::kSkipped) GTEST_SKIP() << "mount namespaces are not available";
    EXPECT_EQ(code, 0);
    EXPECT_EQ(*ReadInfoFile(), file);
}

}  // namespace
}  // namespace fybootp
