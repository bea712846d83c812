// The responder's work for one request, without the network: recognise the
// datagram, find the node's first row, build the 300-byte reply and append
// the log entry, under m_lock as the receive thread takes it. Replies go to
// a sink that discards them.
//
// The index beside the node table is meant to make a request cost the same
// whatever the table's size, so the requests ask for rows drawn at random
// over the whole table: a benchmark that asked for one row again and again
// would find it in the cache at any size and prove nothing. The address of
// a drawn row is computed from the table's shape rather than read from the
// table or from a stored request list, so that making the request neither
// warms the row the server is about to read nor streams extra memory.
//
// Run: build/release/bench/fyb_responder_bench (see bench/README.md).

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "core/fy_bootp_server.h"
#include "platform/clock/local_time.h"

namespace fybootp {
namespace {

// The table sizes of the target: a request at 1,000,000 rows costs at most
// the 10-row time plus 1.2x the memory latency (BM_MemoryLatency).
void TableSizes(benchmark::internal::Benchmark* b) {
    for (std::int64_t rows : {10, 1000, 100000, 1000000}) b->Arg(rows);
}

// A few makers in one table, as on a real automation network: the product's
// own prefix and some others, each with a run of consecutive serials.
constexpr std::size_t kMakerCount = 8;

// Unknown devices of the maker use serials from here to the prefix's end;
// listed ones stay below.
constexpr std::uint64_t kUnknownSerialBase = 0x800000;
constexpr std::uint64_t kUnknownSerialEnd = 0x1000000;

// Never opens a socket or a thread: these benchmarks must not put a single
// datagram on any network. The clock is the real one, since every log entry
// reads it.
class NoNetworkPlatform final : public ResponderPlatform {
public:
    net::OpenResult OpenSocket() override { return {nullptr, EPERM}; }
    bool StartThread(std::function<void()>, std::thread&) override { return false; }
    std::time_t Now() override { return clock::Now(); }
    std::optional<std::tm> ToLocal(std::time_t t) override { return clock::ToLocal(t); }
};

class DiscardReplies final : public ReplySink {
public:
    void Send(const bootp::Message& reply) override {
        benchmark::DoNotOptimize(reply.data());
        benchmark::ClobberMemory();
        ++m_sent;
    }
    std::size_t Sent() const { return m_sent; }

private:
    std::size_t m_sent = 0;
};

MacAddress MacOf(std::uint64_t key) {
    MacAddress mac;
    for (std::size_t i = 0; i < mac.size(); ++i) {
        mac[mac.size() - 1 - i] = static_cast<std::uint8_t>(key >> (8 * i));
    }
    return mac;
}

Ipv4Address NetworkOrder(std::uint32_t hostOrder) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(hostOrder >> 24), static_cast<std::uint8_t>(hostOrder >> 16),
        static_cast<std::uint8_t>(hostOrder >> 8), static_cast<std::uint8_t>(hostOrder)};
    Ipv4Address address;
    std::memcpy(&address, bytes, sizeof(address));
    return address;
}

constexpr std::uint64_t kMakerKey = (std::uint64_t{kMakerPrefix[0]} << 40) |
                                    (std::uint64_t{kMakerPrefix[1]} << 32) |
                                    (std::uint64_t{kMakerPrefix[2]} << 24);

// The table's layout: kMakerCount blocks in table order, block 0 under the
// product's prefix, the others under random unicast prefixes, each a run of
// consecutive serials from a random start.
class TableShape {
public:
    TableShape(std::size_t rows, std::mt19937_64& rng) : m_rows(rows) {
        std::size_t first = 0;
        for (std::size_t b = 0; b < kMakerCount; ++b) {
            const std::size_t count = rows / kMakerCount + (b < rows % kMakerCount ? 1 : 0);
            // Clear the group bit: a real maker's prefix is unicast.
            const std::uint64_t prefix = b == 0 ? kMakerKey : (rng() & 0xFEFFFFull) << 24;
            const std::uint64_t room =
                (b == 0 ? kUnknownSerialBase : std::uint64_t{1} << 24) - count;
            m_blocks[b] = Block{first, count, prefix | (rng() % room)};
            first += count;
        }
    }

    std::size_t Rows() const { return m_rows; }

