#include "tests/platform/com_sample.h"

namespace fybootp::testing {

HRESULT Sample::QueryInterface(const IID& iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_ISample) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<ISample*>(this);
    return S_OK;
}

HRESULT Sample::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT Sample::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info == nullptr) return E_POINTER;
    m_info->AddRef();
    *info = m_info;
    return S_OK;
}

HRESULT Sample::GetIDsOfNames(const IID& iid, const OLECHAR* const* names, UINT count, LCID,
                              DISPID* ids) {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    return m_info->GetIDsOfNames(names, count, ids);
}

HRESULT Sample::Invoke(DISPID member, const IID& iid, LCID, WORD flags, DISPPARAMS* params,
                       Variant* result, EXCEPINFO* exception, UINT* argErr) {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    return m_info->Invoke(this, member, flags, params, result, exception, argErr);
}

HRESULT Sample::get_Count(std::int32_t* pVal) {
    ++m_memberCalls;
    if (pVal == nullptr) return E_POINTER;
    *pVal = m_count;
    return S_OK;
}

HRESULT Sample::put_Count(std::int32_t newVal) {
    ++m_memberCalls;
    if (newVal < 0) return E_INVALIDARG;
    m_count = newVal;
    return S_OK;
}

HRESULT Sample::get_Label(BSTR* pVal) {
    ++m_memberCalls;
    if (pVal == nullptr) return E_POINTER;
    *pVal = SysAllocString(m_label);
    return m_failLabelGet ? E_FAIL : S_OK;
}

HRESULT Sample::put_Label(BSTR newVal) {
    ++m_memberCalls;
    m_label = BstrText(newVal);
    return S_OK;
}

HRESULT Sample::Repeat(BSTR text, std::int32_t times, BSTR* pVal) {
    ++m_memberCalls;
    if (pVal == nullptr) return E_POINTER;
    if (times < 0) return E_INVALIDARG;
    std::string out;
    for (std::int32_t i = 0; i < times; ++i) out += BstrText(text);
    *pVal = SysAllocString(out);
    return S_OK;
}

HRESULT Sample::Reset() {
    ++m_memberCalls;
    if (m_count == 0) return S_FALSE;
    m_count = 0;
    return S_OK;
}

}  // namespace fybootp::testing
