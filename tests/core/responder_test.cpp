// The responder and run control against a fake socket and clock: what is
// answered, recorded and logged, how start and stop behave, and what the
// counters and the object's own reference do.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <string>

#include "core/fy_bootp_server.h"
#include "core/log_text.h"
#include "tests/support/bootp_test_messages.h"
#include "tests/support/fake_responder_platform.h"

namespace fybootp {
namespace {

using testing::Addr;
using testing::FakeResponderPlatform;
using testing::MakeRequest;

const MacAddress kListed = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const MacAddress kUnknownMaker = {0x02, 0x4B, 0x77, 0x00, 0x00, 0x01};
const MacAddress kOtherMaker = {0x00, 0x4B, 0x77, 0x00, 0x00, 0x01};
const MacAddress kOtherMakerByte1 = {0x02, 0x4C, 0x77, 0x00, 0x00, 0x01};
const MacAddress kOtherMakerByte2 = {0x02, 0x4B, 0x76, 0x00, 0x00, 0x01};

class ResponderTest : public ::testing::Test {
protected:
    ResponderTest() {
        platform = std::make_shared<FakeResponderPlatform>();
        ModuleLock& lock = moduleLock;
        reference = std::make_unique<ModuleLockReference>(lock);
        server = std::make_unique<FyBootpServer>(ServerConfig{platform, reference.get()});
        server->m_nodes.Replace({{Addr(192, 0, 2, 10), kListed}});
        server->SetHostName("srv");
        server->m_ipAddr = Addr(192, 0, 2, 1);
        server->m_subnetMask = Addr(255, 255, 255, 0);
        server->m_defaultGateway = Addr(192, 0, 2, 254);
    }

    void Start() {
        ASSERT_EQ(server->put_Started(1), S_OK);
        ASSERT_EQ(Started(), 1);
    }

    // Delivers the datagrams and waits until the responder has handled them.
    void Deliver(std::initializer_list<std::vector<std::uint8_t>> datagrams) {
        for (const auto& d : datagrams) {
            platform->network->Deliver(d);
            ++delivered;
        }
        ASSERT_TRUE(platform->network->WaitUntilHandled(delivered));
    }

    std::int32_t Started() {
        std::int32_t value = -1;
        EXPECT_EQ(server->get_Started(&value), S_OK);
        return value;
    }
    std::int32_t LogCount() {
        std::int32_t value = 0;
        EXPECT_EQ(server->get_LogChangeCnt(&value), S_OK);
        return value;
    }
    std::int32_t NewMacCount() {
        std::int32_t value = 0;
        EXPECT_EQ(server->get_NewMacCnt(&value), S_OK);
        return value;
    }
    std::size_t LogSize() {
        std::lock_guard lock(server->m_lock);
        return server->m_logs.Size();
    }
    // Every entry's text, as a client reads it.
    std::vector<LogRecord> LogTexts() {
        std::lock_guard lock(server->m_lock);
        LogTextMaker maker(*platform);
        std::vector<LogRecord> texts;
        for (const LogEntry& entry : server->m_logs.Records()) texts.push_back(maker.Make(entry));
        return texts;
    }

