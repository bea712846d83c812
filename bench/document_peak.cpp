// Peak memory of one document operation: each measurement runs in a child
// process of its own, which prepares its input, reads its peak resident
// size (ru_maxrss), runs the operation once and reads it again. The
// difference is what the operation itself needed at its peak.
//
// With --startup-million [RUNS]: the start-up load of a 1,000,000-row
// FyBootpInfo.xml as the server writes it, in UTF-8 and in UTF-16, RUNS
// times each (default 3), each run in a fresh child; the fastest run counts.
//
// Run: build/release/bench/fyb_document_peak (see bench/README.md).

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "bench/document_bench_inputs.h"
#include "core/fy_bootp_server.h"
#include "document/info_file.h"
#include "document/limits.h"
#include "document/node_table_exchange.h"
#include "document/startup_load.h"
#include "platform/fs/atomic_file.h"

namespace fybootp {
namespace {

long PeakKilobytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::vector<BootpNode> Rows(std::size_t count) {
    std::vector<BootpNode> rows(count);
    for (std::size_t i = 0; i < count; ++i) {
        rows[i].ipAddr = static_cast<Ipv4Address>(i);
        rows[i].macAddr = {0x02,
                           0x4B,
                           0x77,
                           static_cast<std::uint8_t>(i >> 16),
                           static_cast<std::uint8_t>(i >> 8),
                           static_cast<std::uint8_t>(i)};
    }
    return rows;
}

class FixedHost final : public HostInfoSource {
public:
    std::string HostName() const override { return "bench-host"; }
    int ReadAddressTable(std::vector<net::AddressRow>& out) const override {
        out.clear();
        return 0;
    }
    int ReadRouteTable(std::vector<net::RouteRow>& out) const override {
        out.clear();
        return 0;
    }
};

// Runs prepare, then operation, in a child; prints the figures. The child
// works in a scratch directory of its own unless told to stay where it is.
void Measure(const char* name, std::size_t rows,
             const std::function<std::function<bool()>()>& prepare, bool ownDirectory = true) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        bool ok = false;
        {
            std::optional<bench::ScratchDirectory> scratch;
            if (ownDirectory) scratch.emplace();
            const std::function<bool()> operation = prepare();
            const long before = PeakKilobytes();
            const auto start = std::chrono::steady_clock::now();
            ok = operation();
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            const long after = PeakKilobytes();
            std::printf("%-28s %8zu rows  %9.1f ms  peak +%6.1f MB (process %6.1f MB)%s\n", name,
                        rows, ms, static_cast<double>(after - before) / 1024.0,
                        static_cast<double>(after) / 1024.0, ok ? "" : "  FAILED");
        }  // the scratch directory goes before the child ends
        std::fflush(nullptr);
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
}

void WriteFile(const std::string& bytes) { fs::ReplaceFileAtomically(kInfoFileName, bytes); }

bool StartsWithRows(std::size_t rows) {
    static const FixedHost host;
    std::unique_ptr<FyBootpServer> server;
    return ConstructServer(server, MakeStartupLoad(LibxmlDocumentFactory(), host)) == S_OK &&
           server->m_nodes.Size() == rows;
}

// The file as the server writes it for a table of rows: the get's text is
// the document the file holds (declaration, FyBootpInfo, Nodes, the rows).
// In UTF-16 it is the same document declared and written in UTF-16, as a
// file read in UTF-16 is written back.
void WriteTableFile(std::size_t rows, bool utf16) {
    // Descending, so that the load has the whole sort to do, and with
    // addresses of full length.
    std::vector<BootpNode> table = Rows(rows);
    std::reverse(table.begin(), table.end());
    for (BootpNode& row : table) row.ipAddr |= 0xC0A80000u;
    FyBootpServer server;
    server.m_nodes.Replace(std::move(table));
    std::string text;
    if (get_BootpInfosXml(server, &text) != S_OK) std::abort();
    if (utf16) {
        text.replace(text.find("UTF-8"), 5, "UTF-16");
        std::string wide = "\xFF\xFE";
        wide.reserve(2 * text.size() + 2);
        for (const char c : text) wide += {c, '\0'};
        text = std::move(wide);
    }
    WriteFile(text);
}

void MeasureMillionRowStart(int runs) {
    constexpr std::size_t kRows = 1'000'000;
    const bench::ScratchDirectory scratch;  // the children's working directory too
    for (const bool utf16 : {false, true}) {
        // Written in a child, so that no child below starts out larger.
        Measure(
            utf16 ? "write file, UTF-16" : "write file, UTF-8", kRows,
            [utf16] {
                return [utf16] {
                    WriteTableFile(kRows, utf16);
                    return true;
                };
            },
            false);
        struct stat info {};
        ::stat(kInfoFileName, &info);
        std::printf("%s: %lld bytes\n", kInfoFileName, static_cast<long long>(info.st_size));
        for (int run = 0; run < runs; ++run) {
            Measure(
                utf16 ? "start-up load, UTF-16" : "start-up load, UTF-8", kRows,
                [] { return [] { return StartsWithRows(kRows); }; }, false);
        }
    }
}

}  // namespace
}  // namespace fybootp

int main(int argc, char** argv) {
    using namespace fybootp;
    if (argc >= 2 && std::string_view(argv[1]) == "--startup-million") {
        MeasureMillionRowStart(argc >= 3 ? std::max(1, std::atoi(argv[2])) : 3);
        return 0;
    }
    for (const std::size_t rows : {1000u, 10000u, 100000u}) {
        Measure("BootpInfosXml put", rows, [rows] {
            auto text = std::make_shared<std::string>(bench::TableText(rows));
            WriteFile(*text);  // the put loads the existing file and rewrites it
            auto server = std::make_shared<FyBootpServer>();
            return [=] { return put_BootpInfosXml(*server, *text) == S_OK; };
        });
        Measure("BootpInfosXml get", rows, [rows] {
            auto server = std::make_shared<FyBootpServer>();
            server->m_nodes.Replace(Rows(rows));
            return [=] {
                std::string text;
                return get_BootpInfosXml(*server, &text) == S_OK;
            };
        });
        Measure("start-up load", rows, [rows] {
            WriteFile(bench::TableText(rows));
            return [rows] { return StartsWithRows(rows); };
        });
    }
    // Hostile shapes at the bounds of limits.h: as many empty elements as
    // the markup bound allows, and a text as long as the size bound allows.
    Measure("put, most elements allowed", kClientTextLimits.maxMarkup - 4, [] {
        auto text = std::make_shared<std::string>("<FyBootpInfo><Nodes>");
        for (std::size_t i = 4; i < kClientTextLimits.maxMarkup; ++i) *text += "<a/>";
        *text += "</Nodes></FyBootpInfo>";
        auto server = std::make_shared<FyBootpServer>();
        return [=] { return put_BootpInfosXml(*server, *text) == S_OK; };
    });
    Measure("put, longest text allowed", 0, [] {
        auto text = std::make_shared<std::string>("<FyBootpInfo>");
        const std::string paragraph = "<p>" + std::string(1000, 'x') + "</p>";
        while (text->size() + paragraph.size() + 14 <= kClientTextLimits.maxBytes)
            *text += paragraph;
        *text += "</FyBootpInfo>";
        auto server = std::make_shared<FyBootpServer>();
        return [=] { return put_BootpInfosXml(*server, *text) == S_OK; };
    });
    return 0;
}
