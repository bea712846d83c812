#include "platform/com/variant_convert.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

namespace fybootp {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool EqualsIgnoringCase(std::string_view text, std::string_view word) {
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != word[i]) return false;
    }
    return true;
}

// Splits "[+|-]digits" into its sign and digits; nullopt for any other shape.
struct SignedDigits {
    bool negative;
    std::string_view digits;
};

std::optional<SignedDigits> SplitSignedDigits(std::string_view text) {
    text = TrimBlanks(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    for (char c : text) {
        if (!IsDigit(c)) return std::nullopt;
    }
    return SignedDigits{negative, text};
}

struct IntegerRange {
    std::int64_t low;
    std::int64_t high;
};

std::optional<IntegerRange> RangeOf(VARTYPE type) {
    switch (type) {
        case VT_I1:
            return IntegerRange{-128, 127};
        case VT_UI1:
            return IntegerRange{0, 255};
        case VT_I2:
            return IntegerRange{-32768, 32767};
        case VT_UI2:
            return IntegerRange{0, 65535};
        case VT_I4:
        case VT_INT:
            return IntegerRange{std::numeric_limits<std::int32_t>::min(),
                                std::numeric_limits<std::int32_t>::max()};
        case VT_UI4:
        case VT_UINT:
            return IntegerRange{0, std::numeric_limits<std::uint32_t>::max()};
        default:
            return std::nullopt;
    }
}

Variant MakeInteger(VARTYPE type, std::int64_t value) {
    switch (type) {
        case VT_I1:
            return Variant::FromI1(static_cast<std::int8_t>(value));
        case VT_UI1:
            return Variant::FromUI1(static_cast<std::uint8_t>(value));
        case VT_I2:
            return Variant::FromI2(static_cast<std::int16_t>(value));
        case VT_UI2:
            return Variant::FromUI2(static_cast<std::uint16_t>(value));
        case VT_I4:
            return Variant::FromI4(static_cast<std::int32_t>(value));
        case VT_INT:
            return Variant::FromInt(static_cast<std::int32_t>(value));
        case VT_UI4:
            return Variant::FromUI4(static_cast<std::uint32_t>(value));
        default:
            return Variant::FromUInt(static_cast<std::uint32_t>(value));
    }
}

HRESULT IntegerFromText(std::string_view text, IntegerRange range, std::int64_t* value) {
    const auto parts = SplitSignedDigits(text);
    if (!parts) return DISP_E_TYPEMISMATCH;
    // Any value of more than 2^32 is out of every range here; stop growing
    // there so that a long run of digits cannot overflow the accumulator.
    constexpr std::int64_t kBeyondEveryRange = std::int64_t{1} << 33;
    std::int64_t magnitude = 0;
    for (char c : parts->digits) {
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > kBeyondEveryRange) return DISP_E_OVERFLOW;
    }
    const std::int64_t signedValue = parts->negative ? -magnitude : magnitude;
    if (signedValue < range.low || signedValue > range.high) return DISP_E_OVERFLOW;
    *value = signedValue;
    return S_OK;
}

HRESULT BoolFromText(std::string_view text, bool* value) {
    const std::string_view word = TrimBlanks(text);
    if (EqualsIgnoringCase(word, "true")) {
        *value = true;
        return S_OK;
    }
    if (EqualsIgnoringCase(word, "false")) {
        *value = false;
        return S_OK;
    }
    const auto parts = SplitSignedDigits(word);
    if (!parts) return DISP_E_TYPEMISMATCH;
    *value = parts->digits.find_first_not_of('0') != std::string_view::npos;
    return S_OK;
}

// "[+|-]digits[.digits][(e|E)[+|-]digits]" with at least one mantissa digit.
bool IsDecimalNumber(std::string_view text) {
    std::size_t i = 0;
    auto digitsFrom = [&text, &i] {
        const std::size_t start = i;
        while (i < text.size() && IsDigit(text[i])) ++i;
        return i - start;
    };
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t mantissaDigits = digitsFrom();
    if (i < text.size() && text[i] == '.') {
        ++i;
        mantissaDigits += digitsFrom();
    }
    if (mantissaDigits == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (digitsFrom() == 0) return false;
    }
    return i == text.size();
}

HRESULT RealFromText(std::string_view text, double* value) {
    text = TrimBlanks(text);
    if (!IsDecimalNumber(text)) return DISP_E_TYPEMISMATCH;
    // from_chars takes no leading '+'.
    if (text.front() == '+') text.remove_prefix(1);
    double parsed = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error == std::errc::result_out_of_range) return DISP_E_OVERFLOW;
    if (error != std::errc() || end != text.data() + text.size()) return DISP_E_TYPEMISMATCH;
    *value = parsed;
    return S_OK;
}

double RoundHalfToEven(double value) {
    if (std::fabs(value - std::trunc(value)) == 0.5) return 2.0 * std::round(value / 2.0);
    return std::round(value);
}

HRESULT RealToText(double value, Bstr* text) {
    if (!std::isfinite(value)) return DISP_E_OVERFLOW;
    if (value == 0.0) value = 0.0;  // no "-0"
    char buffer[32];
    // Fifteen significant digits: every digit printed is one the double holds.
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    if (error != std::errc()) return DISP_E_OVERFLOW;
    std::string out(buffer, end);
    for (char& c : out) {
        if (c == 'e') c = 'E';
    }
    *text = Bstr(out);
    return S_OK;
}

