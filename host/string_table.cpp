#include "host/string_table.h"

#include <unistd.h>

#include <charconv>
#include <climits>
#include <string_view>

#include "platform/com/elf_section.h"

namespace fybootp::host {
namespace {

// One line per string: the id, a tab, the text.
[[gnu::used, gnu::section(".fyb_strings")]] const char kStrings[] = "100\tFyBootp\n";

}  // namespace

int LoadStringA(const std::string& modulePath, int id, std::string* text, std::size_t bufferSize) {
    text->clear();
    std::string table;
    if (ReadElfSection(modulePath, kStringTableSection, &table) != 0 || bufferSize == 0) return 0;
    std::string_view rest = table;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        const std::size_t tab = line.find('\t');
        int lineId = -1;
        if (tab == std::string_view::npos ||
            std::from_chars(line.data(), line.data() + tab, lineId).ptr != line.data() + tab ||
            lineId != id) {
            continue;
        }
        *text = std::string(line.substr(tab + 1, bufferSize - 1));
        return static_cast<int>(text->size());
    }
    return 0;
}

std::string ModuleFileName() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace fybootp::host
