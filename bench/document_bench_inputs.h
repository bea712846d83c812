#pragma once
// Inputs of the document benchmarks: a node table of n rows as a client
// would send it, and a scratch working directory for FyBootpInfo.xml.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fybootp::bench {

// n rows in the form the get writes them, addresses in descending order so
// that reading them has the whole sort to do.
inline std::string TableText(std::size_t rows) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FyBootpInfo><Nodes>";
    text.reserve(80 * rows + 100);
    char node[96];
    for (std::size_t i = 0; i < rows; ++i) {
        const std::size_t k = rows - 1 - i;
        std::snprintf(node, sizeof node,
                      "<Node><IpAddr>10.%zu.%zu.%zu</IpAddr><MacAddr>024B77%06zX</MacAddr></Node>",
                      (k >> 16) & 0xFF, (k >> 8) & 0xFF, k & 0xFF, k);
        text += node;
    }
    return text + "</Nodes></FyBootpInfo>\n";
}

// A temporary directory that is the working directory while it lives.
class ScratchDirectory {
public:
    ScratchDirectory() : m_previous(std::filesystem::current_path()) {
        char pattern[] = "/tmp/fyb-document-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) std::abort();
        m_path = pattern;
        std::filesystem::current_path(m_path);
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::current_path(m_previous, ignored);
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

private:
    std::filesystem::path m_previous;
    std::filesystem::path m_path;
};

}  // namespace fybootp::bench
