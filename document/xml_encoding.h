#pragma once
// Which files the server reads, by their encoding. The bounds of limits.h
// count the bytes '<' and '='; that count bounds the markup only where every
// '<' and '=' is such a byte (or, in UTF-16, holds one). Encodings that spell
// them otherwise (EBCDIC, UCS-4, UTF-7, the shifting ISO-2022 family, ...)
// could hide thousands of attributes from the count, so a file in one of
// them is not read: it counts as not loaded, like a malformed file.
//
// Client texts need no such test: they are UTF-8 at the interface and are
// parsed as UTF-8 whatever their declaration says.

#include <cstddef>
#include <string>
#include <string_view>

namespace fybootp::xml {

// The encoding named by the XML declaration at the start of bytes, as far as
// it can be read; empty when there is no declaration or it names none.
struct DeclaredEncoding {
    // false: a declaration that cannot be read, or a layout (UCS-4, EBCDIC)
    // in which none is looked for.
    bool readable = true;
    std::string name;
};
DeclaredEncoding ReadDeclaredEncoding(std::string_view bytes);

// Whether a file of these bytes is read at all (see above). A zero byte in a
// byte encoding also keeps it from being read.
bool FileEncodingAccepted(std::string_view bytes);

// What an ASCII character takes in the layout of bytes: 2 in UTF-16, else 1.
// A file is written back in the encoding it was read in, so this is also
// what it takes there.
std::size_t BytesPerAsciiCharacter(std::string_view bytes);

}  // namespace fybootp::xml