    ModuleLock moduleLock;
    std::unique_ptr<ModuleLockReference> reference;
    std::shared_ptr<FakeResponderPlatform> platform;
    std::unique_ptr<FyBootpServer> server;
    std::size_t delivered = 0;
};

TEST_F(ResponderTest, FreshObjectIsStoppedWithZeroCounters) {
    EXPECT_EQ(Started(), 0);
    std::int32_t disable = -1;
    EXPECT_EQ(server->get_DisableResponse(&disable), S_OK);
    EXPECT_EQ(disable, 0);
    EXPECT_EQ(LogCount(), 0);
    EXPECT_EQ(NewMacCount(), 0);
    EXPECT_EQ(moduleLock.Count(), 0);
}

TEST_F(ResponderTest, NullOutParametersGiveEPointer) {
    EXPECT_EQ(server->get_Started(nullptr), E_POINTER);
    EXPECT_EQ(server->get_DisableResponse(nullptr), E_POINTER);
    EXPECT_EQ(server->get_LogChangeCnt(nullptr), E_POINTER);
    EXPECT_EQ(server->get_NewMacCnt(nullptr), E_POINTER);
}

TEST_F(ResponderTest, ListedNodeAskingThreeTimesGetsThreeRepliesAndEntries) {
    Start();
    const auto request = MakeRequest(kListed);
    Deliver({request, request, request});

    const auto sent = platform->network->Sent();
    ASSERT_EQ(sent.size(), 3u);
    for (const auto& reply : sent) {
        EXPECT_EQ(reply.port, 68);
        EXPECT_EQ(reply.interfaceIndex, 7);  // out through the interface it came in on
        ASSERT_EQ(reply.bytes.size(), 300u);
        EXPECT_EQ(reply.bytes[0], 2);
        EXPECT_EQ(std::memcmp(&reply.bytes[16], "\xC0\x00\x02\x0A", 4), 0);
    }
    EXPECT_EQ(LogCount(), 3);
    const std::vector<LogRecord> texts = LogTexts();
    ASSERT_EQ(texts.size(), 3u);
    const LogRecord& entry = texts[0];
    EXPECT_STREQ(entry.message, "IP Address '192.0.2.10' assigned");
    EXPECT_STREQ(entry.timeStamp, "2001-09-09T01:46:40");
    EXPECT_EQ(entry.macAddr, kListed);
}

TEST_F(ResponderTest, DisabledResponseStillRecordsUnknownMaker) {
    Start();
    EXPECT_EQ(server->put_DisableResponse(7), S_OK);
    std::int32_t disable = 0;
    server->get_DisableResponse(&disable);
    EXPECT_EQ(disable, 7);

    Deliver({MakeRequest(kListed), MakeRequest(kUnknownMaker)});
    EXPECT_TRUE(platform->network->Sent().empty());
    EXPECT_EQ(LogCount(), 1);
    EXPECT_EQ(NewMacCount(), 1);
    EXPECT_STREQ(LogTexts()[0].message, "Unknown Quellmar MAC address found");
    std::lock_guard lock(server->m_lock);
    EXPECT_FALSE(server->m_newMacs.Contains(kListed));  // listed is never "unknown"
}

TEST_F(ResponderTest, UnknownMakerRecordedOnceOtherPrefixIgnored) {
    Start();
    Deliver({MakeRequest(kUnknownMaker), MakeRequest(kUnknownMaker), MakeRequest(kOtherMaker),
             MakeRequest(kOtherMakerByte1), MakeRequest(kOtherMakerByte2)});
    EXPECT_TRUE(platform->network->Sent().empty());
    EXPECT_EQ(NewMacCount(), 1);
    EXPECT_EQ(LogCount(), 1);
    std::lock_guard lock(server->m_lock);
    ASSERT_EQ(server->m_newMacs.Size(), 1u);
    EXPECT_EQ(server->m_newMacs.Records()[0].macAddr, kUnknownMaker);
    EXPECT_EQ(server->m_newMacs.Records()[0].ipAddr, 0u);
    EXPECT_EQ(server->m_logs.Records()[0].macAddr, kUnknownMaker);
}

TEST_F(ResponderTest, TwoRowsForOneAddressAnswerWithTheFirst) {
    server->m_nodes.Replace({{Addr(192, 0, 2, 20), kListed}, {Addr(192, 0, 2, 21), kListed}});
    Start();
    Deliver({MakeRequest(kListed)});
    const auto sent = platform->network->Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes[19], 20);
}

TEST_F(ResponderTest, WrongDatagramsAreSkippedAndTheLoopGoesOn) {
    Start();
    auto reply = MakeRequest(kListed);
    reply[0] = 2;
    auto shorter = MakeRequest(kListed);
    shorter.resize(299);
    auto longer = MakeRequest(kListed);
    longer.resize(301);
    std::vector<std::uint8_t> huge(600, 1);
    Deliver({{}, shorter, longer, huge, reply});
    EXPECT_TRUE(platform->network->Sent().empty());
    EXPECT_EQ(LogCount(), 0);
    EXPECT_EQ(Started(), 1);

    Deliver({MakeRequest(kListed)});  // still answering after all of them
    EXPECT_EQ(platform->network->Sent().size(), 1u);
}

TEST_F(ResponderTest, ReceiveErrorsAreSkippedUntilTheSocketIsGone) {
    Start();
    for (const int error : {EINTR, EIO, ENOBUFS, ECONNREFUSED}) {
        platform->network->DeliverError(error);
        ++delivered;
    }
    Deliver({MakeRequest(kListed)});
    EXPECT_EQ(platform->network->Sent().size(), 1u);

    // A descriptor that is no longer a socket ends the loop: nothing after
    // it is taken, and the stop still completes.
    platform->network->DeliverError(EBADF);
    platform->network->Deliver(MakeRequest(kListed));
    EXPECT_FALSE(
        platform->network->WaitUntilHandled(delivered + 2, std::chrono::milliseconds(200)));
    EXPECT_EQ(platform->network->Sent().size(), 1u);
    EXPECT_EQ(server->put_Started(0), S_OK);
    EXPECT_EQ(platform->network->openSockets, 0);
}

TEST_F(ResponderTest, TimeStampFollowsTheClockFromEntryToEntry) {
    Start();
    Deliver({MakeRequest(kListed)});
    platform->now += 1;
    Deliver({MakeRequest(kListed)});
    platform->now += 86400;
    Deliver({MakeRequest(kListed)});
    const std::vector<LogRecord> texts = LogTexts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_STREQ(texts[0].timeStamp, "2001-09-09T01:46:40");
    EXPECT_STREQ(texts[1].timeStamp, "2001-09-09T01:46:41");
    EXPECT_STREQ(texts[2].timeStamp, "2001-09-10T01:46:41");
}

TEST_F(ResponderTest, ReplyTheSocketCannotTakeIsCountedNotWaitedFor) {
    platform->network->sendError = EAGAIN;
    Start();
    Deliver({MakeRequest(kListed), MakeRequest(kListed)});
    EXPECT_TRUE(platform->network->Sent().empty());
    EXPECT_EQ(LogCount(), 2);  // the server answered; the network lost it
    {
        std::lock_guard lock(server->m_lock);
        EXPECT_EQ(server->m_unsentReplies, 2u);
    }
    platform->network->sendError = 0;
    Deliver({MakeRequest(kListed)});
    EXPECT_EQ(platform->network->Sent().size(), 1u);
}

TEST_F(ResponderTest, LogEntryHasEmptyStampWhenTimeCannotBeBrokenDown) {
    platform->failLocalTime = true;
    Start();
    Deliver({MakeRequest(kListed)});
    const std::vector<LogRecord> texts = LogTexts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_STREQ(texts[0].timeStamp, "");
}

TEST_F(ResponderTest, StartTwiceKeepsOneSocketAndOneReference) {
    Start();
    EXPECT_EQ(server->put_Started(5), S_OK);
    EXPECT_EQ(Started(), 1);
    EXPECT_FALSE(server->StartResponder());  // the running one is left alone
    EXPECT_EQ(platform->network->socketsOpened, 1);
    EXPECT_EQ(moduleLock.Count(), 1);
    Deliver({MakeRequest(kListed)});
    EXPECT_EQ(platform->network->Sent().size(), 1u);
}

TEST_F(ResponderTest, StopWhileStoppedChangesNothing) {
    EXPECT_EQ(server->put_Started(0), S_OK);
    EXPECT_EQ(Started(), 0);
    EXPECT_EQ(moduleLock.Count(), 0);
    EXPECT_EQ(platform->network->socketsOpened, 0);
}

TEST_F(ResponderTest, FailedOpenLeavesStartedZeroAndReportsSuccess) {
    platform->openError = EADDRINUSE;
    EXPECT_EQ(server->put_Started(1), S_OK);
    EXPECT_EQ(Started(), 0);
    EXPECT_EQ(moduleLock.Count(), 0);
}

TEST_F(ResponderTest, FailedThreadCreationClosesTheSocket) {
    platform->failThread = true;
    EXPECT_EQ(server->put_Started(1), S_OK);
    EXPECT_EQ(Started(), 0);
    EXPECT_EQ(platform->network->socketsOpened, 1);
    EXPECT_EQ(platform->network->openSockets, 0);
    EXPECT_EQ(moduleLock.Count(), 0);

    platform->failThread = false;  // and a later start works
    Start();
}

TEST_F(ResponderTest, StopAndStartKeepTableLogCountersAndDisableResponse) {
    Start();
    Deliver({MakeRequest(kListed), MakeRequest(kUnknownMaker)});
    server->put_DisableResponse(3);
    EXPECT_EQ(server->put_Started(0), S_OK);
    EXPECT_EQ(Started(), 0);
    EXPECT_EQ(platform->network->openSockets, 0);
    EXPECT_EQ(moduleLock.Count(), 0);

    Start();
    EXPECT_EQ(LogCount(), 2);
    EXPECT_EQ(NewMacCount(), 1);
    EXPECT_EQ(LogSize(), 2u);
    std::int32_t disable = 0;
    server->get_DisableResponse(&disable);
    EXPECT_EQ(disable, 3);
    std::lock_guard lock(server->m_lock);
    EXPECT_EQ(server->m_nodes.Size(), 1u);
    EXPECT_EQ(server->m_newMacs.Size(), 1u);
}

TEST_F(ResponderTest, RunningResponderHoldsOneLockUntilStopped) {
    Start();
    EXPECT_EQ(moduleLock.Count(), 1);
    server->put_Started(0);
    EXPECT_EQ(moduleLock.Count(), 0);
}

TEST_F(ResponderTest, DestructionWhileRunningStopsTheResponderAndReleasesItsLock) {
    Start();
    Deliver({MakeRequest(kListed)});
    server.reset();
    EXPECT_EQ(platform->network->openSockets, 0);
    EXPECT_EQ(moduleLock.Count(), 0);
}

TEST_F(ResponderTest, DestructionStopsAResponderStartedWithoutStarted) {
    ASSERT_TRUE(server->StartResponder());
    EXPECT_EQ(Started(), 0);
    Deliver({MakeRequest(kListed)});
    server.reset();  // a joinable thread left behind would end the process here
    EXPECT_EQ(platform->network->openSockets, 0);
    EXPECT_EQ(moduleLock.Count(), 0);
}

// Requests taken many to a receive: the same replies, through the same
// interfaces, and the same log as when they come one at a time.
class BatchedReceive : public ResponderTest {
protected:
    static constexpr MacAddress kSecond = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F};
    static constexpr MacAddress kOtherUnknown = {0x02, 0x4B, 0x77, 0x00, 0x00, 0x02};

