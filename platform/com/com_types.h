#pragma once
// The fixed-width integer types that COM signatures are written in. COM's
// `long` and `ULONG` are 32 bits on every platform it runs on, while C++'s
// `long` is 64 bits on x86-64 Linux, so nothing at a COM interface uses the
// C++ `long`: a COM `long` is std::int32_t here.

#include <cstdint>

namespace fybootp {

using ULONG = std::uint32_t;
using UINT = std::uint32_t;
using INT = std::int32_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LCID = std::uint32_t;
using DISPID = std::int32_t;
using MEMBERID = DISPID;

// Names handed to GetIDsOfNames: NUL-terminated UTF-8.
using OLECHAR = char;

constexpr LCID LOCALE_NEUTRAL = 0;

}  // namespace fybootp
