#include "platform/com/elf_section.h"

#include <elf.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

namespace fybootp {
namespace {

// Sections larger than this are not resources of ours.
constexpr std::uint64_t kMaxSectionSize = 16u << 20;

bool ReadAt(std::ifstream& file, std::uint64_t offset, void* out, std::size_t size) {
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(static_cast<char*>(out), static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(file.gcount()) == size;
}

}  // namespace

bool IsElfFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    char magic[SELFMAG];
    return file.read(magic, SELFMAG) && std::memcmp(magic, ELFMAG, SELFMAG) == 0;
}

int ReadElfSection(const std::filesystem::path& path, std::string_view name, std::string* out) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return errno != 0 ? errno : ENOENT;
    Elf64_Ehdr header;
    if (!ReadAt(file, 0, &header, sizeof(header)) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr) ||
        header.e_shstrndx >= header.e_shnum) {
        return ENOEXEC;
    }
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    if (!ReadAt(file, header.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr))) {
        return ENOEXEC;
    }
    const Elf64_Shdr& names = sections[header.e_shstrndx];
    if (names.sh_size > kMaxSectionSize) return ENOEXEC;
    std::string nameTable(names.sh_size, '\0');
    if (!ReadAt(file, names.sh_offset, nameTable.data(), nameTable.size())) return ENOEXEC;

    for (const Elf64_Shdr& section : sections) {
        if (section.sh_name >= nameTable.size()) continue;
        const char* sectionName = nameTable.c_str() + section.sh_name;
        if (name != sectionName || section.sh_type == SHT_NOBITS) continue;
        if (section.sh_size > kMaxSectionSize) return ENOEXEC;
        std::string bytes(section.sh_size, '\0');
        if (!ReadAt(file, section.sh_offset, bytes.data(), bytes.size())) return ENOEXEC;
        // A text kept in a section carries its C string terminator.
        while (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
        *out = std::move(bytes);
        return 0;
    }
    return ENOENT;
}

}  // namespace fybootp
