#pragma once
// Whole-file reads and crash-safe whole-file replacement. Every call returns 0
// or the errno of the step that failed.
//
// A replacement goes through a temporary file in the target's own directory
// (rename is atomic only within one file system): write, fsync, rename over
// the target, fsync the directory. Until the rename the old file is
// untouched, so a crash or a failure at any point leaves either the old
// content or the new one, never a mix. A failed replacement removes its
// temporary file; a temporary file left by a writer that was killed is
// removed by the next replacement of the same file.

#include <cstddef>
#include <string>
#include <string_view>

namespace fybootp::fs {

// Reads the whole file into out. A file longer than maxBytes is not read and
// gives EFBIG, so that an oversized file cannot exhaust memory.
int ReadWholeFile(const std::string& path, std::string& out, std::size_t maxBytes);

// Replaces path with bytes. A new file gets mode 0666 less the umask; a
// replaced file keeps its permission bits.
int ReplaceFileAtomically(const std::string& path, std::string_view bytes);

}  // namespace fybootp::fs
