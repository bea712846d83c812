// VARIANT values and the conversions that Invoke applies to arguments and
// that the interface applies to text it reads.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/com/variant.h"
#include "platform/com/variant_convert.h"

namespace fybootp {
namespace {

TEST(VariantValue, CopyDuplicatesTextAndMoveTransfersIt) {
    Variant original = Variant::FromText("abc");
    Variant copy = original;
    EXPECT_NE(copy.BstrVal(), original.BstrVal());
    original.Clear();
    EXPECT_EQ(original.Type(), VT_EMPTY);
    EXPECT_EQ(copy.Text(), "abc");

    Variant moved = std::move(copy);
    EXPECT_EQ(copy.Type(), VT_EMPTY);  // NOLINT(bugprone-use-after-move): the state is the contract
    EXPECT_EQ(moved.Text(), "abc");
    moved = Variant::FromI4(1);  // frees the text it held
    EXPECT_EQ(moved.I4(), 1);
}

TEST(VariantValue, FromBstrCopiesTheCallersTextAndKeepsNull) {
    BSTR callers = SysAllocString("caller's");
    const Variant copy = Variant::FromBstr(callers);
    SysFreeString(callers);
    EXPECT_EQ(copy.Text(), "caller's");

    const Variant null = Variant::FromBstr(nullptr);
    EXPECT_EQ(null.Type(), VT_BSTR);
    EXPECT_EQ(null.BstrVal(), nullptr);
    EXPECT_EQ(null.Text(), "");
}

TEST(VariantValue, BooleansAreAllBitsSetOrZeroAndMissingIsParamNotFound) {
    EXPECT_EQ(Variant::FromBool(true).Bool(), VARIANT_TRUE);
    EXPECT_EQ(VARIANT_TRUE, -1);
    EXPECT_EQ(Variant::FromBool(false).Bool(), VARIANT_FALSE);
    const Variant missing = Variant::Missing();
    EXPECT_EQ(missing.Type(), VT_ERROR);
    EXPECT_EQ(missing.Scode(), DISP_E_PARAMNOTFOUND);
}

// Converts and returns the status; *out receives the result.
HRESULT To(VARTYPE type, const Variant& source, Variant* out, std::uint16_t flags = 0) {
    return VariantChangeType(out, source, flags, type);
}

std::int32_t TextToLong(std::string_view text) {
    Variant out;
    EXPECT_EQ(To(VT_I4, Variant::FromText(text), &out), S_OK) << "'" << text << "'";
    return out.Type() == VT_I4 ? out.I4() : -999;
}

HRESULT TextToLongStatus(std::string_view text) {
    Variant out;
    return To(VT_I4, Variant::FromText(text), &out);
}

TEST(TextToLong, AcceptsDecimalWithOptionalSignAndSurroundingBlanks) {
    EXPECT_EQ(TextToLong("42"), 42);
    EXPECT_EQ(TextToLong(" 42 "), 42);
    EXPECT_EQ(TextToLong("\t-15\r\n"), -15);
    EXPECT_EQ(TextToLong("+7"), 7);
    EXPECT_EQ(TextToLong("007"), 7);
    EXPECT_EQ(TextToLong("-0"), 0);
    EXPECT_EQ(TextToLong("2147483647"), 2147483647);
    EXPECT_EQ(TextToLong("-2147483648"), std::numeric_limits<std::int32_t>::min());
}

TEST(TextToLong, NumbersBeyondThirtyTwoBitsOverflow) {
    EXPECT_EQ(TextToLongStatus("2147483648"), DISP_E_OVERFLOW);
    EXPECT_EQ(TextToLongStatus("-2147483649"), DISP_E_OVERFLOW);
    EXPECT_EQ(TextToLongStatus("4294967296"), DISP_E_OVERFLOW);
    EXPECT_EQ(TextToLongStatus("99999999999999999999999999999999"), DISP_E_OVERFLOW);
}

TEST(TextToLong, AnyOtherTextIsTypeMismatch) {
    for (std::string_view text :
         {"", "   ", "-", "+", "--1", "- 4", "4 2", "1.5", "1e3", "0x10", "42abc", "abc", "١٢"}) {
        EXPECT_EQ(TextToLongStatus(text), DISP_E_TYPEMISMATCH) << "'" << text << "'";
    }
    // A malformed text that is also long is a mismatch, not an overflow.
    EXPECT_EQ(TextToLongStatus("999999999999x"), DISP_E_TYPEMISMATCH);
    Variant out;
    EXPECT_EQ(To(VT_I4, Variant::FromBstr(nullptr), &out), DISP_E_TYPEMISMATCH);
}

TEST(TextToLong, FailureLeavesTheDestinationAndInPlaceConversionWorks) {
    Variant dest = Variant::FromI4(5);
    EXPECT_EQ(To(VT_I4, Variant::FromText("abc"), &dest), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(dest, Variant::FromI4(5));

    Variant value = Variant::FromText(" 12 ");
    EXPECT_EQ(VariantChangeType(&value, value, 0, VT_I4), S_OK);
    EXPECT_EQ(value, Variant::FromI4(12));

    std::int32_t direct = 0;
    EXPECT_EQ(VarI4FromStr("-8", &direct), S_OK);
    EXPECT_EQ(direct, -8);
    EXPECT_EQ(VarI4FromStr("8 8", &direct), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(direct, -8);
}

HRESULT TextToBool(std::string_view text, VARIANT_BOOL* value) {
    Variant out;
    const HRESULT hr = To(VT_BOOL, Variant::FromText(text), &out);
    if (Succeeded(hr)) *value = out.Bool();
    return hr;
}

TEST(TextToBool, ZeroIsOffAndAnyOtherNumberIsOn) {
    const std::pair<std::string_view, VARIANT_BOOL> cases[] = {
        {"0", VARIANT_FALSE},
        {"00", VARIANT_FALSE},
        {"-0", VARIANT_FALSE},
        {" 0 ", VARIANT_FALSE},
        {"1", VARIANT_TRUE},
        {"-1", VARIANT_TRUE},
        {"2", VARIANT_TRUE},
        {"+10", VARIANT_TRUE},
        {" 5\t", VARIANT_TRUE},
        // A number too long for any integer type is still a nonzero number.
        {"99999999999999999999999", VARIANT_TRUE},
    };
    for (const auto& [text, expected] : cases) {
        VARIANT_BOOL value = 7;
        EXPECT_EQ(TextToBool(text, &value), S_OK) << "'" << text << "'";
        EXPECT_EQ(value, expected) << "'" << text << "'";
    }
}

TEST(TextToBool, TheWordsTrueAndFalseInAnyCase) {
    for (std::string_view text : {"true", "TRUE", "True", "tRuE", " true "}) {
        VARIANT_BOOL value = 7;
        EXPECT_EQ(TextToBool(text, &value), S_OK) << text;
        EXPECT_EQ(value, VARIANT_TRUE) << text;
    }
    for (std::string_view text : {"false", "FALSE", "False", "fAlSe"}) {
        VARIANT_BOOL value = 7;
        EXPECT_EQ(TextToBool(text, &value), S_OK) << text;
        EXPECT_EQ(value, VARIANT_FALSE) << text;
    }
}

TEST(TextToBool, AnythingElseIsTypeMismatch) {
    for (std::string_view text :
         {"yes", "no", "on", "off", "t", "f", "truex", "true false", "", " ", "1.0", "0x1", "-"}) {
        VARIANT_BOOL value = 7;
        EXPECT_EQ(TextToBool(text, &value), DISP_E_TYPEMISMATCH) << "'" << text << "'";
        EXPECT_EQ(value, 7);
    }
    VARIANT_BOOL direct = 7;
    EXPECT_EQ(VarBoolFromStr("yes", &direct), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VarBoolFromStr("False", &direct), S_OK);
    EXPECT_EQ(direct, VARIANT_FALSE);
}

std::string AsText(const Variant& source, std::uint16_t flags = 0) {
    Variant out;
    EXPECT_EQ(To(VT_BSTR, source, &out, flags), S_OK);
    return out.Type() == VT_BSTR ? std::string(out.Text()) : "<failed>";
}

TEST(NumberConversion, NumbersBecomeDecimalText) {
    EXPECT_EQ(AsText(Variant::FromI4(-42)), "-42");
    EXPECT_EQ(AsText(Variant::FromI4(std::numeric_limits<std::int32_t>::min())), "-2147483648");
    EXPECT_EQ(AsText(Variant::FromUI4(4294967295u)), "4294967295");
    EXPECT_EQ(AsText(Variant::FromUI1(255)), "255");
    EXPECT_EQ(AsText(Variant::FromI2(-32768)), "-32768");
    EXPECT_EQ(AsText(Variant::FromR8(2.5)), "2.5");
    EXPECT_EQ(AsText(Variant::FromR8(-0.0)), "0");
    EXPECT_EQ(AsText(Variant::FromR8(1e20)), "1E+20");
    EXPECT_EQ(AsText(Variant()), "");
}

TEST(NumberConversion, BooleanTextIsNumericUnlessWordsAreAsked) {
    EXPECT_EQ(AsText(Variant::FromBool(true)), "-1");
    EXPECT_EQ(AsText(Variant::FromBool(false)), "0");
    EXPECT_EQ(AsText(Variant::FromBool(true), VARIANT_ALPHABOOL), "True");
    EXPECT_EQ(AsText(Variant::FromBool(false), VARIANT_ALPHABOOL), "False");
    // Both forms read back as the same boolean.
    for (const char* text : {"-1", "True"}) {
        VARIANT_BOOL value = 0;
        EXPECT_EQ(VarBoolFromStr(text, &value), S_OK);
        EXPECT_EQ(value, VARIANT_TRUE);
    }
}

TEST(NumberConversion, BooleansAreMinusOneOrZeroAndNumbersAreOnWhenNonzero) {
    Variant out;
    EXPECT_EQ(To(VT_I4, Variant::FromBool(true), &out), S_OK);
    EXPECT_EQ(out, Variant::FromI4(-1));
    EXPECT_EQ(To(VT_BOOL, Variant::FromI4(7), &out), S_OK);
    EXPECT_EQ(out, Variant::FromBool(true));
    EXPECT_EQ(To(VT_BOOL, Variant::FromI4(0), &out), S_OK);
    EXPECT_EQ(out, Variant::FromBool(false));
    EXPECT_EQ(To(VT_BOOL, Variant::FromR8(0.25), &out), S_OK);
    EXPECT_EQ(out, Variant::FromBool(true));
    EXPECT_EQ(To(VT_I2, Variant::FromUI1(200), &out), S_OK);
    EXPECT_EQ(out, Variant::FromI2(200));
}

TEST(NumberConversion, ValuesOutsideTheTargetRangeOverflow) {
    Variant out = Variant::FromI4(77);
    EXPECT_EQ(To(VT_UI1, Variant::FromI4(256), &out), DISP_E_OVERFLOW);
    EXPECT_EQ(To(VT_UI4, Variant::FromI4(-1), &out), DISP_E_OVERFLOW);
    EXPECT_EQ(To(VT_I4, Variant::FromUI4(2147483648u), &out), DISP_E_OVERFLOW);
    EXPECT_EQ(To(VT_UI1, Variant::FromBool(true), &out), DISP_E_OVERFLOW);
    EXPECT_EQ(To(VT_I2, Variant::FromText("32768"), &out), DISP_E_OVERFLOW);
    EXPECT_EQ(To(VT_UI4, Variant::FromText("-1"), &out), DISP_E_OVERFLOW);
    EXPECT_EQ(out, Variant::FromI4(77));
    EXPECT_EQ(To(VT_UI4, Variant::FromText("4294967295"), &out), S_OK);
    EXPECT_EQ(out, Variant::FromUI4(4294967295u));
}

TEST(NumberConversion, RealsRoundHalfToEvenAndOverflowOutsideTheRange) {
    const std::pair<double, std::int32_t> cases[] = {{2.5, 2},    {3.5, 4},    {-2.5, -2},
                                                     {2.4999, 2}, {2.5001, 3}, {-0.4, 0}};
    for (const auto& [real, expected] : cases) {
        Variant out;
        EXPECT_EQ(To(VT_I4, Variant::FromR8(real), &out), S_OK) << real;
        EXPECT_EQ(out, Variant::FromI4(expected)) << real;
    }
    Variant out;
    EXPECT_EQ(To(VT_I4, Variant::FromR8(2147483647.6), &out), DISP_E_OVERFLOW);
    EXPECT_EQ(To(VT_I4, Variant::FromR8(std::nan("")), &out), DISP_E_OVERFLOW);
    EXPECT_EQ(To(VT_BSTR, Variant::FromR8(std::numeric_limits<double>::infinity()), &out),
              DISP_E_OVERFLOW);
}

TEST(NumberConversion, TextToRealAcceptsFractionsAndExponents) {
    Variant out;
    EXPECT_EQ(To(VT_R8, Variant::FromText(" -2.5e3 "), &out), S_OK);
    EXPECT_EQ(out, Variant::FromR8(-2500.0));
    EXPECT_EQ(To(VT_R8, Variant::FromText("+.5"), &out), S_OK);
    EXPECT_EQ(out, Variant::FromR8(0.5));
    EXPECT_EQ(To(VT_R8, Variant::FromText("1e999"), &out), DISP_E_OVERFLOW);
    for (std::string_view text : {".", "e5", "1e", "inf", "nan", "0x1p3", "1,5"}) {
        EXPECT_EQ(To(VT_R8, Variant::FromText(text), &out), DISP_E_TYPEMISMATCH) << text;
    }
}

TEST(VariantTypeTags, EmptyIsZeroNullAndErrorConvertOnlyToThemselves) {
    Variant out;
    EXPECT_EQ(To(VT_I4, Variant(), &out), S_OK);
    EXPECT_EQ(out, Variant::FromI4(0));
    EXPECT_EQ(To(VT_BOOL, Variant(), &out), S_OK);
    EXPECT_EQ(out, Variant::FromBool(false));

    for (const Variant& source : {Variant::Null(), Variant::Missing()}) {
        EXPECT_EQ(To(VT_I4, source, &out), DISP_E_TYPEMISMATCH);
        EXPECT_EQ(To(VT_BSTR, source, &out), DISP_E_TYPEMISMATCH);
        EXPECT_EQ(To(VT_BOOL, source, &out), DISP_E_TYPEMISMATCH);
        EXPECT_EQ(To(source.Type(), source, &out), S_OK);
        EXPECT_EQ(out, source);
    }
    EXPECT_EQ(To(VT_ERROR, Variant::FromI4(5), &out), DISP_E_TYPEMISMATCH);

    Variant cleared = Variant::FromText("x");
    EXPECT_EQ(To(VT_EMPTY, cleared, &cleared), S_OK);
    EXPECT_EQ(cleared.Type(), VT_EMPTY);
}

TEST(VariantTypeTags, TypesAVariantCannotHoldAreBadVarType) {
    Variant out = Variant::FromI4(3);
    for (VARTYPE type : {VARTYPE{VT_DISPATCH}, VARTYPE{VT_UNKNOWN}, VARTYPE{VT_VARIANT},
                         VARTYPE{VT_BYREF | VT_I4}, VARTYPE{VT_HRESULT}, VARTYPE{999}}) {
        EXPECT_EQ(To(type, Variant::FromI4(1), &out), DISP_E_BADVARTYPE) << type;
    }
    EXPECT_EQ(out, Variant::FromI4(3));
    EXPECT_EQ(VariantChangeType(nullptr, Variant(), 0, VT_I4), E_POINTER);
}

}  // namespace
}  // namespace fybootp
