#pragma once
// VARIANT: one value of the automation types that arguments and results of
// IDispatch::Invoke travel in. A Variant owns its text: copying one copies
// the text (VariantCopy), destroying or clearing one frees it (VariantClear).
// Only the types listed below can be held, so a Variant never carries a
// type tag that the code receiving it does not know.

#include <cstdint>
#include <string_view>

#include "platform/com/bstr.h"
#include "platform/com/hresult.h"

namespace fybootp {

using VARTYPE = std::uint16_t;

// Automation booleans: true is all bits set.
using VARIANT_BOOL = std::int16_t;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R8 = 5,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_PTR = 26,
    VT_BYREF = 0x4000,
};

class Variant {
public:
    Variant() noexcept = default;  // VT_EMPTY
    Variant(const Variant& other);
    Variant(Variant&& other) noexcept;
    Variant& operator=(const Variant& other);
    Variant& operator=(Variant&& other) noexcept;
    ~Variant() = default;

    static Variant FromI1(std::int8_t value) { return Integer(VT_I1, value); }
    static Variant FromUI1(std::uint8_t value) { return Integer(VT_UI1, value); }
    static Variant FromI2(std::int16_t value) { return Integer(VT_I2, value); }
    static Variant FromUI2(std::uint16_t value) { return Integer(VT_UI2, value); }
    static Variant FromI4(std::int32_t value) { return Integer(VT_I4, value); }
    static Variant FromUI4(std::uint32_t value) { return Integer(VT_UI4, value); }
    static Variant FromInt(std::int32_t value) { return Integer(VT_INT, value); }
    static Variant FromUInt(std::uint32_t value) { return Integer(VT_UINT, value); }
    static Variant FromR8(double value);
    static Variant FromBool(bool value) { return Integer(VT_BOOL, value ? VARIANT_TRUE : 0); }
    // VT_ERROR; with DISP_E_PARAMNOTFOUND it marks an optional argument left out.
    static Variant FromError(HRESULT scode) { return Integer(VT_ERROR, scode); }
    static Variant Missing() { return FromError(DISP_E_PARAMNOTFOUND); }
    static Variant Null();
    // VT_BSTR with a new copy of text.
    static Variant FromText(std::string_view text);
    // VT_BSTR with a copy of a BSTR that stays the caller's; null stays null.
    static Variant FromBstr(BSTR text);
    // VT_BSTR that takes over the text.
    static Variant Attach(Bstr text) noexcept;

    VARTYPE Type() const noexcept { return m_type; }
    // Frees the text and becomes VT_EMPTY.
    void Clear() noexcept;

    // Typed reads; each requires the matching Type() (checked by assert).
    std::int32_t I4() const;        // VT_I4, VT_INT
    VARIANT_BOOL Bool() const;      // VT_BOOL
    HRESULT Scode() const;          // VT_ERROR
    double R8() const;              // VT_R8
    BSTR BstrVal() const;           // VT_BSTR; borrowed, may be null
    std::string_view Text() const;  // VT_BSTR; null reads as ""
    // Any integer-valued type (VT_I1 ... VT_UINT, VT_BOOL, VT_ERROR).
    std::int64_t IntegerValue() const;

    // Types of the same kind compare by value; VT_BSTR by text (null equals "").
    friend bool operator==(const Variant& a, const Variant& b);

private:
    static Variant Integer(VARTYPE type, std::int64_t value) noexcept;

    VARTYPE m_type = VT_EMPTY;
    // Every integer-valued type is held here, in range for its type; a
    // tagged set of fields instead of a union keeps every read defined.
    std::int64_t m_integer = 0;
    double m_real = 0.0;
    Bstr m_text;
};

// True for the integer-valued types above (not VT_R8, VT_BSTR, VT_EMPTY, VT_NULL).
bool IsIntegerType(VARTYPE type);
// True for every type a Variant can hold.
bool IsSupportedType(VARTYPE type);

}  // namespace fybootp
