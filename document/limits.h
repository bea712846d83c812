#pragma once
// Bounds on the XML this server accepts. Client texts and the info file are
// untrusted: the bounds keep parsing time and memory small whatever their
// shape, and are wide enough that every table a client can store, and every
// file this program writes, is accepted again.

#include <algorithm>
#include <cstddef>

namespace fybootp {

struct InputLimits {
    std::size_t maxBytes;
    // Every element, comment, processing instruction and CDATA section
    // starts with '<', and libxml2 keeps each as a node of about 130 bytes:
    // counting '<' bounds the memory of the parsed tree.
    std::size_t maxMarkup;
    // Every attribute needs an '='. libxml2 checks each new attribute of an
    // element against all earlier ones, so one element with many attributes
    // costs time quadratic in their number; counting '=' bounds it.
    std::size_t maxEquals;
};

// A client text (BootpInfosXml and the other texts of the interface). A
// table of 100,000 rows in the form the get writes is about 7.6 MB.
constexpr InputLimits kClientTextLimits{16u << 20, 1'000'000, 10'000};

// The smallest row a client can send, <Node><IpAddr/><MacAddr>...</MacAddr></Node>,
// holds five '<'; a row as written holds six and at most 76 bytes.
constexpr std::size_t kMinRowMarkup = 5;
constexpr std::size_t kWrittenRowMarkup = 6;
constexpr std::size_t kMaxWrittenRowBytes = 76;
// The most rows one accepted client text can give.
constexpr std::size_t kMaxTextRows = kClientTextLimits.maxMarkup / kMinRowMarkup;

// FyBootpInfo.xml. Room for a table of well over a million rows grown row by
// row, plus the declaration, the root and HostInfo. The byte bound is for a
// file in a byte encoding; one in UTF-16 may hold twice the bytes
// (FileLimits in xml_parse.h), so that the row bound below holds in every
// encoding a file is written back in. The start reads the file without
// keeping its tree; operations that edit the file hold the tree of one this
// size (some 130 bytes for each '<').
constexpr std::size_t kFileOverheadBytes = 64u << 10;
constexpr std::size_t kFileOverheadMarkup = 1'000;
constexpr InputLimits kInfoFileLimits{96u << 20, 7'500'000, 10'000};

// UTF-16, the widest encoding a file is read in, spends two bytes on each
// ASCII character. A file over this many bytes is not even read.
constexpr std::size_t kMaxFileBytesPerCharacter = 2;
constexpr std::size_t kInfoFileReadBytes = kInfoFileLimits.maxBytes * kMaxFileBytesPerCharacter;

// The most rows a file this program writes can hold and still load, in
// whatever encoding it is written back: the bound for any operation that
// grows the table row by row.
constexpr std::size_t kMaxStoredRows =
    std::min((kInfoFileLimits.maxBytes - kFileOverheadBytes) / kMaxWrittenRowBytes,
             (kInfoFileLimits.maxMarkup - kFileOverheadMarkup) / kWrittenRowMarkup);

static_assert(kMaxTextRows <= kMaxStoredRows,
              "a stored table from the largest client text must load again");

// The largest table the server is built to serve, with a fifth to spare.
constexpr std::size_t kLargestServedTable = 1'000'000;
static_assert(kMaxStoredRows >= kLargestServedTable + kLargestServedTable / 5,
              "a file of a million rows, in UTF-8 or UTF-16, must load");

}  // namespace fybootp
