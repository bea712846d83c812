// The log and the new-address list stay within their limits, and the change
// counters wrap without undefined behaviour.

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "core/fy_bootp_server.h"
#include "core/log_list.h"
#include "core/log_time.h"
#include "core/new_mac_list.h"
#include "core/node_table.h"

namespace fybootp {
namespace {

MacAddress Mac(std::uint8_t last) { return {0x02, 0x4B, 0x77, 0, 0, last}; }

TEST(LogLimit, FullLogDropsOldestFirst) {
    LogList log(3);
    for (std::uint8_t i = 0; i < 5; ++i) {
        LogEntry entry;
        entry.macAddr = Mac(i);
        log.Append(entry);
    }
    ASSERT_EQ(log.Size(), 3u);
    EXPECT_EQ(log.Records().front().macAddr, Mac(2));
    EXPECT_EQ(log.Records().back().macAddr, Mac(4));
    EXPECT_EQ(log.Dropped(), 2u);
    log.Clear();
    EXPECT_EQ(log.Size(), 0u);
}

TEST(NewMacLimit, FullListIgnoresFurtherNewAddresses) {
    NewMacList list(2);
    EXPECT_EQ(list.AppendIfNew(Mac(1)), NewMacList::AppendResult::kAppended);
    EXPECT_EQ(list.AppendIfNew(Mac(1)), NewMacList::AppendResult::kAlreadyListed);
    EXPECT_EQ(list.AppendIfNew(Mac(2)), NewMacList::AppendResult::kAppended);
    EXPECT_EQ(list.AppendIfNew(Mac(3)), NewMacList::AppendResult::kFull);
    EXPECT_FALSE(list.Contains(Mac(3)));
    EXPECT_EQ(list.Records()[0].ipAddr, 0u);

    EXPECT_TRUE(list.RemoveFirst(Mac(1)));
    EXPECT_FALSE(list.RemoveFirst(Mac(1)));
    EXPECT_EQ(list.AppendIfNew(Mac(3)), NewMacList::AppendResult::kAppended);
    ASSERT_EQ(list.Size(), 2u);
    EXPECT_EQ(list.Records()[0].macAddr, Mac(2));  // order first seen
    EXPECT_EQ(list.Records()[1].macAddr, Mac(3));
}

TEST(NewMacLimit, RemovingListedAddressesKeepsTheRestInOrder) {
    NewMacList list;
    for (std::uint8_t i = 0; i < 6; ++i) list.AppendIfNew(Mac(i));
    NodeTable table;
    table.Replace({{0, Mac(1)}, {0, Mac(4)}, {0, Mac(4)}, {0, Mac(9)}});
    EXPECT_EQ(list.RemoveListedIn(table), 2u);
    ASSERT_EQ(list.Size(), 4u);
    EXPECT_EQ(list.Records()[1].macAddr, Mac(2));
    EXPECT_EQ(list.Records()[3].macAddr, Mac(5));
    EXPECT_FALSE(list.Contains(Mac(4)));
}

TEST(ChangeCounters, WrapFromMaximumToMinimum) {
    std::int32_t counter = INT32_MAX;
    FyBootpServer::BumpCounter(counter);
    EXPECT_EQ(counter, INT32_MIN);
    FyBootpServer::BumpCounter(counter);
    EXPECT_EQ(counter, INT32_MIN + 1);
    counter = -1;
    FyBootpServer::BumpCounter(counter);
    EXPECT_EQ(counter, 0);
}

TEST(TimeStamps, LocalTimeIsWrittenWithoutLeadingZeroYear) {
    std::tm local{};
    local.tm_year = 101;
    local.tm_mon = 4;
    local.tm_mday = 17;
    local.tm_hour = 8;
    local.tm_min = 3;
    local.tm_sec = 9;
    char stamp[kTimeStampSize];
    FormatTimeStamp(local, stamp);
    EXPECT_STREQ(stamp, "2001-05-17T08:03:09");

    FormatTimeStamp(std::nullopt, stamp);
    EXPECT_STREQ(stamp, "");

    local.tm_year = INT_MAX;  // an absurd year is cut to the field, never overruns it
    FormatTimeStamp(local, stamp);
    EXPECT_LT(std::strlen(stamp), kTimeStampSize);
}

TEST(HostName, CutToNinetyNineBytesWithoutSplittingACharacter) {
    FyBootpServer server;
    server.SetHostName(std::string(120, 'a'));
    EXPECT_EQ(server.HostName(), std::string(99, 'a'));

    // 98 ASCII bytes and then "é" (2 bytes): byte 99 would split it.
    server.SetHostName(std::string(98, 'a') + "\xC3\xA9" + "b");
    EXPECT_EQ(server.HostName(), std::string(98, 'a'));

    server.SetHostName("host1");
    EXPECT_EQ(server.HostName(), "host1");
}

}  // namespace
}  // namespace fybootp
