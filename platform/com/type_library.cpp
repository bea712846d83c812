#include "platform/com/type_library.h"

#include <algorithm>

#include "platform/com/dispatch.h"
#include "platform/com/type_library_vocabulary.h"

namespace fybootp {
namespace {

bool IsIdentifier(std::string_view name) {
    if (name.empty()) return false;
    auto isLetter = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    };
    if (!isLetter(name.front())) return false;
    return std::all_of(name.begin(), name.end(),
                       [&](char c) { return isLetter(c) || (c >= '0' && c <= '9'); });
}

// Built by appending: GCC 12 warns falsely (-Wrestrict) on "'" + std::string&&.
std::string Quote(std::string_view name) {
    std::string quoted = "'";
    quoted.append(name);
    quoted += '\'';
    return quoted;
}

RuleViolation CheckFlags(WORD flags, std::span<const FlagWord> words, std::string_view what) {
    if ((flags & ~FlagMask(words)) != 0)
        return std::string("unknown ") + std::string(what) + " flag";
    return std::nullopt;
}

RuleViolation CheckParams(const MemberDesc& member) {
    const std::size_t count = member.params.size();
    for (std::size_t i = 0; i < count; ++i) {
        const ParamDesc& param = member.params[i];
        const std::string which =
            "parameter " + std::to_string(i + 1) + " of " + Quote(member.name);
        if (ParamTypeWord(param.type).empty()) return which + " has a type that is not allowed";
        if (!param.name.empty() && !IsIdentifier(param.name)) return which + " has no valid name";
        for (std::size_t j = 0; j < i; ++j) {
            if (!param.name.empty() && NamesEqualIgnoringCase(param.name, member.params[j].name)) {
                return which + " repeats the name " + Quote(param.name);
            }
        }
        if (param.flags == PARAMFLAG_FIN) {
            // By value only: Invoke has nothing to point an in-pointer at.
            if (param.byRef) return which + " is 'in' and must not be a pointer";
        } else if (param.flags == (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)) {
            if (!param.byRef) return which + " is 'out retval' and must be a pointer";
            if (i + 1 != count) return which + " is 'out retval' and must be the last";
        } else {
            return which + " must be 'in' or 'out retval'";
        }
    }
    const bool hasRetval = count > 0 && IsRetval(member.params.back());
    if (member.invokeKind == INVOKE_PROPERTYGET && !hasRetval) {
        return "propget " + Quote(member.name) + " needs an 'out retval' parameter";
    }
    if (member.invokeKind == INVOKE_PROPERTYPUT && (hasRetval || count == 0)) {
        return "propput " + Quote(member.name) + " takes 'in' parameters only, at least one";
    }
    return std::nullopt;
}

}  // namespace

std::size_t FirstVtableIndex(const TypeDesc& type) { return type.parent == kIDispatchName ? 7 : 3; }

bool IsRetval(const ParamDesc& param) { return (param.flags & PARAMFLAG_FRETVAL) != 0; }

std::size_t InParamCount(const MemberDesc& member) {
    return static_cast<std::size_t>(
        std::count_if(member.params.begin(), member.params.end(),
                      [](const ParamDesc& param) { return !IsRetval(param); }));
}

bool NamesEqualIgnoringCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

RuleViolation CheckLibraryHeader(const TypeLibraryDesc& library) {
    if (!IsIdentifier(library.name)) return "the library has no valid name";
    if (library.libid == IID_NULL) return "the library's LIBID is the null GUID";
    if (SyskindWord(library.syskind).empty()) return "unknown system kind";
    return CheckFlags(library.flags, LibraryFlagWords(), "library");
}

RuleViolation CheckNewType(const TypeLibraryDesc& library, const TypeDesc& type) {
    if (!IsIdentifier(type.name)) return "a type has no valid name";
    if (NamesEqualIgnoringCase(type.name, kIUnknownName) ||
        NamesEqualIgnoringCase(type.name, kIDispatchName)) {
        return Quote(type.name) + " is the name of a standard interface";
    }
    if (type.guid == IID_NULL) return Quote(type.name) + " has the null GUID";
    if (type.guid == library.libid) return Quote(type.name) + " has the library's GUID";
    for (const TypeDesc& other : library.types) {
        if (NamesEqualIgnoringCase(other.name, type.name)) {
            return "the type name " + Quote(type.name) + " is already used";
        }
        if (other.guid == type.guid) {
            return Quote(type.name) + " has the GUID of " + Quote(other.name);
        }
    }
    if (type.kind == TKIND_INTERFACE) {
        if (type.parent != kIUnknownName && type.parent != kIDispatchName) {
            return Quote(type.name) + " must derive from IUnknown or IDispatch";
        }
        if ((type.flags & TYPEFLAG_FDUAL) != 0 && type.parent != kIDispatchName) {
            return "dual interface " + Quote(type.name) + " must derive from IDispatch";
        }
        return CheckFlags(type.flags, InterfaceFlagWords(), "interface");
    }
    if (type.kind == TKIND_COCLASS) {
        if (!type.parent.empty()) return "coclass " + Quote(type.name) + " has no parent";
        return CheckFlags(type.flags, CoClassFlagWords(), "coclass");
    }
    return Quote(type.name) + " is neither an interface nor a coclass";
}

