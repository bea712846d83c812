#pragma once
// The executable's string table, kept as an ELF section of the module and
// read from the file as a data file is, the way a Windows executable keeps
// its string resources.

#include <string>

namespace fybootp::host {

inline constexpr char kStringTableSection[] = ".fyb_strings";
inline constexpr int kServiceNameId = 100;

// LoadStringA: the string's length and its text in *text (cut to bufferSize
// - 1 characters), or 0 and "" when the module has no such string.
int LoadStringA(const std::string& modulePath, int id, std::string* text, std::size_t bufferSize);

// The module path of this process: readlink("/proc/self/exe").
std::string ModuleFileName();

}  // namespace fybootp::host
