#include "platform/com/dispatch_invoke.h"

#include <new>
#include <optional>
#include <vector>

#include "platform/com/variant_convert.h"

namespace fybootp {
namespace {

std::optional<std::size_t> FindMember(const TypeDesc& type, MEMBERID member, WORD flags) {
    for (std::size_t i = 0; i < type.members.size(); ++i) {
        const MemberDesc& candidate = type.members[i];
        if (candidate.memid == member && (candidate.invokeKind & flags) != 0) return i;
    }
    return std::nullopt;
}

// The argument (by index in rgvarg) that feeds each in-parameter.
HRESULT PlaceArguments(const MemberDesc& member, const DISPPARAMS& params,
                       std::vector<UINT>* sources, UINT* argErr) {
    const std::size_t inCount = InParamCount(member);
    if (params.cArgs != inCount) return DISP_E_BADPARAMCOUNT;
    constexpr UINT kUnplaced = ~0u;
    sources->assign(inCount, kUnplaced);
    const UINT positional = params.cArgs - params.cNamedArgs;
    for (UINT k = 0; k < positional; ++k) (*sources)[k] = params.cArgs - 1 - k;
    for (UINT i = 0; i < params.cNamedArgs; ++i) {
        DISPID position = params.rgdispidNamedArgs[i];
        if (position == DISPID_PROPERTYPUT && member.invokeKind == INVOKE_PROPERTYPUT) {
            position = static_cast<DISPID>(inCount) - 1;
        }
        const bool free = position >= 0 && static_cast<std::size_t>(position) < inCount &&
                          (*sources)[static_cast<std::size_t>(position)] == kUnplaced;
        if (!free) {
            if (argErr != nullptr) *argErr = i;
            return DISP_E_PARAMNOTFOUND;
        }
        (*sources)[static_cast<std::size_t>(position)] = i;
    }
    return S_OK;
}

HRESULT ConvertArguments(const MemberDesc& member, const DISPPARAMS& params,
                         const std::vector<UINT>& sources, std::vector<Variant>* converted,
                         UINT* argErr) {
    converted->resize(sources.size());
    for (std::size_t k = 0; k < sources.size(); ++k) {
        const Variant& argument = params.rgvarg[sources[k]];
        HRESULT hr = S_OK;
        if (argument.Type() == VT_ERROR && argument.Scode() == DISP_E_PARAMNOTFOUND) {
            hr = DISP_E_PARAMNOTOPTIONAL;
        } else if (member.params[k].type == VT_VARIANT) {
            (*converted)[k] = argument;
        } else {
            hr = VariantChangeType(&(*converted)[k], argument, 0, member.params[k].type);
        }
        if (Failed(hr)) {
            if (argErr != nullptr) *argErr = sources[k];
            return hr;
        }
    }
    return S_OK;
}

HRESULT LookUpNames(const TypeDesc& type, const OLECHAR* const* names, UINT count, MEMBERID* ids) {
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    // The get and the put of a property share a name; their parameters are
    // searched in vtable order.
    std::vector<const MemberDesc*> named;
    for (const MemberDesc& member : type.members) {
        if (NamesEqualIgnoringCase(member.name, names[0])) named.push_back(&member);
    }
    if (named.empty()) return DISP_E_UNKNOWNNAME;
    ids[0] = named.front()->memid;
    HRESULT hr = S_OK;
    for (UINT i = 1; i < count; ++i) {
        for (const MemberDesc* member : named) {
            for (std::size_t p = 0; p < member->params.size() && ids[i] == DISPID_UNKNOWN; ++p) {
                const std::string& name = member->params[p].name;
                if (!name.empty() && NamesEqualIgnoringCase(name, names[i])) {
                    ids[i] = static_cast<MEMBERID>(p);
                }
            }
        }
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

bool WellFormed(const DISPPARAMS& params) {
    if (params.cNamedArgs > params.cArgs) return false;
    if (params.cArgs > 0 && params.rgvarg == nullptr) return false;
    return params.cNamedArgs == 0 || params.rgdispidNamedArgs != nullptr;
}

}  // namespace

HRESULT GetIDsOfNamesFromType(const TypeDesc& type, const OLECHAR* const* names, UINT count,
                              MEMBERID* ids) {
    if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) {
        if (names[i] == nullptr) return E_INVALIDARG;
    }
    try {
        return LookUpNames(type, names, count, ids);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT InvokeFromType(const TypeDesc& type, DispatchTarget* instance, MEMBERID member, WORD flags,
                       DISPPARAMS* params, Variant* result, EXCEPINFO* exception, UINT* argErr) {
    if (instance == nullptr || params == nullptr || !WellFormed(*params)) return E_INVALIDARG;
    const auto index = FindMember(type, member, flags);
    if (!index) return DISP_E_MEMBERNOTFOUND;
    const MemberDesc& desc = type.members[*index];
    try {
        std::vector<UINT> sources;
        HRESULT hr = PlaceArguments(desc, *params, &sources, argErr);
        if (Failed(hr)) return hr;
        std::vector<Variant> converted;
        hr = ConvertArguments(desc, *params, sources, &converted, argErr);
        if (Failed(hr)) return hr;
        Variant value;
        hr = instance->CallMember(FirstVtableIndex(type) + *index, converted, &value);
        if (Failed(hr)) {
            if (exception == nullptr) return hr;
            *exception = EXCEPINFO{};
            exception->scode = hr;
            return DISP_E_EXCEPTION;
        }
        if (result != nullptr) *result = std::move(value);
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace fybootp
