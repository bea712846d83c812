#pragma once
// Conversions between automation types, as IDispatch::Invoke applies them
// to arguments and as the interface applies them to text it reads.
//
// Text is read without regard to the caller's locale:
//  - to an integer type: optional blanks, an optional sign, one or more
//    decimal digits, optional blanks. A number outside the target's range
//    gives DISP_E_OVERFLOW; any other text DISP_E_TYPEMISMATCH.
//  - to VT_R8: the same frame around a decimal number with optional
//    fraction and exponent.
//  - to VT_BOOL: a decimal integer as above (0 is false, any other value
//    true, however many digits it has) or the word true or false in any
//    case; anything else DISP_E_TYPEMISMATCH.
// Numbers become decimal text; a boolean becomes "-1" or "0", or "True" or
// "False" with VARIANT_ALPHABOOL. A boolean converts to a number as -1 or 0,
// a number to a boolean as nonzero; VT_R8 to an integer rounds half to even.
// VT_EMPTY converts to 0, "" and false; VT_NULL and VT_ERROR convert only to
// their own type (and to VT_EMPTY, which clears).

#include <cstdint>
#include <string_view>

#include "platform/com/hresult.h"
#include "platform/com/variant.h"

namespace fybootp {

constexpr std::uint16_t VARIANT_ALPHABOOL = 0x2;

// Converts source to type into *dest (which may be &source). On failure
// *dest is unchanged. DISP_E_BADVARTYPE for a type a Variant cannot hold.
HRESULT VariantChangeType(Variant* dest, const Variant& source, std::uint16_t flags, VARTYPE type);

// The text rules above on their own, for callers that read a text field.
HRESULT VarI4FromStr(std::string_view text, std::int32_t* value);
HRESULT VarBoolFromStr(std::string_view text, VARIANT_BOOL* value);

}  // namespace fybootp
