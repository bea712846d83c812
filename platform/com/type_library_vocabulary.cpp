#include "platform/com/type_library_vocabulary.h"

#include <array>

namespace fybootp {
namespace {

struct TypeWord {
    std::string_view word;
    VARTYPE type;
};

constexpr std::array kParamTypes{
    TypeWord{"short", VT_I2},  TypeWord{"long", VT_I4},           TypeWord{"double", VT_R8},
    TypeWord{"BSTR", VT_BSTR}, TypeWord{"VARIANT_BOOL", VT_BOOL}, TypeWord{"VARIANT", VT_VARIANT},
};

constexpr std::array kParamFlags{
    FlagWord{"in", PARAMFLAG_FIN},
    FlagWord{"out", PARAMFLAG_FOUT},
    FlagWord{"retval", PARAMFLAG_FRETVAL},
};

constexpr std::array kLibraryFlags{
    FlagWord{"restricted", LIBFLAG_FRESTRICTED},
    FlagWord{"control", LIBFLAG_FCONTROL},
    FlagWord{"hidden", LIBFLAG_FHIDDEN},
    FlagWord{"hasdiskimage", LIBFLAG_FHASDISKIMAGE},
};

constexpr std::array kInterfaceFlags{
    FlagWord{"hidden", TYPEFLAG_FHIDDEN},
    FlagWord{"dual", TYPEFLAG_FDUAL},
    FlagWord{"nonextensible", TYPEFLAG_FNONEXTENSIBLE},
    FlagWord{"oleautomation", TYPEFLAG_FOLEAUTOMATION},
    FlagWord{"restricted", TYPEFLAG_FRESTRICTED},
};

constexpr std::array kCoClassFlags{
    FlagWord{"appobject", TYPEFLAG_FAPPOBJECT},   FlagWord{"cancreate", TYPEFLAG_FCANCREATE},
    FlagWord{"hidden", TYPEFLAG_FHIDDEN},         FlagWord{"control", TYPEFLAG_FCONTROL},
    FlagWord{"restricted", TYPEFLAG_FRESTRICTED},
};

constexpr std::array kImplementedFlags{
    FlagWord{"default", IMPLTYPEFLAG_FDEFAULT},
    FlagWord{"source", IMPLTYPEFLAG_FSOURCE},
    FlagWord{"restricted", IMPLTYPEFLAG_FRESTRICTED},
};

}  // namespace

std::optional<VARTYPE> ParamTypeFromWord(std::string_view word) {
    for (const TypeWord& entry : kParamTypes) {
        if (entry.word == word) return entry.type;
    }
    return std::nullopt;
}

std::string_view ParamTypeWord(VARTYPE type) {
    for (const TypeWord& entry : kParamTypes) {
        if (entry.type == type) return entry.word;
    }
    return {};
}

std::optional<INVOKEKIND> InvokeKindFromWord(std::string_view word) {
    if (word == "method") return INVOKE_FUNC;
    if (word == "propget") return INVOKE_PROPERTYGET;
    if (word == "propput") return INVOKE_PROPERTYPUT;
    return std::nullopt;
}

std::string_view InvokeKindWord(INVOKEKIND kind) {
    switch (kind) {
        case INVOKE_FUNC:
            return "method";
        case INVOKE_PROPERTYGET:
            return "propget";
        case INVOKE_PROPERTYPUT:
            return "propput";
        default:
            return {};
    }
}

std::optional<SYSKIND> SyskindFromWord(std::string_view word) {
    if (word == "win16") return SYS_WIN16;
    if (word == "win32") return SYS_WIN32;
    if (word == "mac") return SYS_MAC;
    if (word == "win64") return SYS_WIN64;
    return std::nullopt;
}

std::string_view SyskindWord(SYSKIND kind) {
    switch (kind) {
        case SYS_WIN16:
            return "win16";
        case SYS_WIN32:
            return "win32";
        case SYS_MAC:
            return "mac";
        case SYS_WIN64:
            return "win64";
    }
    return {};
}

std::span<const FlagWord> ParamFlagWords() { return kParamFlags; }
std::span<const FlagWord> LibraryFlagWords() { return kLibraryFlags; }
std::span<const FlagWord> InterfaceFlagWords() { return kInterfaceFlags; }
std::span<const FlagWord> CoClassFlagWords() { return kCoClassFlags; }
std::span<const FlagWord> ImplementedFlagWords() { return kImplementedFlags; }

unsigned FlagMask(std::span<const FlagWord> words) {
    unsigned mask = 0;
    for (const FlagWord& entry : words) mask |= entry.value;
    return mask;
}

std::optional<unsigned> FlagFromWord(std::span<const FlagWord> words, std::string_view word) {
    for (const FlagWord& entry : words) {
        if (entry.word == word) return entry.value;
    }
    return std::nullopt;
}

}  // namespace fybootp
