// The node table as CSV, as fybootpctl and the web page read and write it.
#include "tools/client/node_csv.h"

#include <gtest/gtest.h>

namespace fybootp::tools {
namespace {

using Rows = std::vector<std::pair<std::string, std::string>>;  // MAC, IP

Rows Pairs(const std::vector<NodeRow>& rows) {
    Rows pairs;
    for (const NodeRow& row : rows) pairs.emplace_back(row.macAddr, row.ipAddr);
    return pairs;
}

TEST(NodeCsv, WhatSpreadsheetsSaveIsRead) {
    const Rows two{{"024B77000001", "192.0.2.10"}, {"024B770000AB", "192.0.2.11"}};
    const std::pair<const char*, std::string> cases[] = {
        {"as written", "mac,ip\n02:4B:77:00:00:01,192.0.2.10\n02:4B:77:00:00:AB,192.0.2.11\n"},
        {"no header, other MAC forms, no final newline",
         "02-4b-77-00-00-01,192.0.2.10\n024b770000ab,192.0.2.11"},
        {"semicolons, CRLF, BOM, quotes, blanks, empty rows",
         "\xEF\xBB\xBFMAC;IP\r\n\r\n\"02:4B:77:00:00:01\" ; 192.0.2.10\r\n;\r\n"
         "02:4B:77:00:00:AB;\"192.0.2.11\"\r\n"},
        {"header in the other order with a column of notes",
         "ip,note,mac\n192.0.2.10,\"hall 2, \"\"left\"\"\",02:4B:77:00:00:01\n"
         "192.0.2.11,,02:4B:77:00:00:AB\n"},
        {"lone CRs, trailing empty fields",
         "mac,ip\r02:4B:77:00:00:01,192.0.2.10,,\r"
         "02:4B:77:00:00:AB,192.0.2.11\r"},
    };
    for (const auto& [name, text] : cases) {
        std::vector<std::string> faults;
        const auto rows = ReadNodesCsv(text, &faults);
        ASSERT_TRUE(rows.has_value()) << name << ": " << ::testing::PrintToString(faults);
        EXPECT_EQ(Pairs(*rows), two) << name;
    }
    std::vector<std::string> faults;
    EXPECT_EQ(ReadNodesCsv("mac,ip\n", &faults)->size(), 0u);  // the empty table
}

TEST(NodeCsv, EveryFaultyLineIsNamedAndNoRowIsGiven) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"mac,ip\n02:4b:77:00:00:01,192.0.2.10\n02:4b:77:00:00:02,192.0.2.300\n",
         {"line 3: 192.0.2.300: part 4 is over 255"}},
        {"02:4b:77:00:00:01,192.0.2.10\n\n02-4B-77-00-00-02,192.0.2.11\n024B77000001,192.0.2.12\n",
         {"line 4 repeats the MAC of line 1 (02:4B:77:00:00:01)"}},
        {"02:4b:77:00:00,192.0.2.10\n02:4b:77:00:00:02\n,192.0.2.1\n02:4b:77:00:00:03,\n",
         {"line 1: 02:4b:77:00:00: expected 6 bytes as 02:4b:77:00:00:01, 02-4B-77-00-00-01 or "
          "024b77000001",
          "line 2: expected a MAC and an IP address separated by ','", "line 3: the MAC is missing",
          "line 4: the IP address is missing"}},
        {"02:4b:77:00:00:01;192.0.2.10;x\n\"02:4b:77:00:00:02;192.0.2.11\n"
         "\"02:4b:77:00:00:03\"x;192.0.2.12\n",
         {"line 1: more fields than a MAC and an IP address",
          "line 2: a quoted field is not closed", "line 3: text after a closing quote"}},
        {"mac,ip,note\n02:4b:77:00:00:01\n02:4b:77:00:00:02,192.0.2.11,a,b\n",
         {"line 2: fewer fields than the header names",
          "line 3: more fields than the header names"}},
        {"", {"the file is empty: not even the header line mac,ip"}},
        {std::string(50, 'x') + ",192.0.2.1\n",
         {"line 1: " + std::string(40, 'x') +
          "...: expected 6 bytes as 02:4b:77:00:00:01, "
          "02-4B-77-00-00-01 or 024b77000001"}},
    };
    for (const auto& [text, expected] : cases) {
        std::vector<std::string> faults;
        EXPECT_FALSE(ReadNodesCsv(text, &faults).has_value()) << text;
        EXPECT_EQ(faults, expected) << text;
    }
    std::string many;
    for (int i = 0; i < 25; ++i) many += "02:4b:77:00:00:01,192.0.2.999\n";
    std::vector<std::string> faults;
    EXPECT_FALSE(ReadNodesCsv(many, &faults).has_value());
    ASSERT_EQ(faults.size(), kMaxCsvFaults + 1);
    EXPECT_EQ(faults.back(), "... and 15 more faulty lines");
}

TEST(NodeCsv, WhatIsWrittenReadsBackTheSame) {
    const std::vector<NodeRow> rows{{"192.0.2.10", "024B77000001"},
                                    {"198.51.100.7", "024B770000FF"}};
    const std::string csv = NodesCsv(rows);
    EXPECT_EQ(csv, "mac,ip\n02:4B:77:00:00:01,192.0.2.10\n02:4B:77:00:00:FF,198.51.100.7\n");
    std::vector<std::string> faults;
    EXPECT_EQ(Pairs(*ReadNodesCsv(csv, &faults)), Pairs(rows));
    EXPECT_EQ(NodesCsv({}), "mac,ip\n");
}

}  // namespace
}  // namespace fybootp::tools