HRESULT ToInteger(const Variant& source, VARTYPE type, Variant* out) {
    const IntegerRange range = *RangeOf(type);
    std::int64_t value = 0;
    const VARTYPE from = source.Type();
    if (from == VT_EMPTY) {
        value = 0;
    } else if (IsIntegerType(from) && from != VT_ERROR) {
        value = source.IntegerValue();
    } else if (from == VT_R8) {
        const double rounded = RoundHalfToEven(source.R8());
        if (!(rounded >= static_cast<double>(range.low) &&
              rounded <= static_cast<double>(range.high))) {
            return DISP_E_OVERFLOW;
        }
        value = static_cast<std::int64_t>(rounded);
    } else if (from == VT_BSTR) {
        const HRESULT hr = IntegerFromText(source.Text(), range, &value);
        if (Failed(hr)) return hr;
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    if (value < range.low || value > range.high) return DISP_E_OVERFLOW;
    *out = MakeInteger(type, value);
    return S_OK;
}

HRESULT ToBool(const Variant& source, Variant* out) {
    const VARTYPE from = source.Type();
    bool value = false;
    if (from == VT_EMPTY) {
        value = false;
    } else if (IsIntegerType(from) && from != VT_ERROR) {
        value = source.IntegerValue() != 0;
    } else if (from == VT_R8) {
        value = source.R8() != 0.0;
    } else if (from == VT_BSTR) {
        const HRESULT hr = BoolFromText(source.Text(), &value);
        if (Failed(hr)) return hr;
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    *out = Variant::FromBool(value);
    return S_OK;
}

HRESULT ToReal(const Variant& source, Variant* out) {
    const VARTYPE from = source.Type();
    double value = 0.0;
    if (from == VT_EMPTY) {
        value = 0.0;
    } else if (IsIntegerType(from) && from != VT_ERROR) {
        value = static_cast<double>(source.IntegerValue());
    } else if (from == VT_R8) {
        value = source.R8();
    } else if (from == VT_BSTR) {
        const HRESULT hr = RealFromText(source.Text(), &value);
        if (Failed(hr)) return hr;
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    *out = Variant::FromR8(value);
    return S_OK;
}

HRESULT ToText(const Variant& source, std::uint16_t flags, Variant* out) {
    const VARTYPE from = source.Type();
    Bstr text;
    if (from == VT_EMPTY) {
        text = Bstr("");
    } else if (from == VT_BSTR) {
        // A null text stays null: it is the same value.
        *out = Variant::FromBstr(source.BstrVal());
        return S_OK;
    } else if (from == VT_BOOL) {
        const bool on = source.Bool() != VARIANT_FALSE;
        if ((flags & VARIANT_ALPHABOOL) != 0) {
            text = Bstr(on ? "True" : "False");
        } else {
            text = Bstr(on ? "-1" : "0");
        }
    } else if (IsIntegerType(from) && from != VT_ERROR) {
        text = Bstr(std::to_string(source.IntegerValue()));
    } else if (from == VT_R8) {
        const HRESULT hr = RealToText(source.R8(), &text);
        if (Failed(hr)) return hr;
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    *out = Variant::Attach(std::move(text));
    return S_OK;
}

}  // namespace

HRESULT VariantChangeType(Variant* dest, const Variant& source, std::uint16_t flags, VARTYPE type) {
    if (dest == nullptr) return E_POINTER;
    if (!IsSupportedType(type)) return DISP_E_BADVARTYPE;
    // Built aside and moved in at the end, so that a failure leaves *dest
    // as it was and dest may be &source.
    Variant converted;
    HRESULT hr = S_OK;
    if (type == VT_EMPTY) {
        converted = Variant();
    } else if (source.Type() == type && type != VT_BSTR) {
        converted = source;
    } else if (type == VT_NULL || type == VT_ERROR) {
        return DISP_E_TYPEMISMATCH;
    } else if (type == VT_BOOL) {
        hr = ToBool(source, &converted);
    } else if (type == VT_R8) {
        hr = ToReal(source, &converted);
    } else if (type == VT_BSTR) {
        hr = ToText(source, flags, &converted);
    } else {
        hr = ToInteger(source, type, &converted);
    }
    if (Failed(hr)) return hr;
    *dest = std::move(converted);
    return S_OK;
}

HRESULT VarI4FromStr(std::string_view text, std::int32_t* value) {
    if (value == nullptr) return E_POINTER;
    std::int64_t parsed = 0;
    const HRESULT hr = IntegerFromText(text, *RangeOf(VT_I4), &parsed);
    if (Succeeded(hr)) *value = static_cast<std::int32_t>(parsed);
    return hr;
}

HRESULT VarBoolFromStr(std::string_view text, VARIANT_BOOL* value) {
    if (value == nullptr) return E_POINTER;
    bool parsed = false;
    const HRESULT hr = BoolFromText(text, &parsed);
    if (Succeeded(hr)) *value = parsed ? VARIANT_TRUE : VARIANT_FALSE;
    return hr;
}

}  // namespace fybootp