    BatchedReceive() {
        server->m_nodes.Replace({{Addr(192, 0, 2, 10), kListed}, {Addr(192, 0, 2, 11), kSecond}});
    }

    // A mixed stream: answered, recorded, ignored and repeated, from
    // several interfaces.
    static std::vector<testing::FakeNetwork::Inbound> MixedStream() {
        auto shorter = MakeRequest(kListed, 3);
        shorter.resize(299);
        std::vector<std::uint8_t> huge(600, 1);
        return {{MakeRequest(kListed, 1), 0, 3},
                {MakeRequest(kUnknownMaker, 2), 0, 4},
                {shorter, 0, 3},
                {MakeRequest(kSecond, 4), 0, 5},
                {MakeRequest(kOtherMaker, 5), 0, 3},
                {huge, 0, 4},
                {MakeRequest(kListed, 6), 0, 5},
                {MakeRequest(kUnknownMaker, 7), 0, 3},
                {MakeRequest(kOtherUnknown, 8), 0, 4},
                {MakeRequest(kSecond, 9), 0, 3}};
    }

    // Queues them together; before Start, the first receive finds them all.
    void Queue(std::vector<testing::FakeNetwork::Inbound> datagrams) {
        delivered += datagrams.size();
        platform->network->DeliverAll(std::move(datagrams));
    }
    void StartAndWait() {
        Start();
        ASSERT_TRUE(platform->network->WaitUntilHandled(delivered));
    }
    static std::vector<testing::FakeNetwork::Inbound> Listed(std::uint32_t count) {
        std::vector<testing::FakeNetwork::Inbound> requests;
        for (std::uint32_t xid = 1; xid <= count; ++xid) {
            requests.push_back({MakeRequest(kListed, xid)});
        }
        return requests;
    }

