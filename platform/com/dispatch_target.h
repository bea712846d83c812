#pragma once
// DispatchTarget: how a call reaches an object's member without a raw
// vtable. A call is "this interface's member at this vtable index, with
// these arguments", which is what Invoke produces from a DISPID and what a
// transport carries from another process.

#include <cstddef>
#include <span>

#include "platform/com/hresult.h"
#include "platform/com/variant.h"

namespace fybootp {

class DispatchTarget {
public:
    // vtableIndex: the member's place in its interface's table of operations,
    // counting IUnknown's three (and IDispatch's four) first.
    // args: one per parameter except a retval, in declaration order, each
    // already of its parameter's type. A mismatch in count or type gives
    // DISP_E_BADPARAMCOUNT or DISP_E_TYPEMISMATCH, never a call.
    // result: receives the retval's value when the member succeeds.
    // Returns the member's status; failures are statuses, not exceptions.
    virtual HRESULT CallMember(std::size_t vtableIndex, std::span<Variant> args,
                               Variant* result) = 0;

protected:
    virtual ~DispatchTarget() = default;
};

}  // namespace fybootp
