// Peak memory of one document operation: each measurement runs in a child
// process of its own, which prepares its input, reads its peak resident
// size (ru_maxrss), runs the operation once and reads it again. The
// difference is what the operation itself needed at its peak.
//
// Run: build/release/bench/fyb_document_peak (see bench/README.md).

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

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

// Runs prepare, then operation, in a child; prints the figures.
void Measure(const char* name, std::size_t rows,
             const std::function<std::function<bool()>()>& prepare) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        bool ok = false;
        {
            const bench::ScratchDirectory scratch;
            const std::function<bool()> operation = prepare();
            const long before = PeakKilobytes();
            const auto start = std::chrono::steady_clock::now();
            ok = operation();
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            std::printf("%-28s %8zu rows  %9.1f ms  peak +%6.1f MB%s\n", name, rows, ms,
                        static_cast<double>(PeakKilobytes() - before) / 1024.0,
                        ok ? "" : "  FAILED");
        }  // the scratch directory goes before the child ends
        std::fflush(nullptr);
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
}

void WriteFile(const std::string& bytes) { fs::ReplaceFileAtomically(kInfoFileName, bytes); }

}  // namespace
}  // namespace fybootp

int main() {
    using namespace fybootp;
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
            return [rows] {
                static const FixedHost host;
                std::unique_ptr<FyBootpServer> server;
                return ConstructServer(server, MakeStartupLoad(LibxmlDocumentFactory(), host)) ==
                           S_OK &&
                       server->m_nodes.Size() == rows;
            };
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