    std::vector<std::string> LogLines() {
        std::vector<std::string> lines;
        for (const LogRecord& r : LogTexts()) {
            lines.push_back(std::string(r.timeStamp) + " " + std::to_string(MacKey(r.macAddr)) +
                            " " + r.message);
        }
        return lines;
    }

    std::vector<std::size_t> BatchSizes() {
        std::lock_guard lock(platform->network->mutex);
        return platform->network->batchSizes;
    }
    std::uint64_t Unsent() {
        std::lock_guard lock(server->m_lock);
        return server->m_unsentReplies;
    }
};

bool SameReplies(const std::vector<testing::SentReply>& a,
                 const std::vector<testing::SentReply>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.bytes == y.bytes && x.port == y.port && x.interfaceIndex == y.interfaceIndex;
    });
}

TEST_F(BatchedReceive, OneAtATimeAndAllAtOnceGiveTheSameRepliesAndLog) {
    platform->network->maxBatch = 1;
    Start();
    for (auto& datagram : MixedStream()) {
        Queue({datagram});
        ASSERT_TRUE(platform->network->WaitUntilHandled(delivered));
    }
    const auto singleReplies = platform->network->Sent();
    const auto singleLog = LogLines();
    const std::int32_t singleLogCount = LogCount();
    const std::int32_t singleNewMacCount = NewMacCount();
    EXPECT_EQ(BatchSizes(), std::vector<std::size_t>(MixedStream().size(), 1));

    // A second server, the whole stream queued before its first receive.
    auto batchedPlatform = std::make_shared<FakeResponderPlatform>();
    platform = batchedPlatform;
    server = std::make_unique<FyBootpServer>(ServerConfig{platform, reference.get()});
    server->m_nodes.Replace({{Addr(192, 0, 2, 10), kListed}, {Addr(192, 0, 2, 11), kSecond}});
    server->SetHostName("srv");
    server->m_ipAddr = Addr(192, 0, 2, 1);
    server->m_subnetMask = Addr(255, 255, 255, 0);
    server->m_defaultGateway = Addr(192, 0, 2, 254);
    delivered = 0;
    Queue(MixedStream());
    StartAndWait();

    EXPECT_EQ(BatchSizes(), std::vector<std::size_t>{MixedStream().size()});
    const auto batchedReplies = platform->network->Sent();
    ASSERT_EQ(batchedReplies.size(), 4u);
    EXPECT_TRUE(SameReplies(batchedReplies, singleReplies));
    EXPECT_EQ(batchedReplies[0].interfaceIndex, 3);  // each through its request's interface
    EXPECT_EQ(batchedReplies[1].interfaceIndex, 5);
    EXPECT_EQ(batchedReplies[2].interfaceIndex, 5);
    EXPECT_EQ(batchedReplies[3].interfaceIndex, 3);
    EXPECT_EQ(batchedReplies[3].bytes[7], 9);  // xid: arrival order kept
    EXPECT_EQ(LogLines(), singleLog);
    EXPECT_EQ(LogLines().size(), 6u);
    EXPECT_EQ(LogCount(), singleLogCount);
    EXPECT_EQ(NewMacCount(), singleNewMacCount);
    EXPECT_EQ(platform->network->sendCalls, 1u);  // one send for the batch
}

