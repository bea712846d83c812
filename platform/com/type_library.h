#pragma once
// The content of a type library: the library's attributes, its interfaces
// with their members in vtable order, and its classes. This is what the
// text form (type_library_text.h) reads and writes and what ITypeLib and
// ITypeInfo (type_info.h) serve.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/com_types.h"
#include "platform/com/guid.h"
#include "platform/com/variant.h"

namespace fybootp {

enum TYPEKIND {
    TKIND_ENUM = 0,
    TKIND_RECORD = 1,
    TKIND_MODULE = 2,
    TKIND_INTERFACE = 3,
    TKIND_DISPATCH = 4,
    TKIND_COCLASS = 5,
    TKIND_ALIAS = 6,
    TKIND_UNION = 7,
};

// The same bits as the DISPATCH_* flags of Invoke.
enum INVOKEKIND {
    INVOKE_FUNC = 1,
    INVOKE_PROPERTYGET = 2,
    INVOKE_PROPERTYPUT = 4,
    INVOKE_PROPERTYPUTREF = 8,
};

enum SYSKIND { SYS_WIN16 = 0, SYS_WIN32 = 1, SYS_MAC = 2, SYS_WIN64 = 3 };

constexpr WORD PARAMFLAG_NONE = 0x0;
constexpr WORD PARAMFLAG_FIN = 0x1;
constexpr WORD PARAMFLAG_FOUT = 0x2;
constexpr WORD PARAMFLAG_FRETVAL = 0x8;

constexpr WORD TYPEFLAG_FAPPOBJECT = 0x1;
constexpr WORD TYPEFLAG_FCANCREATE = 0x2;
constexpr WORD TYPEFLAG_FHIDDEN = 0x10;
constexpr WORD TYPEFLAG_FCONTROL = 0x20;
constexpr WORD TYPEFLAG_FDUAL = 0x40;
constexpr WORD TYPEFLAG_FNONEXTENSIBLE = 0x80;
constexpr WORD TYPEFLAG_FOLEAUTOMATION = 0x100;
constexpr WORD TYPEFLAG_FRESTRICTED = 0x200;

constexpr WORD LIBFLAG_FRESTRICTED = 0x1;
constexpr WORD LIBFLAG_FCONTROL = 0x2;
constexpr WORD LIBFLAG_FHIDDEN = 0x4;
constexpr WORD LIBFLAG_FHASDISKIMAGE = 0x8;

constexpr INT IMPLTYPEFLAG_FDEFAULT = 0x1;
constexpr INT IMPLTYPEFLAG_FSOURCE = 0x2;
constexpr INT IMPLTYPEFLAG_FRESTRICTED = 0x4;

// The standard interfaces an interface of a library may derive from.
constexpr std::string_view kIUnknownName = "IUnknown";
constexpr std::string_view kIDispatchName = "IDispatch";

struct ParamDesc {
    std::string name;         // empty: the parameter has no name of its own
    VARTYPE type = VT_EMPTY;  // VT_I4, VT_BSTR, ...; the pointee when byRef
    bool byRef = false;       // passed as a pointer: the out-parameters
    WORD flags = PARAMFLAG_FIN;

    bool operator==(const ParamDesc&) const = default;
};

struct MemberDesc {
    std::string name;
    MEMBERID memid = 0;  // the DISPID
    INVOKEKIND invokeKind = INVOKE_FUNC;
    std::vector<ParamDesc> params;  // in declaration order; a retval last
    VARTYPE returnType = VT_HRESULT;
    std::string helpString;

    bool operator==(const MemberDesc&) const = default;
};

struct ImplementedInterface {
    std::string name;  // an interface of the same library
    INT flags = 0;     // IMPLTYPEFLAG_*

    bool operator==(const ImplementedInterface&) const = default;
};

// An interface (kind TKIND_INTERFACE, with parent and members) or a class
// (kind TKIND_COCLASS, with implemented interfaces).
struct TypeDesc {
    TYPEKIND kind = TKIND_INTERFACE;
    std::string name;
    GUID guid = IID_NULL;
    WORD flags = 0;  // TYPEFLAG_*
    std::string helpString;
    std::string parent;                            // interfaces: IUnknown or IDispatch
    std::vector<MemberDesc> members;               // interfaces: in vtable order
    std::vector<ImplementedInterface> interfaces;  // classes

    bool operator==(const TypeDesc&) const = default;
};

struct TypeLibraryDesc {
    std::string name;
    GUID libid = IID_NULL;
    WORD majorVersion = 0;
    WORD minorVersion = 0;
    LCID lcid = LOCALE_NEUTRAL;
    SYSKIND syskind = SYS_WIN32;
    WORD flags = 0;  // LIBFLAG_*
    std::string helpString;
    std::vector<TypeDesc> types;  // in declaration order, which is index order

    bool operator==(const TypeLibraryDesc&) const = default;
};

// The vtable index of an interface's first own member: after IUnknown's
// three operations, and IDispatch's four when it derives from IDispatch.
std::size_t FirstVtableIndex(const TypeDesc& type);
// Parameters that receive an argument: all but a retval.
std::size_t InParamCount(const MemberDesc& member);
bool IsRetval(const ParamDesc& param);

bool NamesEqualIgnoringCase(std::string_view a, std::string_view b);

// The rules that every library obeys, checked piece by piece as a library is
// read (so that a reader can name the line at fault) and as a whole for a
// library built in code. Each gives nullopt, or what is wrong.
using RuleViolation = std::optional<std::string>;
RuleViolation CheckLibraryHeader(const TypeLibraryDesc& library);
// type is about to be appended to library.types, still without members or
// implemented interfaces.
RuleViolation CheckNewType(const TypeLibraryDesc& library, const TypeDesc& type);
// member is about to be appended to interface.members.
RuleViolation CheckNewMember(const TypeDesc& interface, const MemberDesc& member);
// implemented is about to be appended to coclass.interfaces.
RuleViolation CheckNewImplemented(const TypeLibraryDesc& library, const TypeDesc& coclass,
                                  const ImplementedInterface& implemented);
// type has all its members or implemented interfaces.
RuleViolation CheckCompletedType(const TypeDesc& type);
RuleViolation ValidateTypeLibrary(const TypeLibraryDesc& library);

}  // namespace fybootp
