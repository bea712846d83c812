#pragma once
// Cutting 8-bit text to a fixed-size field. Text here is UTF-8, so a cut
// never falls inside a multi-byte character.

#include <cstddef>
#include <string_view>

namespace fybootp {

// The longest prefix of text of at most maxBytes that does not end inside
// a UTF-8 sequence.
constexpr std::size_t CutLength(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text.size();
    std::size_t cut = maxBytes;
    // Back up over continuation bytes (10xxxxxx) to the start of the
    // character that the cut would split; at most three of them.
    std::size_t steps = 0;
    while (cut > 0 && steps < 4 && (static_cast<unsigned char>(text[cut]) & 0xC0u) == 0x80u) {
        --cut;
        ++steps;
    }
    return steps < 4 ? cut : maxBytes;  // not UTF-8 after all: plain byte cut
}

}  // namespace fybootp
