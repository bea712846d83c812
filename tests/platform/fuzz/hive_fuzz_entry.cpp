#include "tests/platform/fuzz/hive_fuzz_entry.h"

#include <string_view>

#include "platform/registry/hive_text.h"

namespace fybootp::fuzz {

std::string RunHiveTextInput(const std::uint8_t* data, std::size_t size) {
    using namespace registry;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Key root;
    if (!ReadHiveText(text, &root)) {
        if (!root.values.empty() || !root.subkeys.empty()) return "a refused text left keys behind";
        return {};
    }
    const std::string written = WriteHiveText(root);
    Key again;
    if (!ReadHiveText(written, &again)) return "the written text of an accepted one does not read";
    if (WriteHiveText(again) != written) return "the written text reads back as another tree";
    return {};
}

}  // namespace fybootp::fuzz
