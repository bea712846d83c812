// GUID text forms and BSTR ownership. Ownership faults (a leak, a double
// free, a read after free) show up as AddressSanitizer reports.

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

#include "platform/com/bstr.h"
#include "platform/com/guid.h"

namespace fybootp {
namespace {

// Every nibble distinct, so a swapped group or byte shows.
constexpr GUID kDistinct{
    0x01234567, 0x89AB, 0xCDEF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
constexpr std::string_view kDistinctText = "{01234567-89AB-CDEF-FEDC-BA9876543210}";

TEST(GuidText, WritesRegistryFormInUpperCaseWithDataFourInStorageOrder) {
    EXPECT_EQ(GuidToString(kDistinct), kDistinctText);
    EXPECT_EQ(GuidToString(IID_ISupportErrorInfo), "{DF0B3D60-548F-101B-8E65-08002B2BD119}");
}

TEST(GuidText, ParsesAnyCaseToTheSameGuid) {
    for (std::string_view text :
         {"{01234567-89ab-cdef-fedc-ba9876543210}", "{01234567-89AB-CDEF-FEDC-BA9876543210}",
          "{01234567-89aB-cDeF-FeDc-Ba9876543210}"}) {
        GUID parsed{};
        EXPECT_EQ(GuidFromString(text, &parsed), S_OK) << text;
        EXPECT_EQ(parsed, kDistinct) << text;
    }
}

TEST(GuidText, RoundTripsThroughText) {
    for (const GUID& guid : {kDistinct, IID_IUnknown, IID_IDispatch, IID_IClassFactory,
                             IID_ISupportErrorInfo, IID_NULL}) {
        GUID back{};
        ASSERT_EQ(GuidFromString(GuidToString(guid), &back), S_OK);
        EXPECT_EQ(back, guid);
    }
}

TEST(GuidText, RejectsEveryOtherShapeAndLeavesTheNullGuid) {
    const std::string_view malformed[] = {
        "",
        "01234567-89AB-CDEF-FEDC-BA9876543210",     // no braces
        "{01234567-89AB-CDEF-FEDC-BA9876543210",    // no closing brace
        "(01234567-89AB-CDEF-FEDC-BA9876543210)",   // wrong brackets
        "{01234567-89AB-CDEF-FEDCBA9876543210-}",   // dash moved
        "{0123456-789AB-CDEF-FEDC-BA9876543210}",   // dash moved
        "{01234567-89AB-CDEF-FEDC-BA987654321G}",   // not hex
        "{01234567-89AB-CDEF-FEDC-BA98765432100}",  // one digit too many
        "{01234567-89AB-CDEF-FEDC-BA987654321}",    // one digit short
        " {01234567-89AB-CDEF-FEDC-BA9876543210}",  // blank before
        "{01234567-89AB-CDEF-FEDC-BA9876543210} ",  // blank after
        "{+1234567-89AB-CDEF-FEDC-BA9876543210}",   // sign is not a digit
        "{0x234567-89AB-CDEF-FEDC-BA9876543210}",   // nor is a hex prefix
    };
    for (std::string_view text : malformed) {
        GUID parsed = kDistinct;
        EXPECT_EQ(GuidFromString(text, &parsed), E_INVALIDARG) << text;
        EXPECT_EQ(parsed, IID_NULL) << text;
    }
    EXPECT_EQ(GuidFromString(kDistinctText, nullptr), E_POINTER);
}

TEST(GuidText, StandardIdentitiesHaveTheirWellKnownValues) {
    EXPECT_EQ(GuidToString(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
    EXPECT_EQ(GuidToString(IID_IClassFactory), "{00000001-0000-0000-C000-000000000046}");
    EXPECT_EQ(GuidToString(IID_IDispatch), "{00020400-0000-0000-C000-000000000046}");
    EXPECT_EQ(GuidToString(IID_NULL), "{00000000-0000-0000-0000-000000000000}");
    EXPECT_EQ(IID_IDispatch.Data1, 0x00020400u);
    EXPECT_EQ(IID_IDispatch.Data4[0], 0xC0u);
    EXPECT_EQ(IID_IDispatch.Data4[7], 0x46u);
}

TEST(GuidText, GuidsDifferingInOneByteHashAndCompareApart) {
    std::unordered_set<GUID, GuidHash> set;
    GUID guid = kDistinct;
    for (int i = 0; i < 8; ++i) {
        guid.Data4[7] = static_cast<std::uint8_t>(i);
        set.insert(guid);
    }
    set.insert(kDistinct);
    set.insert(kDistinct);
    EXPECT_EQ(set.size(), 9u);
    EXPECT_NE(IID_IUnknown, IID_IClassFactory);
    EXPECT_LT(IID_IUnknown, IID_IClassFactory);
}

TEST(BstrOwnership, NullIsDistinctFromEmptyButReadsAsEmpty) {
    Bstr null;
    Bstr empty("");
    EXPECT_TRUE(null.IsNull());
    EXPECT_FALSE(empty.IsNull());
    EXPECT_EQ(null.View(), "");
    EXPECT_EQ(empty.View(), "");
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(BstrText(nullptr), "");
    SysFreeString(nullptr);
}

TEST(BstrOwnership, KeepsEmbeddedNulsAndCountsUtf8Bytes) {
    const Bstr withNul(std::string_view("a\0b", 3));
    EXPECT_EQ(SysStringLen(withNul.Get()), 3u);
    EXPECT_EQ(withNul.View(), std::string_view("a\0b", 3));
    const Bstr umlauts("Grüße");
    EXPECT_EQ(SysStringLen(umlauts.Get()), 7u);
}

TEST(BstrOwnership, DetachHandsTheTextToTheReceiver) {
    Bstr owner("handed out");
    BSTR received = owner.Detach();
    EXPECT_TRUE(owner.IsNull());
    EXPECT_EQ(BstrText(received), "handed out");
    SysFreeString(received);  // a second free by owner would be reported
}

TEST(BstrOwnership, AttachTakesOverAReceivedText) {
    BSTR received = SysAllocString("received");
    {
        const Bstr owner = Bstr::Attach(received);
        EXPECT_EQ(owner.Get(), received);
    }
    // Freed by the owner: nothing leaks, nothing is freed here.
}

TEST(BstrOwnership, ReceiveFreesTheOldTextBeforeTheCalleeStoresANewOne) {
    auto callee = [](BSTR* out) { *out = SysAllocString("new"); };
    Bstr text("old");
    callee(text.Receive());
    EXPECT_EQ(text.View(), "new");
    callee(text.Receive());
    EXPECT_EQ(text.View(), "new");
}

TEST(BstrOwnership, CopyOutlivesItsOriginalAndNullCopiesToNull) {
    Bstr original("kept");
    const Bstr copy = original.Copy();
    EXPECT_NE(copy.Get(), original.Get());
    original.Release();
    EXPECT_TRUE(original.IsNull());
    EXPECT_EQ(copy.View(), "kept");
    EXPECT_TRUE(Bstr().Copy().IsNull());
}

TEST(BstrOwnership, MoveLeavesTheSourceNullAndFreesTheTargetsText) {
    Bstr source("moved");
    Bstr target("replaced");
    target = std::move(source);
    EXPECT_TRUE(source.IsNull());  // NOLINT(bugprone-use-after-move): the state is the contract
    EXPECT_EQ(target.View(), "moved");
    Bstr& alias = target;
    target = std::move(alias);
    EXPECT_EQ(target.View(), "moved");
}

}  // namespace
}  // namespace fybootp