    MacAddress MacOfRow(std::size_t row) const {
        std::size_t b = 0;
        while (row >= m_blocks[b].first + m_blocks[b].count) ++b;
        return MacOf(m_blocks[b].firstKey + (row - m_blocks[b].first));
    }

    // Addresses 10.0.0.1 upward in table order.
    std::vector<BootpNode> MakeRows() const {
        std::vector<BootpNode> rows(m_rows);
        for (std::size_t i = 0; i < m_rows; ++i) {
            rows[i] =
                BootpNode{NetworkOrder(static_cast<std::uint32_t>(0x0A000001u + i)), MacOfRow(i)};
        }
        return rows;
    }

private:
    struct Block {
        std::size_t first = 0;
        std::size_t count = 0;
        std::uint64_t firstKey = 0;
    };
    std::size_t m_rows;
    std::array<Block, kMakerCount> m_blocks{};
};

// Rows drawn uniformly at random, in registers only (xorshift64*).
class RowPicker {
public:
    RowPicker(std::size_t rows, std::uint64_t seed) : m_rows(rows), m_state(seed | 1) {}
    std::size_t Next() {
        m_state ^= m_state >> 12;
        m_state ^= m_state << 25;
        m_state ^= m_state >> 27;
        // The top 32 bits scaled to the table: tables stay below 2^32 rows.
        const std::uint64_t r = (m_state * 0x2545F4914F6CDD1Dull) >> 32;
        return static_cast<std::size_t>((r * m_rows) >> 32);
    }

private:
    std::size_t m_rows;
    std::uint64_t m_state;
};

// A 300-byte request as a client sends it; chaddr and xid are set per call.
std::array<std::uint8_t, bootp::kMessageSize> MakeRequestTemplate() {
    std::array<std::uint8_t, bootp::kMessageSize> r{};
    r[bootp::kOpOffset] = bootp::kBootRequest;
    r[bootp::kHtypeOffset] = bootp::kHtypeEthernet;
    r[bootp::kHlenOffset] = bootp::kHlenEthernet;
    r[bootp::kSecsOffset + 1] = 3;
    std::copy(bootp::kMagicCookie.begin(), bootp::kMagicCookie.end(),
              r.begin() + bootp::kVendOffset);
    r[bootp::kVendOffset + bootp::kMagicCookie.size()] = bootp::kOptionEnd;
    return r;
}

void SetRequest(std::array<std::uint8_t, bootp::kMessageSize>& request, const MacAddress& mac,
                std::uint32_t xid) {
    std::memcpy(request.data() + bootp::kXidOffset, &xid, sizeof(xid));
    std::copy(mac.begin(), mac.end(), request.begin() + bootp::kChaddrOffset);
}

std::unique_ptr<FyBootpServer> MakeServer(const TableShape& shape) {
    ServerConfig config;
    config.platform = std::make_shared<NoNetworkPlatform>();
    auto server = std::make_unique<FyBootpServer>(std::move(config));
    std::lock_guard lock(server->m_lock);
    server->m_nodes.Replace(shape.MakeRows());
    server->SetHostName("benchsrv");
    server->m_ipAddr = NetworkOrder(0xC0000201u);          // 192.0.2.1
    server->m_subnetMask = NetworkOrder(0xFFFFFF00u);      // 255.255.255.0
    server->m_defaultGateway = NetworkOrder(0xC00002FEu);  // 192.0.2.254
    return server;
}

// Fills the log to its limit first: a server that has run for a while drops
// its oldest entry on every append, and that is the state to measure.
void FillLog(FyBootpServer& server, const TableShape& shape) {
    auto request = MakeRequestTemplate();
    DiscardReplies sink;
    // Another sequence than the measurement's, so that it does not start on
    // rows this pass has just read.
    RowPicker pick(shape.Rows(), 0x243F6A8885A308D3ull);
    const std::size_t limit = server.m_logs.Limit();
    for (std::uint32_t xid = 0; server.m_logs.Size() < limit; ++xid) {
        SetRequest(request, shape.MacOfRow(pick.Next()), xid);
        std::lock_guard lock(server.m_lock);
        server.HandleDatagram(request, sink);
    }
}

