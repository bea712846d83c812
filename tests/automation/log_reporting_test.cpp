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

// The server's clock, its local time taken as UTC.
class UtcClockPlatform final : public ResponderPlatform {
public:
    net::OpenResult OpenSocket() override { return {nullptr, EACCES}; }
    bool StartThread(std::function<void()>, std::thread&) override { return false; }
    std::time_t Now() override { return now; }
    std::optional<std::tm> ToLocal(std::time_t t) override {
        if (failLocalTime) return std::nullopt;
        std::tm local{};
        gmtime_r(&t, &local);
        return local;
    }
    std::time_t now = 0;
    bool failLocalTime = false;
};

// 2001-05-17T08:03:09 UTC.
constexpr std::time_t kFirstLogTime = 990086589;

class LogReporting : public testing::InfoFileTest {
protected:
    LogReporting() {
        AppendLog(kFirstLogTime, "024B771234AB", LogMessage::kUnknownMaker);
        m_server.m_logChangeCnt = 7;
        m_server.m_newMacCnt = 5;
    }
    void AppendLog(std::time_t time, std::string_view mac, LogMessage message,
                   Ipv4Address ipAddr = 0) {
        std::lock_guard lock(m_server.m_lock);
        m_server.m_logs.Append(LogEntry{time, Mac(mac), message, ipAddr});
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

    std::shared_ptr<UtcClockPlatform> m_clock = std::make_shared<UtcClockPlatform>();
    FyBootpServer m_server{ServerConfig{m_clock}};
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
    AppendLog(kFirstLogTime + 1, "024B77000001", LogMessage::kAddressAssigned, 0x0A0200C0);
    EXPECT_EQ(
        Logs(),
        std::string(kDeclaration) + "<FyBootpInfo><Logs>" + kFirstLog +
            "<Log><TimeStamp>2001-05-17T08:03:10</TimeStamp><MacAddr>024B77000001</MacAddr>"
            "<Message>IP Address '192.0.2.10' assigned</Message></Log></Logs></FyBootpInfo>\n");
}

// Today's text for such an entry: an empty stamp.
TEST_F(LogReporting, EntryWhoseTimeCannotBeBrokenDownHasAnEmptyStamp) {
    m_clock->failLocalTime = true;
    EXPECT_EQ(Logs(), std::string(kDeclaration) +
                          "<FyBootpInfo><Logs><Log><TimeStamp/><MacAddr>024B771234AB"
                          "</MacAddr><Message>Unknown Quellmar MAC address found</Message></Log>"
                          "</Logs></FyBootpInfo>\n");
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

// Entries made by the responder, read back as text: the stamp is the local
// time of the moment each entry was made, through the server's own clock.
class LogTextOfResponderEntries : public testing::InfoFileTest {
protected:
    struct : ReplySink {
        void Send(const bootp::Message&) override {}
    } m_replies;

    void RequestAt(std::time_t now, std::string_view mac) {
        m_clock->now = now;
        std::vector<std::uint8_t> request(bootp::kMessageSize, 0);
        request[0] = 1;
        const MacAddress address = Mac(mac);
        std::copy(address.begin(), address.end(), request.begin() + 28);
        std::lock_guard lock(m_server.m_lock);
        m_server.HandleDatagram(request, m_replies);
    }

    std::shared_ptr<UtcClockPlatform> m_clock = std::make_shared<UtcClockPlatform>();
    FyBootpServer m_server{ServerConfig{m_clock}};
};

// The golden text is what the server gave before its log was made compact:
// 1000000000 is 2001-09-09T01:46:40 UTC, 1000079999 the last second of that
// day.
TEST_F(LogTextOfResponderEntries, AcrossAChangeOfSecondAndOfDayTheTextIsTheSame) {
    {
        std::lock_guard lock(m_server.m_lock);
        m_server.m_nodes.Replace({{0x0A0200C0, Mac("001A2B3C4D5E")},    // 192.0.2.10
                                  {0xFF6433C6, Mac("001A2B3C4D5F")}});  // 198.51.100.255
    }
    RequestAt(1000000000, "001A2B3C4D5E");
    RequestAt(1000000000, "024B77000001");
    RequestAt(1000000001, "001A2B3C4D5F");
    RequestAt(1000079999, "001A2B3C4D5E");
    RequestAt(1000080000, "024B77ABCDEF");
    RequestAt(1000080000, "001A2B3C4D5F");
    std::string text;
    ASSERT_EQ(get_LogEntries(m_server, &text), S_OK);
    EXPECT_EQ(text,
              std::string(kDeclaration) +
                  "<FyBootpInfo><Logs>"
                  "<Log><TimeStamp>2001-09-09T01:46:40</TimeStamp><MacAddr>001A2B3C4D5E</MacAddr>"
                  "<Message>IP Address '192.0.2.10' assigned</Message></Log>"
                  "<Log><TimeStamp>2001-09-09T01:46:40</TimeStamp><MacAddr>024B77000001</MacAddr>"
                  "<Message>Unknown Quellmar MAC address found</Message></Log>"
                  "<Log><TimeStamp>2001-09-09T01:46:41</TimeStamp><MacAddr>001A2B3C4D5F</MacAddr>"
                  "<Message>IP Address '198.51.100.255' assigned</Message></Log>"
                  "<Log><TimeStamp>2001-09-09T23:59:59</TimeStamp><MacAddr>001A2B3C4D5E</MacAddr>"
                  "<Message>IP Address '192.0.2.10' assigned</Message></Log>"
                  "<Log><TimeStamp>2001-09-10T00:00:00</TimeStamp><MacAddr>024B77ABCDEF</MacAddr>"
                  "<Message>Unknown Quellmar MAC address found</Message></Log>"
                  "<Log><TimeStamp>2001-09-10T00:00:00</TimeStamp><MacAddr>001A2B3C4D5F</MacAddr>"
                  "<Message>IP Address '198.51.100.255' assigned</Message></Log>"
                  "</Logs></FyBootpInfo>\n");
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
