// The configuration document at table sizes of 1,000, 10,000 and 100,000
// rows: the BootpInfosXml put (parse, replace the table, rewrite the file
// crash-safely, fsync included), the get, and the start-up load of the file.
// Target: 100,000 rows at most 15 times the time of 10,000 rows for each,
// and a 100,000-row put under 1 s. Peak memory: fyb_document_peak.
//
// Run: build/release/bench/fyb_document_bench (see bench/README.md).

#include <benchmark/benchmark.h>

#include <memory>

#include "bench/document_bench_inputs.h"
#include "core/fy_bootp_server.h"
#include "document/node_table_exchange.h"
#include "document/startup_load.h"

namespace fybootp {
namespace {

void TableSizes(benchmark::internal::Benchmark* b) {
    for (std::int64_t rows : {1000, 10000, 100000}) b->Arg(rows);
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

// A fixed identity, so that the load reads no kernel tables.
class FixedHost final : public HostInfoSource {
public:
    std::string HostName() const override { return "bench-host"; }
    int ReadAddressTable(std::vector<net::AddressRow>& out) const override {
        out = {{0x0100000Au, 0x00FFFFFFu, 2, false}};
        return 0;
    }
    int ReadRouteTable(std::vector<net::RouteRow>& out) const override {
        out.clear();
        return 0;
    }
};

void BM_PutBootpInfosXml(benchmark::State& state) {
    const auto rows = static_cast<std::size_t>(state.range(0));
    const bench::ScratchDirectory scratch;
    const std::string text = bench::TableText(rows);
    FyBootpServer server;
    // The file exists, as it does after the first put: each put loads it,
    // replaces its table and writes it back.
    if (put_BootpInfosXml(server, text) != S_OK) state.SkipWithError("put failed");
    for (auto _ : state) {
        if (put_BootpInfosXml(server, text) != S_OK) state.SkipWithError("put failed");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PutBootpInfosXml)->Apply(TableSizes);

void BM_GetBootpInfosXml(benchmark::State& state) {
    const auto rows = static_cast<std::size_t>(state.range(0));
    const bench::ScratchDirectory scratch;
    FyBootpServer server;
    put_BootpInfosXml(server, bench::TableText(rows));
    std::string text;
    for (auto _ : state) {
        if (get_BootpInfosXml(server, &text) != S_OK) state.SkipWithError("get failed");
        benchmark::DoNotOptimize(text.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_GetBootpInfosXml)->Apply(TableSizes);

void BM_StartupLoad(benchmark::State& state) {
    const auto rows = static_cast<std::size_t>(state.range(0));
    const bench::ScratchDirectory scratch;
    {
        FyBootpServer writer;
        put_BootpInfosXml(writer, bench::TableText(rows));
    }
    const FixedHost host;
    for (auto _ : state) {
        std::unique_ptr<FyBootpServer> server;
        if (ConstructServer(server, MakeStartupLoad(LibxmlDocumentFactory(), host)) != S_OK ||
            server->m_nodes.Size() != rows) {
            state.SkipWithError("load failed");
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StartupLoad)->Apply(TableSizes);

}  // namespace
}  // namespace fybootp

BENCHMARK_MAIN();