void BM_ListedRequest(benchmark::State& state) {
    std::mt19937_64 rng(20240601);
    const TableShape shape(static_cast<std::size_t>(state.range(0)), rng);
    auto server = MakeServer(shape);
    FillLog(*server, shape);

    auto request = MakeRequestTemplate();
    DiscardReplies sink;
    RowPicker pick(shape.Rows(), 0x9E3779B97F4A7C15ull);
    std::uint32_t xid = 1;
    for (auto _ : state) {
        SetRequest(request, shape.MacOfRow(pick.Next()), xid++);
        std::lock_guard lock(server->m_lock);
        server->HandleDatagram(request, sink);
    }
    if (sink.Sent() != static_cast<std::size_t>(state.iterations())) {
        state.SkipWithError("a listed node was not answered");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ListedRequest)->ArgName("nodes")->Apply(TableSizes);

// What making a request costs the benchmark itself (drawing a row, writing
// chaddr and xid), to subtract where it matters.
void BM_RequestMaking(benchmark::State& state) {
    std::mt19937_64 rng(20240601);
    const TableShape shape(static_cast<std::size_t>(state.range(0)), rng);
    auto request = MakeRequestTemplate();
    RowPicker pick(shape.Rows(), 0x9E3779B97F4A7C15ull);
    std::uint32_t xid = 1;
    for (auto _ : state) {
        SetRequest(request, shape.MacOfRow(pick.Next()), xid++);
        benchmark::DoNotOptimize(request.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RequestMaking)->ArgName("nodes")->Arg(10)->Arg(1000000);

// The lookup alone, under m_lock as the receive thread takes it. Here the
// cache misses of consecutive lookups overlap, which those of real requests,
// hundreds of instructions apart, cannot: a lower bound of the lookup's share
// of a request at each size.
void BM_LookupUnderLock(benchmark::State& state) {
    std::mt19937_64 rng(20240601);
    const TableShape shape(static_cast<std::size_t>(state.range(0)), rng);
    auto server = MakeServer(shape);
    RowPicker pick(shape.Rows(), 0x9E3779B97F4A7C15ull);
    for (auto _ : state) {
        const MacAddress mac = shape.MacOfRow(pick.Next());
        std::lock_guard lock(server->m_lock);
        const BootpNode* node = server->m_nodes.FindFirst(mac);
        benchmark::DoNotOptimize(node->ipAddr);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LookupUnderLock)->ArgName("nodes")->Apply(TableSizes);

// Unknown devices of the maker, each address new, while the new-address list
// has room: a record, an index entry and a log entry per request. The lists
// are emptied, untimed, whenever the record list is full.
void BM_UnknownMakerRecorded(benchmark::State& state) {
    std::mt19937_64 rng(20240601);
    const TableShape shape(1000, rng);
    auto server = MakeServer(shape);
    FillLog(*server, shape);

    auto request = MakeRequestTemplate();
    DiscardReplies sink;
    std::uint64_t serial = kUnknownSerialBase;
    std::int64_t recorded = 0;
    for (auto _ : state) {
        if (server->m_newMacs.Size() == server->m_newMacs.Limit()) {
            state.PauseTiming();
            recorded += static_cast<std::int64_t>(server->m_newMacs.Size());
            server->m_newMacs.Clear();
            serial = kUnknownSerialBase;
            state.ResumeTiming();
        }
        SetRequest(request, MacOf(kMakerKey | serial), static_cast<std::uint32_t>(serial));
        ++serial;
        std::lock_guard lock(server->m_lock);
        server->HandleDatagram(request, sink);
    }
    recorded += static_cast<std::int64_t>(server->m_newMacs.Size());
    if (recorded != state.iterations() || sink.Sent() != 0) {
        state.SkipWithError("an unknown maker address was not recorded, or was answered");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UnknownMakerRecorded);

// A flood of invented addresses of the maker once the list is full: every
// request is new, and each is looked up and ignored.
void BM_UnknownMakerListFull(benchmark::State& state) {
    std::mt19937_64 rng(20240601);
    const TableShape shape(1000, rng);
    auto server = MakeServer(shape);
    FillLog(*server, shape);

    auto request = MakeRequestTemplate();
    DiscardReplies sink;
    std::uint64_t serial = kUnknownSerialBase;
    while (server->m_newMacs.Size() < server->m_newMacs.Limit()) {
        SetRequest(request, MacOf(kMakerKey | serial++), 0);
        std::lock_guard lock(server->m_lock);
        server->HandleDatagram(request, sink);
    }
    // From here on every address is one the list has never taken.
    const std::uint64_t firstFresh = serial;
    const std::int32_t before = server->m_newMacCnt;
    for (auto _ : state) {
        serial = serial + 1 == kUnknownSerialEnd ? firstFresh : serial + 1;
        SetRequest(request, MacOf(kMakerKey | serial), static_cast<std::uint32_t>(serial));
        std::lock_guard lock(server->m_lock);
        server->HandleDatagram(request, sink);
    }
    if (server->m_newMacCnt != before || sink.Sent() != 0) {
        state.SkipWithError("a full list took a record, or a reply was sent");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UnknownMakerListFull);

// A device of the maker asking again after it was recorded: found in the
// list's index, nothing appended.
void BM_UnknownMakerAlreadyRecorded(benchmark::State& state) {
    std::mt19937_64 rng(20240601);
    const TableShape shape(1000, rng);
    auto server = MakeServer(shape);
    FillLog(*server, shape);

    auto request = MakeRequestTemplate();
    DiscardReplies sink;
    std::vector<MacAddress> recorded;
    for (std::uint64_t serial = kUnknownSerialBase; recorded.size() < server->m_newMacs.Limit();
         ++serial) {
        recorded.push_back(MacOf(kMakerKey | serial));
        SetRequest(request, recorded.back(), 0);
        std::lock_guard lock(server->m_lock);
        server->HandleDatagram(request, sink);
    }
    std::shuffle(recorded.begin(), recorded.end(), rng);
    const std::int32_t before = server->m_newMacCnt;
    std::size_t next = 0;
    for (auto _ : state) {
        SetRequest(request, recorded[next], static_cast<std::uint32_t>(next));
        next = next + 1 == recorded.size() ? 0 : next + 1;
        std::lock_guard lock(server->m_lock);
        server->HandleDatagram(request, sink);
    }
    if (server->m_newMacCnt != before || sink.Sent() != 0) {
        state.SkipWithError("a recorded address was recorded again, or answered");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UnknownMakerAlreadyRecorded);

// The machine's memory latency: one dependent load after another over a
// buffer far larger than the caches, in random order. A lookup in a table
// of 1,000,000 rows cannot cost less than one of these, which bounds how
// close to the 10-row time the 1,000,000-row time can come on a machine.
void BM_MemoryLatency(benchmark::State& state) {
    const std::size_t lines = static_cast<std::size_t>(state.range(0)) << 20 >> 6;
    struct alignas(64) Line {
        const Line* next;
    };
    std::vector<Line> buffer(lines);
    std::vector<std::size_t> order(lines);
    for (std::size_t i = 0; i < lines; ++i) order[i] = i;
    std::mt19937_64 rng(20240601);
    std::shuffle(order.begin(), order.end(), rng);
    for (std::size_t i = 0; i < lines; ++i) {
        buffer[order[i]].next = &buffer[order[(i + 1) % lines]];
    }
    const Line* at = &buffer[order[0]];
    for (auto _ : state) {
        at = at->next;
        benchmark::DoNotOptimize(at);
    }
}
BENCHMARK(BM_MemoryLatency)->ArgName("MiB")->Arg(64);

// Heap bytes per log entry: a log filled past its default limit, measured
// with the allocator's own count, so the deque's blocks and map are included.
void BM_LogEntryHeapBytes(benchmark::State& state) {
    double perEntry = 0;
    for (auto _ : state) {
        const std::size_t before = mallinfo2().uordblks;
        auto log = std::make_unique<LogList>();
        const LogEntry entry{
            1717243200, {0x02, 0, 0, 0, 0, 1}, LogMessage::kAddressAssigned, 0x0100000A};
        for (std::size_t i = 0; i < log->Limit() + 1000; ++i) log->Append(entry);
        const std::size_t after = mallinfo2().uordblks;
        perEntry = static_cast<double>(after - before) / static_cast<double>(log->Size());
        benchmark::DoNotOptimize(log.get());
    }
    state.counters["bytes_per_entry"] = perEntry;
    state.counters["record_bytes"] = static_cast<double>(sizeof(LogEntry));
}
BENCHMARK(BM_LogEntryHeapBytes)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace fybootp

BENCHMARK_MAIN();
