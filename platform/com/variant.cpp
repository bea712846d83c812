#include "platform/com/variant.h"

#include <cassert>
#include <utility>

namespace fybootp {

Variant::Variant(const Variant& other)
    : m_type(other.m_type),
      m_integer(other.m_integer),
      m_real(other.m_real),
      m_text(other.m_text.Copy()) {}

Variant::Variant(Variant&& other) noexcept
    : m_type(std::exchange(other.m_type, VT_EMPTY)),
      m_integer(std::exchange(other.m_integer, 0)),
      m_real(std::exchange(other.m_real, 0.0)),
      m_text(std::move(other.m_text)) {}

Variant& Variant::operator=(const Variant& other) {
    if (this != &other) *this = Variant(other);
    return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
    if (this != &other) {
        m_type = std::exchange(other.m_type, VT_EMPTY);
        m_integer = std::exchange(other.m_integer, 0);
        m_real = std::exchange(other.m_real, 0.0);
        m_text = std::move(other.m_text);
    }
    return *this;
}

Variant Variant::Integer(VARTYPE type, std::int64_t value) noexcept {
    Variant v;
    v.m_type = type;
    v.m_integer = value;
    return v;
}

Variant Variant::FromR8(double value) {
    Variant v;
    v.m_type = VT_R8;
    v.m_real = value;
    return v;
}

Variant Variant::Null() {
    Variant v;
    v.m_type = VT_NULL;
    return v;
}

Variant Variant::FromText(std::string_view text) { return Attach(Bstr(text)); }

Variant Variant::FromBstr(BSTR text) {
    return Attach(text == nullptr ? Bstr() : Bstr(BstrText(text)));
}

Variant Variant::Attach(Bstr text) noexcept {
    Variant v;
    v.m_type = VT_BSTR;
    v.m_text = std::move(text);
    return v;
}

void Variant::Clear() noexcept { *this = Variant(); }

std::int32_t Variant::I4() const {
    assert(m_type == VT_I4 || m_type == VT_INT);
    return static_cast<std::int32_t>(m_integer);
}

VARIANT_BOOL Variant::Bool() const {
    assert(m_type == VT_BOOL);
    return static_cast<VARIANT_BOOL>(m_integer);
}

HRESULT Variant::Scode() const {
    assert(m_type == VT_ERROR);
    return static_cast<HRESULT>(m_integer);
}

double Variant::R8() const {
    assert(m_type == VT_R8);
    return m_real;
}

BSTR Variant::BstrVal() const {
    assert(m_type == VT_BSTR);
    return m_text.Get();
}

std::string_view Variant::Text() const {
    assert(m_type == VT_BSTR);
    return m_text.View();
}

std::int64_t Variant::IntegerValue() const {
    assert(IsIntegerType(m_type));
    return m_integer;
}

bool operator==(const Variant& a, const Variant& b) {
    if (a.m_type != b.m_type) return false;
    if (a.m_type == VT_R8) return a.m_real == b.m_real;
    if (a.m_type == VT_BSTR) return a.m_text.View() == b.m_text.View();
    return a.m_integer == b.m_integer;
}

bool IsIntegerType(VARTYPE type) {
    switch (type) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_BOOL:
        case VT_ERROR:
            return true;
        default:
            return false;
    }
}

bool IsSupportedType(VARTYPE type) {
    return type == VT_EMPTY || type == VT_NULL || type == VT_R8 || type == VT_BSTR ||
           IsIntegerType(type);
}

}  // namespace fybootp
