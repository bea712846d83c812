#pragma once
// The page's files as built into the program; CMake writes their
// definitions from tools/web/page at build time (embed_page.cmake).

#include <string_view>

namespace fybootp::web {

std::string_view EmbeddedIndexHtml();
std::string_view EmbeddedAppJs();
std::string_view EmbeddedAppCss();

}  // namespace fybootp::web
