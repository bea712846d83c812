// The put against a running receive thread: the thread never sees the new
// table while one of its addresses is still listed as new, and every change
// happens under m_lock (ThreadSanitizer checks the latter in the tsan
// preset).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "document/node_table_exchange.h"
#include "tests/document/document_test_support.h"
#include "tests/support/bootp_test_messages.h"
#include "tests/support/node_table_text.h"

namespace fybootp {
namespace {

using namespace std::chrono_literals;

class CountingSink final : public ReplySink {
public:
    void Send(const bootp::Message&) override { ++replies; }
    int replies = 0;
};

MacAddress MakerAddress(std::uint8_t i) { return {0x02, 0x4B, 0x77, 0x00, 0x00, i}; }

using testing::TableWith;

class PutAgainstReceiveThread : public testing::InfoFileTest {};

TEST_F(PutAgainstReceiveThread, NoRequestSeesANewTableBesideItsAddressesStillListedAsNew) {
    FyBootpServer server;
    std::atomic<bool> stop{false};
    std::atomic<int> inconsistencies{0};
    std::atomic<int> handled{0};
    std::thread receiver([&] {
        CountingSink sink;
        const auto end = std::chrono::steady_clock::now() + 20s;
        for (std::uint8_t i = 0; !stop && std::chrono::steady_clock::now() < end;
             i = static_cast<std::uint8_t>((i + 1) % 32)) {
            const std::vector<std::uint8_t> request = testing::MakeRequest(MakerAddress(i));
            std::lock_guard lock(server.m_lock);
            server.HandleDatagram(request, sink);
            for (const NewMacRecord& record : server.m_newMacs.Records()) {
                if (server.m_nodes.FindFirst(record.macAddr) != nullptr) ++inconsistencies;
            }
            ++handled;
        }
    });
    for (int round = 0; round < 200; ++round) {
        const auto first = static_cast<std::uint8_t>((round * 7) % 24);
        ASSERT_EQ(put_BootpInfosXml(server, TableWith(first, 8)), S_OK);
    }
    while (handled < 100) std::this_thread::sleep_for(1ms);
    stop = true;
    receiver.join();
    EXPECT_EQ(inconsistencies, 0);
}

}  // namespace
}  // namespace fybootp
