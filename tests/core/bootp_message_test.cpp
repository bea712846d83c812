// The wire format: which datagrams are requests, and the reply byte for byte.

#include "core/bootp_message.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/bootp_test_messages.h"

namespace fybootp::bootp {
namespace {

using fybootp::testing::Addr;
using fybootp::testing::MakeRequest;

const MacAddress kMac = {0x02, 0x4B, 0x77, 0x10, 0x20, 0x30};

Message Reply(const std::vector<std::uint8_t>& request, const ReplyIdentity& identity,
              Ipv4Address yours) {
    Message out;
    out.fill(0xEE);  // a reply must not depend on what the buffer held
    BuildReply(std::span<const std::uint8_t, kMessageSize>(request.data(), kMessageSize), yours,
               identity, out);
    return out;
}

TEST(RequestRecognition, OnlyThreeHundredByteBootRequestsCount) {
    auto request = MakeRequest(kMac);
    EXPECT_TRUE(IsBootRequest(request));

    auto shorter = request;
    shorter.pop_back();
    EXPECT_FALSE(IsBootRequest(shorter));
    auto longer = request;
    longer.push_back(0);
    EXPECT_FALSE(IsBootRequest(longer));
    EXPECT_FALSE(IsBootRequest({}));

    auto reply = request;
    reply[0] = 2;
    EXPECT_FALSE(IsBootRequest(reply));
}

TEST(RequestRecognition, HardwareAddressIsChaddrHeadWhateverHtypeAndHlenSay) {
    auto request = MakeRequest(kMac);
    request[1] = 6;   // IEEE 802
    request[2] = 16;  // longer hardware address
    ASSERT_TRUE(IsBootRequest(request));
    EXPECT_EQ(ClientHardwareAddress(
                  std::span<const std::uint8_t, kMessageSize>(request.data(), kMessageSize)),
              kMac);
}

// The golden reply: written out from the BOOTP header of RFC 951 and the
// vendor area of RFC 1497, for xid 11223344, secs 0102, a request whose
// flags field and chaddr tail carry non-zero bytes, and whose hops, ciaddr,
// giaddr, sname and file are filled too: none of them reaches the reply.
TEST(ReplyLayout, MatchesGoldenVectorByteForByte) {
    auto request = MakeRequest(kMac, 0x11223344, 0x0102);
    request[3] = 4;                                                 // hops
    std::fill_n(request.begin() + 12, 4, std::uint8_t{198});        // ciaddr
    std::fill_n(request.begin() + 24, 4, std::uint8_t{51});         // giaddr
    std::fill_n(request.begin() + kSnameOffset, 64, std::uint8_t{'s'});
    std::fill_n(request.begin() + kFileOffset, 128, std::uint8_t{'f'});
    const ReplyIdentity identity{"srv", Addr(192, 0, 2, 1), Addr(255, 255, 255, 0),
                                 Addr(192, 0, 2, 254)};
    const Message reply = Reply(request, identity, Addr(192, 0, 2, 10));

    Message golden{};
    const std::uint8_t header[] = {
        2,    1,    6,    0,     // op BOOTREPLY, htype Ethernet, hlen 6, hops 0
        0x11, 0x22, 0x33, 0x44,  // xid echoed
        0x01, 0x02, 0x00, 0x00,  // secs echoed; the unused field 0 although the request had 0x8000
        0,    0,    0,    0,     // ciaddr
        192,  0,    2,    10,    // yiaddr: the node's address
        192,  0,    2,    1,     // siaddr: the server's address
        0,    0,    0,    0,     // giaddr
        0x02, 0x4B, 0x77, 0x10, 0x20, 0x30,                          // chaddr 0-5
        0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF,  // chaddr 6-15 echoed
        's',  'r',  'v'};  // sname, NUL-terminated, rest 0
    std::copy(std::begin(header), std::end(header), golden.begin());
    const std::uint8_t vend[] = {99, 130, 83,  99,             // magic cookie
                                 1,  4,   255, 255, 255, 0,    // subnet mask
                                 3,  4,   192, 0,   2,   254,  // router
                                 255};                         // end; padding 0 to byte 299
    std::copy(std::begin(vend), std::end(vend), golden.begin() + 236);

    for (std::size_t i = 0; i < kMessageSize; ++i) {
        EXPECT_EQ(reply[i], golden[i]) << "byte " << i;
    }
}

TEST(ReplyLayout, ZeroMaskAndGatewayStillSendBothOptions) {
    const auto request = MakeRequest(kMac);
    const Message reply = Reply(request, ReplyIdentity{"", 0, 0, 0}, Addr(192, 0, 2, 10));
    const std::uint8_t expected[] = {99, 130, 83, 99, 1, 4, 0, 0, 0, 0, 3, 4, 0, 0, 0, 0, 255};
    for (std::size_t i = 0; i < sizeof(expected); ++i) {
        EXPECT_EQ(reply[236 + i], expected[i]) << "byte " << 236 + i;
    }
    for (std::size_t i = 253; i < kMessageSize; ++i) EXPECT_EQ(reply[i], 0) << "byte " << i;
    for (std::size_t i = kSnameOffset; i < kVendOffset; ++i) EXPECT_EQ(reply[i], 0) << "byte " << i;
}

TEST(ReplyLayout, HostNameFillsSnameUpToItsTerminator) {
    const auto request = MakeRequest(kMac);
    const std::string name63(63, 'h');
    const Message exact = Reply(request, ReplyIdentity{name63, 0, 0, 0}, 0);
    for (std::size_t i = 0; i < 63; ++i) EXPECT_EQ(exact[kSnameOffset + i], 'h');
    EXPECT_EQ(exact[kSnameOffset + 63], 0);  // the field's last byte is the NUL
    EXPECT_EQ(exact[kFileOffset], 0);

    std::string name64 = name63 + "X";
    const Message cut = Reply(request, ReplyIdentity{name64, 0, 0, 0}, 0);
    EXPECT_EQ(cut, exact);  // cut to 63 characters, nothing spills into file
}

TEST(ReplyLayout, SnameCutNeverSendsPartOfACharacter) {
    const auto request = MakeRequest(kMac);
    const std::string name62(62, 'h');
    // "\xC3\xA9" is one character (e acute): its lead byte alone would fit.
    const Message cut = Reply(request, ReplyIdentity{name62 + "\xC3\xA9", 0, 0, 0}, 0);
    const Message plain = Reply(request, ReplyIdentity{name62, 0, 0, 0}, 0);
    EXPECT_EQ(cut, plain);
    EXPECT_EQ(cut[kSnameOffset + 62], 0);

    const std::string name61(61, 'h');
    const Message whole = Reply(request, ReplyIdentity{name61 + "\xC3\xA9", 0, 0, 0}, 0);
    EXPECT_EQ(whole[kSnameOffset + 61], 0xC3);
    EXPECT_EQ(whole[kSnameOffset + 62], 0xA9);
    EXPECT_EQ(whole[kSnameOffset + 63], 0);
}

}  // namespace
}  // namespace fybootp::bootp
