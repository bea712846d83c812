// The node table's index must always give what a scan in table order gives.

#include "core/node_table.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <random>

#include "tests/support/failing_allocator.h"

namespace fybootp {
namespace {

const BootpNode* Scan(const std::vector<BootpNode>& rows, const MacAddress& mac) {
    for (const BootpNode& row : rows) {
        if (row.macAddr == mac) return &row;
    }
    return nullptr;
}

MacAddress Mac(std::uint8_t last, std::uint8_t prefix = 0x02) {
    return {prefix, 0x4B, 0x77, 0, 0, last};
}

TEST(NodeTableLookup, DuplicateAddressGivesFirstRowInTableOrder) {
    NodeTable table;
    table.Replace({{1, Mac(1)}, {2, Mac(2)}, {3, Mac(1)}});
    ASSERT_NE(table.FindFirst(Mac(1)), nullptr);
    EXPECT_EQ(table.FindFirst(Mac(1))->ipAddr, 1u);

    table.Append({4, Mac(2)});  // an appended duplicate never wins
    EXPECT_EQ(table.FindFirst(Mac(2))->ipAddr, 2u);

    table.Erase(0);  // the second row of the address takes over
    EXPECT_EQ(table.FindFirst(Mac(1))->ipAddr, 3u);

    table.Assign(1, {5, Mac(9)});  // the row at 1 was Mac(1)/3, the only one left
    EXPECT_EQ(table.FindFirst(Mac(1)), nullptr);
    EXPECT_EQ(table.FindFirst(Mac(9))->ipAddr, 5u);

    table.Assign(0, {6, Mac(2)});  // same address, new IP: found in place
    EXPECT_EQ(table.FindFirst(Mac(2))->ipAddr, 6u);
    EXPECT_EQ(table.FirstAddressOf(Mac(2)), 6u);

    table.Clear();
    EXPECT_EQ(table.FindFirst(Mac(2)), nullptr);
}

TEST(NodeTableLookup, AgreesWithScanUnderRandomChanges) {
    std::mt19937 random(20261207);
    NodeTable table;
    std::vector<BootpNode> model;
    auto anyMac = [&] { return Mac(static_cast<std::uint8_t>(random() % 40)); };
    for (int step = 0; step < 4000; ++step) {
        switch (random() % 5) {
            case 0: {
                std::vector<BootpNode> rows(random() % 30);
                for (auto& r : rows) r = {static_cast<Ipv4Address>(random()), anyMac()};
                model = rows;
                table.Replace(rows);
                break;
            }
            case 1:
            case 2: {
                const BootpNode row{static_cast<Ipv4Address>(random()), anyMac()};
                model.push_back(row);
                table.Append(row);
                break;
            }
            case 3:
                if (!model.empty()) {
                    const std::size_t at = random() % model.size();
                    model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
                    table.Erase(at);
                }
                break;
            default:
                if (!model.empty()) {
                    const std::size_t at = random() % model.size();
                    const BootpNode row{static_cast<Ipv4Address>(random()), anyMac()};
                    model[at] = row;
                    table.Assign(at, row);
                }
        }
        ASSERT_EQ(table.Rows().size(), model.size());
        for (std::uint8_t last = 0; last < 40; ++last) {
            const BootpNode* expected = Scan(model, Mac(last));
            const BootpNode* found = table.FindFirst(Mac(last));
            ASSERT_EQ(found == nullptr, expected == nullptr) << "step " << step;
            if (found) {
                ASSERT_EQ(found - table.Rows().data(), expected - model.data()) << "step " << step;
                // The request path reads the address from the index alone.
                ASSERT_EQ(table.FirstAddressOf(Mac(last)), expected->ipAddr) << "step " << step;
            } else {
                ASSERT_FALSE(table.FirstAddressOf(Mac(last)).has_value());
            }
        }
    }
}

TEST(NodeTableLookup, LargeTableFindsEveryRow) {
    std::vector<BootpNode> rows;
    for (std::uint32_t i = 0; i < 200000; ++i) {
        rows.push_back({i,
                        {0x02, 0, static_cast<std::uint8_t>(i >> 16),
                         static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i), 0}});
    }
    NodeTable table;
    table.Replace(rows);
    for (std::uint32_t i = 0; i < 200000; i += 7) {
        ASSERT_EQ(table.FindFirst(rows[i].macAddr)->ipAddr, i);
        ASSERT_EQ(table.FirstAddressOf(rows[i].macAddr), i);
    }
    EXPECT_EQ(table.FindFirst({0x02, 0, 0xFF, 0xFF, 0xFF, 0}), nullptr);
}

// Every change, with each of its allocations failing in turn: the change
// throws and the table answers exactly as before, or it completes.
TEST(NodeTableLookup, ChangeThatRunsOutOfMemoryLeavesTableAsItWas) {
    std::vector<BootpNode> rows;
    for (std::uint8_t i = 0; i < 8; ++i) rows.push_back({i, Mac(i)});
    rows.push_back({99, Mac(3)});  // a later duplicate: the first row wins

    const std::vector<std::function<void(NodeTable&)>> changes = {
        [](NodeTable& t) { t.Append({50, Mac(50)}); },  // grows the index past 16 slots
        [](NodeTable& t) { t.Assign(1, {51, Mac(51)}); },
        [](NodeTable& t) { t.Erase(3); },                // hands Mac(3) on to the last row
        [](NodeTable& t) { t.Replace({{52, Mac(52)}}); },
    };
    std::size_t failures = 0;
    for (const auto& change : changes) {
        for (std::size_t nth = 1;; ++nth) {
            NodeTable table;
            table.Replace(rows);
            for (std::uint8_t i = 8; i < 16; ++i) table.Append({i, Mac(i)});  // index full to half
            const std::vector<BootpNode> before = table.Rows();
            testing::FailingAllocations failing(nth);
            try {
                change(table);
            } catch (const std::bad_alloc&) {
                ++failures;
                ASSERT_EQ(table.Rows(), before);
                for (std::uint16_t last = 0; last < 256; ++last) {
                    const MacAddress mac = Mac(static_cast<std::uint8_t>(last));
                    ASSERT_EQ(table.FindFirst(mac), Scan(table.Rows(), mac));
                }
                continue;
            }
            ASSERT_FALSE(failing.Triggered());
            break;
        }
    }
    EXPECT_GE(failures, changes.size());  // every change allocates at least once
}

}  // namespace
}  // namespace fybootp
