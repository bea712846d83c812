#pragma once
// Reads a named section of an ELF executable. Our executables carry their
// type library in such a section, the way a Windows executable carries it
// as a resource, so that any process can load it from the file's path.

#include <filesystem>
#include <string>
#include <string_view>

namespace fybootp {

// 0 and the section's bytes in out; ENOENT when the file has no such
// section, ENOEXEC when it is not a 64-bit ELF file we can read, or the
// errno of the failed read.
int ReadElfSection(const std::filesystem::path& path, std::string_view name, std::string* out);

// True when the file starts with the ELF magic.
bool IsElfFile(const std::filesystem::path& path);

}  // namespace fybootp