RuleViolation CheckNewMember(const TypeDesc& interface, const MemberDesc& member) {
    if (!IsIdentifier(member.name)) return "a member has no valid name";
    // -1 means "no member" to GetIDsOfNames; -3 names a put's value argument.
    if (member.memid == DISPID_UNKNOWN || member.memid == DISPID_PROPERTYPUT) {
        return "DISPID " + std::to_string(member.memid) + " is reserved";
    }
    if (InvokeKindWord(member.invokeKind).empty()) return Quote(member.name) + " has no valid kind";
    if (member.returnType != VT_HRESULT) return Quote(member.name) + " must return HRESULT";
    // A name is found by GetIDsOfNames and a DISPID by Invoke, so each must
    // lead to one member, or to the get and the put of one property.
    for (const MemberDesc& other : interface.members) {
        const bool sameName = NamesEqualIgnoringCase(other.name, member.name);
        const bool sameId = other.memid == member.memid;
        if (!sameName && !sameId) continue;
        const std::string clash = "in " + Quote(interface.name) + ", " + Quote(member.name) +
                                  " (DISPID " + std::to_string(member.memid) + ")";
        if (sameName && !sameId) return "duplicate name " + clash;
        if (sameId && other.name != member.name) {
            return "duplicate DISPID " + clash + ", already " + Quote(other.name);
        }
        if (other.invokeKind == member.invokeKind || member.invokeKind == INVOKE_FUNC ||
            other.invokeKind == INVOKE_FUNC) {
            return "duplicate member " + clash;
        }
    }
    return CheckParams(member);
}

RuleViolation CheckNewImplemented(const TypeLibraryDesc& library, const TypeDesc& coclass,
                                  const ImplementedInterface& implemented) {
    const bool declared = std::any_of(
        library.types.begin(), library.types.end(),
        [&](const TypeDesc& t) { return t.kind == TKIND_INTERFACE && t.name == implemented.name; });
    if (!declared) return Quote(implemented.name) + " is not an interface declared before";
    if ((static_cast<unsigned>(implemented.flags) & ~FlagMask(ImplementedFlagWords())) != 0) {
        return "unknown implements flag";
    }
    const INT side = implemented.flags & IMPLTYPEFLAG_FSOURCE;
    for (const ImplementedInterface& other : coclass.interfaces) {
        if (other.name == implemented.name) {
            return Quote(coclass.name) + " implements " + Quote(implemented.name) + " twice";
        }
        const bool bothDefault = (other.flags & implemented.flags & IMPLTYPEFLAG_FDEFAULT) != 0;
        if (bothDefault && (other.flags & IMPLTYPEFLAG_FSOURCE) == side) {
            return Quote(coclass.name) + " has a second default interface";
        }
    }
    return std::nullopt;
}

RuleViolation CheckCompletedType(const TypeDesc& type) {
    if (type.kind == TKIND_COCLASS && type.interfaces.empty()) {
        return "coclass " + Quote(type.name) + " implements no interface";
    }
    if (type.kind == TKIND_COCLASS && !type.members.empty()) {
        return "coclass " + Quote(type.name) + " cannot have members";
    }
    if (type.kind == TKIND_INTERFACE && !type.interfaces.empty()) {
        return "interface " + Quote(type.name) + " cannot implement interfaces";
    }
    return std::nullopt;
}

RuleViolation ValidateTypeLibrary(const TypeLibraryDesc& library) {
    if (auto violation = CheckLibraryHeader(library)) return violation;
    // Replays the library declaration by declaration, as a reader builds it.
    TypeLibraryDesc built = library;
    built.types.clear();
    for (const TypeDesc& type : library.types) {
        TypeDesc bare = type;
        bare.members.clear();
        bare.interfaces.clear();
        if (auto violation = CheckNewType(built, bare)) return violation;
        built.types.push_back(bare);
        TypeDesc& growing = built.types.back();
        for (const MemberDesc& member : type.members) {
            if (growing.kind != TKIND_INTERFACE) break;
            if (auto violation = CheckNewMember(growing, member)) return violation;
            growing.members.push_back(member);
        }
        for (const ImplementedInterface& implemented : type.interfaces) {
            if (growing.kind != TKIND_COCLASS) break;
            if (auto violation = CheckNewImplemented(built, growing, implemented)) return violation;
            growing.interfaces.push_back(implemented);
        }
        if (auto violation = CheckCompletedType(type)) return violation;
    }
    return std::nullopt;
}

}  // namespace fybootp