TEST_F(BatchedReceive, ASingleQueuedRequestIsAnsweredWithoutWaitingForMore) {
    Start();
    Deliver({MakeRequest(kListed)});
    EXPECT_EQ(platform->network->Sent().size(), 1u);
    EXPECT_EQ(BatchSizes(), std::vector<std::size_t>{1});
}

TEST_F(BatchedReceive, PartialBatchesAnswerEveryRequestInOrder) {
    platform->network->maxBatch = 3;
    Queue(Listed(8));
    StartAndWait();
    EXPECT_EQ(BatchSizes(), (std::vector<std::size_t>{3, 3, 2}));
    const auto sent = platform->network->Sent();
    ASSERT_EQ(sent.size(), 8u);
    for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i].bytes[7], i + 1);
    EXPECT_EQ(LogCount(), 8);
}

TEST_F(BatchedReceive, ErrorInsideABatchEndsItAndInterruptedReceivesAreRetried) {
    Queue({{MakeRequest(kListed, 1)},
           {MakeRequest(kListed, 2)},
           {{}, EIO},
           {MakeRequest(kListed, 3)},
           {{}, EINTR},
           {{}, EINTR},
           {MakeRequest(kListed, 4)}});
    StartAndWait();
    // The error is given by the receive after the one that took 1 and 2.
    EXPECT_EQ(BatchSizes(), (std::vector<std::size_t>{2, 1, 1}));
    const auto sent = platform->network->Sent();
    ASSERT_EQ(sent.size(), 4u);
    for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i].bytes[7], i + 1);
    EXPECT_EQ(Started(), 1);
}

TEST_F(BatchedReceive, SendStoppedPartWayGoesOnPastTheRefusedReply) {
    // Two go out, the third has no route, an interrupted call is tried
    // again, and the rest go out.
    platform->network->sendSteps = {{2, 0}, {0, ENETUNREACH}, {0, EINTR}};
    Queue(Listed(5));
    StartAndWait();
    const auto sent = platform->network->Sent();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[1].bytes[7], 2);
    EXPECT_EQ(sent[2].bytes[7], 4);
    EXPECT_EQ(Unsent(), 1u);
    EXPECT_EQ(platform->network->sendCalls, 4u);
    EXPECT_EQ(LogCount(), 5);  // every request was answered; one reply was lost
}

