// Writes the canonical text form of type_library_text.h: one blank between
// words, members and implemented interfaces indented by two, a blank line
// before each type, flags in the order of the vocabulary.

#include <span>
#include <string>

#include "platform/com/type_library_text.h"
#include "platform/com/type_library_vocabulary.h"

namespace fybootp {
namespace {

std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + '"';
}

void AppendFlags(std::string* out, unsigned flags, std::span<const FlagWord> words) {
    for (const FlagWord& entry : words) {
        if ((flags & entry.value) != 0) {
            *out += ' ';
            *out += entry.word;
        }
    }
}

std::string ParamText(const ParamDesc& param) {
    std::string flags;
    AppendFlags(&flags, param.flags, ParamFlagWords());
    // AppendFlags puts a blank before every word; the first one is not wanted.
    std::string out = flags.empty() ? std::string() : flags.substr(1) + ' ';
    out += ParamTypeWord(param.type);
    if (param.byRef) out += '*';
    if (!param.name.empty()) out += ' ' + param.name;
    return out;
}

void AppendMember(std::string* out, const MemberDesc& member) {
    *out += "  " + std::string(InvokeKindWord(member.invokeKind)) + ' ' +
            std::to_string(member.memid) + ' ' + member.name + ' ' + std::string(kReturnTypeWord) +
            " (";
    for (std::size_t i = 0; i < member.params.size(); ++i) {
        if (i > 0) *out += ", ";
        *out += ParamText(member.params[i]);
    }
    *out += ") " + Quoted(member.helpString) + '\n';
}

void AppendType(std::string* out, const TypeDesc& type) {
    const bool isInterface = type.kind == TKIND_INTERFACE;
    *out += '\n';
    *out += std::string(isInterface ? "interface " : "coclass ") + type.name + ' ' +
            GuidToString(type.guid);
    if (isInterface) *out += " : " + type.parent;
    AppendFlags(out, type.flags, isInterface ? InterfaceFlagWords() : CoClassFlagWords());
    *out += ' ' + Quoted(type.helpString) + '\n';
    for (const MemberDesc& member : type.members) AppendMember(out, member);
    for (const ImplementedInterface& implemented : type.interfaces) {
        *out += "  implements " + implemented.name;
        AppendFlags(out, static_cast<unsigned>(implemented.flags), ImplementedFlagWords());
        *out += '\n';
    }
}

}  // namespace

std::string WriteTypeLibraryText(const TypeLibraryDesc& library) {
    std::string out =
        "library " + library.name + ' ' + GuidToString(library.libid) + ' ' +
        std::to_string(library.majorVersion) + '.' + std::to_string(library.minorVersion) +
        " lcid " + std::to_string(library.lcid) + ' ' + std::string(SyskindWord(library.syskind));
    AppendFlags(&out, library.flags, LibraryFlagWords());
    out += ' ' + Quoted(library.helpString) + '\n';
    for (const TypeDesc& type : library.types) AppendType(&out, type);
    return out;
}

}  // namespace fybootp
