#pragma once
// The page's three files: from FYBOOTP_ROOT/usr/share/fybootp/web when
// that folder exists (the package installs them there, and an operator
// may replace them), else the copies built into the program.

#include <optional>
#include <string>
#include <string_view>

namespace fybootp::web {

struct PageFile {
    std::string contentType;
    std::string body;
};

class PageFiles {
public:
    // `folder` empty: the built-in copies only.
    explicit PageFiles(std::string folder) : m_folder(std::move(folder)) {}
    // FYBOOTP_ROOT/usr/share/fybootp/web when it is a folder, else "".
    static std::string InstalledFolder();

    // "/", "/app.js" or "/app.css"; nullopt for any other path.
    std::optional<PageFile> Find(std::string_view path) const;

private:
    std::string m_folder;
};

}  // namespace fybootp::web
