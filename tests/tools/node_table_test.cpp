// fybootp-web's copy of the node table: which rows a page shows, and when
// the table is read from the server again, with and without the reader
// thread.

#include "tools/web/node_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/node_table_text.h"
#include "tests/tools/fuzz/server_stand_in.h"
#include "tools/client/client_failure.h"

namespace fybootp::web {
namespace {

using namespace std::chrono_literals;

std::string NodesText(std::uint8_t count) { return testing::TableWith(1, count); }

std::vector<std::string> Macs(const NodeTable& table, const NodePage& page) {
    std::vector<std::string> macs;
    for (const std::size_t i : page.rows) macs.push_back(table.displayMacs[i]);
    return macs;
}

TEST(NodePages, FilterAndPagingPickTheRowsInTheServersOrder) {
    testing::ServerStandIn server;
    server.SetNodes(NodesText(20));
    NodeTableCache cache(1h);
    const auto table = cache.Get(server);
    ASSERT_EQ(table->rows.size(), 20u);
    struct Case {
        const char* filter;
        std::size_t offset, limit, matched;
        std::vector<std::string> macs;
    };
    const Case cases[] = {
        {"", 0, 2, 20, {"02:4B:77:00:00:01", "02:4B:77:00:00:02"}},
        {"", 18, 50, 20, {"02:4B:77:00:00:13", "02:4B:77:00:00:14"}},
        {"", 20, 50, 20, {}},
        // Every form of a MAC an operator types finds the row.
        {"00:0a", 0, 50, 1, {"02:4B:77:00:00:0A"}},
        {"00-0A", 0, 50, 1, {"02:4B:77:00:00:0A"}},
        {"7700000a", 0, 50, 1, {"02:4B:77:00:00:0A"}},
        // An address is matched as text: 192.0.2.1 is also part of .10-.19.
        {"192.0.2.1", 0, 3, 11, {"02:4B:77:00:00:01", "02:4B:77:00:00:0A", "02:4B:77:00:00:0B"}},
        {"192.0.2.1", 10, 3, 11, {"02:4B:77:00:00:13"}},
        {"198.51", 0, 50, 0, {}},
    };
    for (const Case& c : cases) {
        const NodePage page = SelectNodes(*table, c.filter, c.offset, c.limit);
        EXPECT_EQ(page.total, 20u) << c.filter;
        EXPECT_EQ(page.matched, c.matched) << c.filter << " from " << c.offset;
        EXPECT_EQ(Macs(*table, page), c.macs) << c.filter << " from " << c.offset;
    }
}

TEST(NodeTableReads, WithoutTheReaderAStaleOrFailedTableIsReadOnTheNextGet) {
    testing::ServerStandIn server;
    NodeTableCache cache(1h);
    EXPECT_EQ(cache.Get(server)->rows.size(), 2u);
    EXPECT_EQ(cache.Get(server)->rows.size(), 2u);
    EXPECT_EQ(server.nodeReads, 1) << "a fresh table is not read again";

    server.SetNodes(NodesText(3));
    cache.MarkStale();
    EXPECT_EQ(cache.Get(server)->rows.size(), 3u);
    EXPECT_EQ(server.nodeReads, 2);

    // A read that fails is the caller's failure, and leaves the table to be
    // read again rather than taken as fresh.
    server.failNodeReads = true;
    EXPECT_THROW(cache.Refresh(server), tools::Failure);
    server.failNodeReads = false;
    server.SetNodes(NodesText(4));
    EXPECT_EQ(cache.Get(server)->rows.size(), 4u);
    EXPECT_EQ(server.nodeReads, 4);
}

TEST(NodeTableReads, TheReaderAnswersFromTheOldTableAndTellsOnlyOfADifferentOne) {
    testing::ServerStandIn server;
    std::atomic<int> told{0};
    NodeTableCache cache(1h);
    ASSERT_TRUE(cache.StartBackgroundReads(server, [&told] { ++told; }));
    // The first read happens at the start, in the background, and differs
    // from having none.
    for (int i = 0; i < 300 && told == 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(told, 1);
    EXPECT_EQ(cache.Get(server)->rows.size(), 2u);

    // Stale but the same: read again, nobody told.
    cache.MarkStale();
    EXPECT_EQ(cache.Get(server)->rows.size(), 2u);
    for (int i = 0; i < 300 && server.nodeReads < 2; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(server.nodeReads, 2);
    EXPECT_EQ(told, 1);

    // Stale and changed: the request gets the old table at once, the
    // reader fetches the new one and says so.
    server.SetNodes(NodesText(5));
    cache.MarkStale();
    EXPECT_EQ(cache.Get(server)->rows.size(), 2u);
    for (int i = 0; i < 300 && told == 1; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(told, 2);
    EXPECT_EQ(cache.Get(server)->rows.size(), 5u);
}

}  // namespace
}  // namespace fybootp::web