TEST_F(BatchedReceive, FullSendBufferDropsTheRestOfTheBatchAndTheNextBatchGoesOut) {
    platform->network->sendSteps = {{1, 0}, {0, EAGAIN}};
    Queue(Listed(4));
    StartAndWait();
    EXPECT_EQ(platform->network->Sent().size(), 1u);
    EXPECT_EQ(Unsent(), 3u);
    EXPECT_EQ(platform->network->sendCalls, 2u);  // not one call per refused reply
    EXPECT_EQ(LogCount(), 4);

    Deliver({MakeRequest(kListed, 5)});
    EXPECT_EQ(platform->network->Sent().size(), 2u);
}

// A receive thread that does not come back within the stop's wait: the stop
// reports the responder stopped, a new run gets its own stop flag and
// socket, and the object is not freed under the old thread's feet.
class TimedOutStopTest : public ResponderTest {
protected:
    TimedOutStopTest() {
        ServerConfig config{platform, reference.get()};
        config.stopWait = std::chrono::milliseconds(20);
        server = std::make_unique<FyBootpServer>(config);
        server->m_nodes.Replace({{Addr(192, 0, 2, 10), kListed}});
    }
};

TEST_F(TimedOutStopTest, ObjectOutlivesTheStuckThreadAndANewRunAnswers) {
    platform->network->HoldReceivers();
    Start();
    EXPECT_EQ(server->put_Started(0), S_OK);  // gives up waiting after 20 ms
    EXPECT_EQ(Started(), 0);
    EXPECT_EQ(moduleLock.Count(), 0);

    Start();  // the stuck thread's flag stays set, the new run's is clear
    EXPECT_EQ(platform->network->socketsOpened, 2);
    platform->network->ReleaseReceivers();  // the old thread ends on its own flag
    Deliver({MakeRequest(kListed)});
    EXPECT_EQ(platform->network->Sent().size(), 1u);
    EXPECT_EQ(server->put_Started(0), S_OK);

    // Stuck again: the destructor must wait for the thread, which still
    // reads the table and the lock, and free nothing before it has ended.
    Start();
    platform->network->HoldReceivers();
    EXPECT_EQ(server->put_Started(0), S_OK);
    auto destroyed = std::async(std::launch::async, [&] { server.reset(); });
    EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    platform->network->Deliver(MakeRequest(kListed));  // handled by nobody: the run stopped
    platform->network->ReleaseReceivers();
    destroyed.get();
    EXPECT_EQ(platform->network->openSockets, 0);
    EXPECT_EQ(platform->network->Sent().size(), 1u);
}

TEST(ResponderLimits, FloodOfUnknownAddressesStopsAtTheListLimit) {
    auto platform = std::make_shared<FakeResponderPlatform>();
    ServerConfig config;
    config.platform = platform;
    config.newMacLimit = 4;
    config.logLimit = 3;
    FyBootpServer server(config);
    struct : ReplySink {
        void Send(const bootp::Message&) override {}
    } replies;
    std::lock_guard lock(server.m_lock);
    for (std::uint8_t i = 0; i < 10; ++i) {
        server.HandleDatagram(MakeRequest({0x02, 0x4B, 0x77, 0, 0, i}), replies);
    }
    EXPECT_EQ(server.m_newMacs.Size(), 4u);
    EXPECT_EQ(server.m_newMacCnt, 4);  // only real changes count
    EXPECT_EQ(server.m_logChangeCnt, 4);
    EXPECT_EQ(server.m_logs.Size(), 3u);  // oldest dropped
    EXPECT_EQ(server.m_logs.Records()[0].macAddr[5], 1);
}

TEST(ServerConstruction, FailedStartupLoadFailsWithItsStatus) {
    std::unique_ptr<FyBootpServer> server;
    ServerConfig config;
    config.platform = std::make_shared<FakeResponderPlatform>();
    const HRESULT hr = ConstructServer(
        server, [](FyBootpServer&) { return E_OUTOFMEMORY; }, config);
    EXPECT_EQ(hr, E_OUTOFMEMORY);
    EXPECT_EQ(server, nullptr);

    EXPECT_EQ(ConstructServer(
                  server,
                  [](FyBootpServer& s) {
                      s.SetHostName("loaded");
                      return S_OK;
                  },
                  config),
              S_OK);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->HostName(), "loaded");
}

}  // namespace
}  // namespace fybootp
