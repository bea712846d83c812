#pragma once
// MemberCallTable: a DispatchTarget's call table built from an interface's
// member functions, listed in vtable order:
//
//   constexpr auto kCalls = MakeMemberCallTable<&ISample::get_Count,
//       &ISample::put_Count, &ISample::Describe>();
//   HRESULT Sample::CallMember(std::size_t i, std::span<Variant> args, Variant* r) {
//       return kCalls.Call(*this, i, args, r);
//   }
//
// Each entry converts nothing: it checks that the arguments have exactly the
// member's parameter types, unpacks them, calls the member and packs the
// retval into the result. The table also records every member's signature,
// so a test can hold it against the type library member by member
// (SignatureMatches).
//
// Parameter types: std::int32_t (long), BSTR, double, and a pointer to one of
// them as the last parameter, which is the retval.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "platform/com/bstr.h"
#include "platform/com/dispatch.h"
#include "platform/com/dispatch_target.h"
#include "platform/com/type_library.h"
#include "platform/com/variant.h"

namespace fybootp {

struct ParamSlot {
    VARTYPE type = VT_EMPTY;  // the pointee's type for a retval
    bool retval = false;
};

constexpr std::size_t kMaxMemberParams = 8;

struct MemberSignature {
    std::array<ParamSlot, kMaxMemberParams> params{};
    std::size_t count = 0;
};

// True when the member's parameters have exactly the described types,
// flags and order.
inline bool SignatureMatches(const MemberSignature& signature, const MemberDesc& member) {
    if (signature.count != member.params.size()) return false;
    for (std::size_t i = 0; i < signature.count; ++i) {
        const ParamSlot& slot = signature.params[i];
        const ParamDesc& param = member.params[i];
        if (slot.type != param.type || slot.retval != IsRetval(param) ||
            slot.retval != param.byRef) {
            return false;
        }
    }
    return member.returnType == VT_HRESULT;
}

namespace call_detail {

template <class>
inline constexpr bool kNoAutomationForm = false;

// How one C++ parameter type travels: an in-parameter reads its argument,
// a retval lends the member a local and moves it into the result.
template <class P>
struct Param {
    static_assert(kNoAutomationForm<P>, "parameter type has no automation form here");
};

template <class T, VARTYPE kType, T (Variant::*kRead)() const>
struct InParam {
    static constexpr ParamSlot kSlot{kType, false};
    struct Holder {
        Holder(std::span<Variant> args, std::size_t index) : m_arg(args[index]) {}
        T Pass() const { return (m_arg.*kRead)(); }
        void Finish(Variant*) {}
        const Variant& m_arg;
    };
};

template <class T, VARTYPE kType, Variant (*kMake)(T)>
struct RetvalParam {
    static constexpr ParamSlot kSlot{kType, true};
    struct Holder {
        Holder(std::span<Variant>, std::size_t) {}
        T* Pass() { return &m_value; }
        void Finish(Variant* result) { *result = kMake(m_value); }
        T m_value{};
    };
};

template <>
struct Param<std::int32_t> : InParam<std::int32_t, VT_I4, &Variant::I4> {};
template <>
struct Param<double> : InParam<double, VT_R8, &Variant::R8> {};
template <>
struct Param<BSTR> : InParam<BSTR, VT_BSTR, &Variant::BstrVal> {};
template <>
struct Param<std::int32_t*> : RetvalParam<std::int32_t, VT_I4, &Variant::FromI4> {};
template <>
struct Param<double*> : RetvalParam<double, VT_R8, &Variant::FromR8> {};

// The text a member stores is owned here until it moves into the result,
// so a failing member's text is freed rather than lost.
template <>
struct Param<BSTR*> {
    static constexpr ParamSlot kSlot{VT_BSTR, true};
    struct Holder {
        Holder(std::span<Variant>, std::size_t) {}
        BSTR* Pass() { return m_value.Receive(); }
        void Finish(Variant* result) { *result = Variant::Attach(std::move(m_value)); }
        Bstr m_value;
    };
};

template <auto Member, class = decltype(Member)>
struct Thunk;

template <auto Member, class C, class... A>
struct Thunk<Member, HRESULT (C::*)(A...)> {
    using Interface = C;
    static constexpr std::size_t kCount = sizeof...(A);
    static_assert(kCount <= kMaxMemberParams, "too many parameters");
    static constexpr std::array<ParamSlot, kCount> kSlots{Param<A>::kSlot...};
    static constexpr bool kHasRetval = kCount > 0 && kSlots[kCount - 1].retval;
    static constexpr std::size_t kInCount = kCount - (kHasRetval ? 1 : 0);

