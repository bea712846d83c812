#pragma once
// Late binding driven by an interface's description: the work behind
// ITypeInfo::GetIDsOfNames and ITypeInfo::Invoke.

#include "platform/com/dispatch.h"
#include "platform/com/dispatch_target.h"
#include "platform/com/type_library.h"

namespace fybootp {

// names[0] is looked up among the members, names[1..] among that member's
// parameters, all without regard to case. ids[0] is the member's DISPID,
// ids[i] the position of parameter names[i] (its DISPID as a named
// argument). A name not found gives DISP_E_UNKNOWNNAME and DISPID_UNKNOWN in
// its slot; an unknown member name fills every slot so.
HRESULT GetIDsOfNamesFromType(const TypeDesc& type, const OLECHAR* const* names, UINT count,
                              MEMBERID* ids);

// Finds the member with DISPID member whose kind is among flags (the
// DISPATCH_* bits equal the INVOKE_* kinds), places the arguments (the
// named ones by position, DISPID_PROPERTYPUT as a put's value; the
// positional ones in reverse, as DISPPARAMS holds them), converts each to
// its parameter's type with VariantChangeType and calls the member at its
// vtable index on instance.
//
// Statuses: DISP_E_MEMBERNOTFOUND (no such member and kind),
// DISP_E_BADPARAMCOUNT (argument count differs from the member's
// parameters; none is optional), DISP_E_PARAMNOTFOUND (a named argument
// that matches no free parameter), DISP_E_PARAMNOTOPTIONAL (an argument
// marked missing), the conversion's DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW;
// with each of the last four *argErr is the argument's index in rgvarg.
// A member that fails gives DISP_E_EXCEPTION with its status in
// exception->scode, or, without an exception record to carry it, its status
// itself. A member that succeeds gives its own status (S_FALSE stays
// S_FALSE) and its retval in *result (VT_EMPTY when it has none).
HRESULT InvokeFromType(const TypeDesc& type, DispatchTarget* instance, MEMBERID member, WORD flags,
                       DISPPARAMS* params, Variant* result, EXCEPINFO* exception, UINT* argErr);

}  // namespace fybootp
