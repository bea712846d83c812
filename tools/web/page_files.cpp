#include "tools/web/page_files.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "host/system_paths.h"
#include "tools/web/page_embedded.h"

namespace fybootp::web {
namespace {

struct KnownFile {
    std::string_view path;
    const char* name;
    const char* contentType;
    std::string_view (*builtIn)();
};

constexpr KnownFile kFiles[] = {
    {"/", "index.html", "text/html; charset=utf-8", &EmbeddedIndexHtml},
    {"/index.html", "index.html", "text/html; charset=utf-8", &EmbeddedIndexHtml},
    {"/app.js", "app.js", "text/javascript; charset=utf-8", &EmbeddedAppJs},
    {"/app.css", "app.css", "text/css; charset=utf-8", &EmbeddedAppCss},
};

}  // namespace

std::string PageFiles::InstalledFolder() {
    std::string root = host::SystemRoot();
    if (root.back() != '/') root += '/';
    const std::string folder = root + "usr/share/fybootp/web";
    std::error_code error;
    return std::filesystem::is_directory(folder, error) ? folder : std::string();
}

std::optional<PageFile> PageFiles::Find(std::string_view path) const {
    for (const KnownFile& file : kFiles) {
        if (file.path != path) continue;
        if (!m_folder.empty()) {
            std::ifstream in(m_folder + "/" + file.name, std::ios::binary);
            if (in) {
                return PageFile{file.contentType, std::string(std::istreambuf_iterator<char>(in),
                                                              std::istreambuf_iterator<char>())};
            }
        }
        return PageFile{file.contentType, std::string(file.builtIn())};
    }
    return std::nullopt;
}

}  // namespace fybootp::web