    static constexpr bool RetvalOnlyLast() {
        for (std::size_t i = 0; i < kInCount; ++i) {
            if (kSlots[i].retval) return false;
        }
        return true;
    }
    static_assert(RetvalOnlyLast(), "only the last parameter may be a retval");

    static HRESULT Call(C& object, std::span<Variant> args, Variant* result) {
        if (args.size() != kInCount) return DISP_E_BADPARAMCOUNT;
        for (std::size_t i = 0; i < kInCount; ++i) {
            if (args[i].Type() != kSlots[i].type) return DISP_E_TYPEMISMATCH;
        }
        if (kHasRetval && result == nullptr) return E_POINTER;
        return CallWith(object, args, result, std::index_sequence_for<A...>{});
    }

    template <std::size_t... I>
    static HRESULT CallWith(C& object, [[maybe_unused]] std::span<Variant> args,
                            [[maybe_unused]] Variant* result, std::index_sequence<I...>) {
        std::tuple<typename Param<A>::Holder...> holders{typename Param<A>::Holder(args, I)...};
        const HRESULT hr = (object.*Member)(std::get<I>(holders).Pass()...);
        if (Succeeded(hr)) (std::get<I>(holders).Finish(result), ...);
        return hr;
    }

    static constexpr MemberSignature Signature() {
        MemberSignature signature;
        for (std::size_t i = 0; i < kCount; ++i) signature.params[i] = kSlots[i];
        signature.count = kCount;
        return signature;
    }
};

}  // namespace call_detail

template <class Interface>
struct MemberCall {
    HRESULT (*call)(Interface&, std::span<Variant>, Variant*);
    MemberSignature signature;
};

template <class Interface, std::size_t N>
class MemberCallTable {
public:
    // Interfaces that derive directly from IDispatch or IUnknown.
    static constexpr std::size_t kFirstVtableIndex =
        std::is_base_of_v<IDispatch, Interface> ? 7 : 3;

    constexpr explicit MemberCallTable(std::array<MemberCall<Interface>, N> calls)
        : m_calls(calls) {}

    // DISP_E_MEMBERNOTFOUND for an index that is not one of the table's
    // members (IUnknown's and IDispatch's own are not called this way).
    HRESULT Call(Interface& object, std::size_t vtableIndex, std::span<Variant> args,
                 Variant* result) const {
        if (vtableIndex < kFirstVtableIndex || vtableIndex - kFirstVtableIndex >= N) {
            return DISP_E_MEMBERNOTFOUND;
        }
        return m_calls[vtableIndex - kFirstVtableIndex].call(object, args, result);
    }

    static constexpr std::size_t Count() { return N; }

    // Null outside the table.
    const MemberSignature* SignatureAt(std::size_t vtableIndex) const {
        if (vtableIndex < kFirstVtableIndex || vtableIndex - kFirstVtableIndex >= N) {
            return nullptr;
        }
        return &m_calls[vtableIndex - kFirstVtableIndex].signature;
    }

private:
    std::array<MemberCall<Interface>, N> m_calls;
};

template <auto First, auto... Rest>
constexpr auto MakeMemberCallTable() {
    using Interface = typename call_detail::Thunk<First>::Interface;
    static_assert((std::is_same_v<Interface, typename call_detail::Thunk<Rest>::Interface> && ...),
                  "all members must belong to one interface");
    return MemberCallTable<Interface, 1 + sizeof...(Rest)>({
        MemberCall<Interface>{&call_detail::Thunk<First>::Call,
                              call_detail::Thunk<First>::Signature()},
        MemberCall<Interface>{&call_detail::Thunk<Rest>::Call,
                              call_detail::Thunk<Rest>::Signature()}...,
    });
}

}  // namespace fybootp
