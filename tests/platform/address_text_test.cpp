// Address text forms as the classic socket library reads and writes them.

#include "platform/net/address_text.h"

#include <gtest/gtest.h>

#include <cstring>

namespace fybootp::net {
namespace {

std::uint32_t Net(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    const std::uint8_t bytes[4] = {a, b, c, d};
    std::uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value;
}

TEST(AddressText, AcceptsOneToFourPartsInDecimalOctalAndHex) {
    EXPECT_EQ(InetAddr("192.0.2.10"), Net(192, 0, 2, 10));
    EXPECT_EQ(InetAddr("010.0.0.1"), Net(8, 0, 0, 1));     // leading 0: octal
    EXPECT_EQ(InetAddr("0x0A.1"), Net(10, 0, 0, 1));       // last part fills 24 bits
    EXPECT_EQ(InetAddr("192.0.522"), Net(192, 0, 2, 10));  // last part fills 16 bits
    EXPECT_EQ(InetAddr("3221226058"), Net(192, 0, 2, 74));
}

TEST(AddressText, RejectedTextGivesAllOnes) {
    for (const char* text : {"10.0.0.300", "abc", "", "1.2.3.4.5", "08.0.0.1", "192.0.2.x"}) {
        EXPECT_EQ(InetAddr(text), kInaddrNone) << text;
    }
    // A text with an embedded NUL is read up to it, as the C interface does.
    EXPECT_EQ(InetAddr(std::string_view("192.0.2.1\0junk", 14)), Net(192, 0, 2, 1));
}

TEST(AddressText, WritesDottedDecimalWithoutLeadingZeros) {
    EXPECT_EQ(InetNtoa(Net(192, 0, 2, 1)), "192.0.2.1");
    EXPECT_EQ(InetNtoa(Net(0, 0, 0, 0)), "0.0.0.0");
    EXPECT_EQ(InetNtoa(kInaddrNone), "255.255.255.255");
    char text[16];
    EXPECT_EQ(InetNtoa(Net(198, 51, 100, 254), text), 14u);
    EXPECT_STREQ(text, "198.51.100.254");
}

}  // namespace
}  // namespace fybootp::net
