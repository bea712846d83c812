#pragma once
// A small dual interface of the tests' own, its type library text and an
// object that implements it, so that the COM layer is exercised without
// any interface of the server.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/com/bstr.h"
#include "platform/com/com_ptr.h"
#include "platform/com/dispatch.h"
#include "platform/com/dispatch_target.h"
#include "platform/com/member_call_table.h"
#include "platform/com/type_info.h"

namespace fybootp::testing {

inline constexpr IID IID_ISample = GuidLiteral("{9D4A2C61-7E35-4B8F-A1C0-6F2E8B3D5A47}");
inline constexpr GUID kSampleLibid = GuidLiteral("{5B0C7E1A-0F3D-4C2B-9A61-3E8D2F4A7B10}");
inline constexpr CLSID CLSID_Sample = GuidLiteral("{3F6B1D84-2A7C-4E95-B0D3-7C1E9A5F2B68}");

// Canonical text: WriteTypeLibraryText gives exactly this back.
inline constexpr std::string_view kSampleTypeLibText =
    "library SAMPLELib {5B0C7E1A-0F3D-4C2B-9A61-3E8D2F4A7B10} 1.0 lcid 0 win32 \"Sample 1.0 "
    "Type Library\"\n"
    "\n"
    "interface ISample {9D4A2C61-7E35-4B8F-A1C0-6F2E8B3D5A47} : IDispatch dual oleautomation "
    "\"ISample Interface\"\n"
    "  propget 1 Count HRESULT (out retval long* pVal) \"property Count\"\n"
    "  propput 1 Count HRESULT (in long) \"property Count\"\n"
    "  propget 2 Label HRESULT (out retval BSTR* pVal) \"property Label\"\n"
    "  propput 2 Label HRESULT (in BSTR) \"property Label\"\n"
    "  method 3 Repeat HRESULT (in BSTR text, in long times, out retval BSTR* pVal) \"method "
    "Repeat\"\n"
    "  method 4 Reset HRESULT () \"method Reset\"\n"
    "\n"
    "coclass Sample {3F6B1D84-2A7C-4E95-B0D3-7C1E9A5F2B68} cancreate \"Sample Class\"\n"
    "  implements ISample default\n";

class ISample : public IDispatch {
public:
    virtual HRESULT get_Count(std::int32_t* pVal) = 0;
    virtual HRESULT put_Count(std::int32_t newVal) = 0;
    virtual HRESULT get_Label(BSTR* pVal) = 0;
    virtual HRESULT put_Label(BSTR newVal) = 0;
    virtual HRESULT Repeat(BSTR text, std::int32_t times, BSTR* pVal) = 0;
    virtual HRESULT Reset() = 0;
};

inline constexpr auto kSampleCalls =
    MakeMemberCallTable<&ISample::get_Count, &ISample::put_Count, &ISample::get_Label,
                        &ISample::put_Label, &ISample::Repeat, &ISample::Reset>();

// Count refuses negative values (E_INVALIDARG); Reset of a zero count
// answers S_FALSE; Repeat refuses a negative count. With m_failLabelGet set,
// get_Label stores text and then fails, as a faulty member might.
class Sample final : public ISample, public DispatchTarget {
public:
    explicit Sample(ITypeInfo* info) : m_info(info) {}

    HRESULT QueryInterface(const IID& iid, void** object) override;
    ULONG AddRef() override { return ++m_references; }
    ULONG Release() override { return --m_references; }

    HRESULT GetTypeInfoCount(UINT* count) override;
    HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT GetIDsOfNames(const IID& iid, const OLECHAR* const* names, UINT count, LCID lcid,
                          DISPID* ids) override;
    HRESULT Invoke(DISPID member, const IID& iid, LCID lcid, WORD flags, DISPPARAMS* params,
                   Variant* result, EXCEPINFO* exception, UINT* argErr) override;

    HRESULT get_Count(std::int32_t* pVal) override;
    HRESULT put_Count(std::int32_t newVal) override;
    HRESULT get_Label(BSTR* pVal) override;
    HRESULT put_Label(BSTR newVal) override;
    HRESULT Repeat(BSTR text, std::int32_t times, BSTR* pVal) override;
    HRESULT Reset() override;

    HRESULT CallMember(std::size_t vtableIndex, std::span<Variant> args, Variant* result) override {
        return kSampleCalls.Call(*this, vtableIndex, args, result);
    }

    std::int32_t m_count = 0;
    std::string m_label;
    int m_memberCalls = 0;
    bool m_failLabelGet = false;

private:
    ITypeInfo* m_info;
    ULONG m_references = 1;
};

}  // namespace fybootp::testing
