// Late binding through the type information: Invoke places and converts
// the arguments and calls the member through the object's call table; the
// call table alone takes exactly typed arguments, as a transport sends them.

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "platform/com/load_type_lib.h"
#include "tests/platform/com_sample.h"

namespace fybootp {
namespace {

using testing::IID_ISample;
using testing::kSampleCalls;
using testing::kSampleTypeLibText;
using testing::Sample;

constexpr DISPID kCount = 1;
constexpr DISPID kLabel = 2;
constexpr DISPID kRepeat = 3;
constexpr DISPID kReset = 4;

struct Outcome {
    HRESULT hr = E_UNEXPECTED;
    Variant result = Variant::FromI4(-12345);  // a stale value that must be replaced
    EXCEPINFO exception;
    UINT argErr = 999;
};

class SampleInvoke : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(LoadTypeLibFromText(kSampleTypeLibText, m_library.Receive()), S_OK);
        ASSERT_EQ(m_library->GetTypeInfoOfGuid(IID_ISample, m_info.Receive()), S_OK);
        m_sample = std::make_unique<Sample>(m_info.Get());
    }

    // positional: in the member's parameter order; named: (DISPID, value)
    // pairs, which DISPPARAMS holds first.
    Outcome Invoke(DISPID member, WORD flags, std::vector<Variant> positional,
                   std::vector<std::pair<DISPID, Variant>> named = {}) {
        std::vector<Variant> args;
        std::vector<DISPID> names;
        for (auto& [id, value] : named) {
            names.push_back(id);
            args.push_back(std::move(value));
        }
        for (auto it = positional.rbegin(); it != positional.rend(); ++it) {
            args.push_back(std::move(*it));
        }
        DISPPARAMS params{args.data(), names.data(), static_cast<UINT>(args.size()),
                          static_cast<UINT>(names.size())};
        Outcome outcome;
        outcome.hr = m_info->Invoke(m_sample.get(), member, flags, &params, &outcome.result,
                                    &outcome.exception, &outcome.argErr);
        return outcome;
    }

    ComPtr<ITypeLib> m_library;
    ComPtr<ITypeInfo> m_info;
    std::unique_ptr<Sample> m_sample;
};

TEST_F(SampleInvoke, PropertyGetReturnsTheValueAsItsType) {
    m_sample->m_count = 5;
    Outcome got = Invoke(kCount, DISPATCH_PROPERTYGET, {});
    EXPECT_EQ(got.hr, S_OK);
    EXPECT_EQ(got.result, Variant::FromI4(5));
    // Scripting clients ask for "method or get" when reading a property.
    got = Invoke(kCount, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {});
    EXPECT_EQ(got.hr, S_OK);
    EXPECT_EQ(got.result, Variant::FromI4(5));
}

TEST_F(SampleInvoke, PropertyPutTakesItsValueNamedOrPositional) {
    EXPECT_EQ(
        Invoke(kCount, DISPATCH_PROPERTYPUT, {}, {{DISPID_PROPERTYPUT, Variant::FromI4(9)}}).hr,
        S_OK);
    EXPECT_EQ(m_sample->m_count, 9);
    EXPECT_EQ(Invoke(kCount, DISPATCH_PROPERTYPUT, {Variant::FromI4(11)}).hr, S_OK);
    EXPECT_EQ(m_sample->m_count, 11);
}

TEST_F(SampleInvoke, PropertyPutConvertsTextBooleansAndRealsToLong) {
    const std::pair<Variant, std::int32_t> cases[] = {
        {Variant::FromText(" 42 "), 42}, {Variant::FromText("+7"), 7},
        {Variant::FromBool(false), 0},   {Variant::FromR8(2.5), 2},
        {Variant::FromUI1(200), 200},
    };
    for (const auto& [value, expected] : cases) {
        const Outcome put = Invoke(kCount, DISPATCH_PROPERTYPUT, {}, {{DISPID_PROPERTYPUT, value}});
        EXPECT_EQ(put.hr, S_OK) << expected;
        EXPECT_EQ(m_sample->m_count, expected);
    }
}

TEST_F(SampleInvoke, UnconvertibleArgumentIsReportedByItsIndexAndNothingIsCalled) {
    m_sample->m_count = 3;
    Outcome put =
        Invoke(kCount, DISPATCH_PROPERTYPUT, {}, {{DISPID_PROPERTYPUT, Variant::FromText("abc")}});
    EXPECT_EQ(put.hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(put.argErr, 0u);
    EXPECT_EQ(put.result, Variant::FromI4(-12345));
    put = Invoke(kCount, DISPATCH_PROPERTYPUT, {Variant::FromText("2147483648")});
    EXPECT_EQ(put.hr, DISP_E_OVERFLOW);
    EXPECT_EQ(put.argErr, 0u);
    put = Invoke(kCount, DISPATCH_PROPERTYPUT, {Variant::Null()});
    EXPECT_EQ(put.hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(m_sample->m_count, 3);
    EXPECT_EQ(m_sample->m_memberCalls, 0);

    // Positional arguments stand in reverse: the first parameter is the
    // highest index.
    Outcome call =
        Invoke(kRepeat, DISPATCH_METHOD, {Variant::FromText("ab"), Variant::FromText("x")});
    EXPECT_EQ(call.hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(call.argErr, 0u);
    call = Invoke(kRepeat, DISPATCH_METHOD, {Variant::Null(), Variant::FromI4(1)});
    EXPECT_EQ(call.hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(call.argErr, 1u);
    EXPECT_EQ(m_sample->m_memberCalls, 0);
}

TEST_F(SampleInvoke, TextPropertyRoundTripsAndNumbersBecomeText) {
    EXPECT_EQ(Invoke(kLabel, DISPATCH_PROPERTYPUT, {Variant::FromText("Grüße")}).hr, S_OK);
    EXPECT_EQ(m_sample->m_label, "Grüße");
    Outcome got = Invoke(kLabel, DISPATCH_PROPERTYGET, {});
    EXPECT_EQ(got.hr, S_OK);
    EXPECT_EQ(got.result, Variant::FromText("Grüße"));

    EXPECT_EQ(Invoke(kLabel, DISPATCH_PROPERTYPUT, {Variant::FromI4(-42)}).hr, S_OK);
    EXPECT_EQ(m_sample->m_label, "-42");
    EXPECT_EQ(Invoke(kLabel, DISPATCH_PROPERTYPUT, {Variant::FromBstr(nullptr)}).hr, S_OK);
    EXPECT_EQ(m_sample->m_label, "");
}

TEST_F(SampleInvoke, MethodConvertsEachArgumentToItsParameterType) {
    Outcome call =
        Invoke(kRepeat, DISPATCH_METHOD, {Variant::FromText("ab"), Variant::FromText("3")});
    EXPECT_EQ(call.hr, S_OK);
    EXPECT_EQ(call.result, Variant::FromText("ababab"));
    call = Invoke(kRepeat, DISPATCH_METHOD, {Variant::FromI4(12), Variant::FromR8(2.0)});
    EXPECT_EQ(call.hr, S_OK);
    EXPECT_EQ(call.result, Variant::FromText("1212"));
}

TEST_F(SampleInvoke, NamedArgumentsArePlacedByPosition) {
    // Named in the opposite order of the parameters.
    Outcome call = Invoke(kRepeat, DISPATCH_METHOD, {},
                          {{1, Variant::FromI4(2)}, {0, Variant::FromText("xy")}});
    EXPECT_EQ(call.hr, S_OK);
    EXPECT_EQ(call.result, Variant::FromText("xyxy"));
    // The first positionally, the second by name.
    call =
        Invoke(kRepeat, DISPATCH_METHOD, {Variant::FromText("z")}, {{1, Variant::FromText("3")}});
    EXPECT_EQ(call.hr, S_OK);
    EXPECT_EQ(call.result, Variant::FromText("zzz"));
}

TEST_F(SampleInvoke, NamedArgumentsThatFitNoFreeParameterAreNotFound) {
    Outcome call =
        Invoke(kRepeat, DISPATCH_METHOD, {Variant::FromText("z")}, {{7, Variant::FromI4(1)}});
    EXPECT_EQ(call.hr, DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(call.argErr, 0u);
    call = Invoke(kRepeat, DISPATCH_METHOD, {Variant::FromText("z")}, {{0, Variant::FromI4(1)}});
    EXPECT_EQ(call.hr, DISP_E_PARAMNOTFOUND);  // the text is already placed there
    call = Invoke(kRepeat, DISPATCH_METHOD, {}, {{1, Variant::FromI4(1)}, {1, Variant::FromI4(2)}});
    EXPECT_EQ(call.hr, DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(call.argErr, 1u);
    call = Invoke(kRepeat, DISPATCH_METHOD, {Variant::FromText("z")},
                  {{DISPID_PROPERTYPUT, Variant::FromI4(1)}});
    EXPECT_EQ(call.hr, DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(m_sample->m_memberCalls, 0);
}

TEST_F(SampleInvoke, ArgumentCountMustMatchTheParameters) {
    EXPECT_EQ(Invoke(kRepeat, DISPATCH_METHOD, {Variant::FromText("a")}).hr, DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Invoke(kRepeat, DISPATCH_METHOD,
                     {Variant::FromText("a"), Variant::FromI4(1), Variant::FromI4(1)})
                  .hr,
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Invoke(kCount, DISPATCH_PROPERTYGET, {Variant::FromI4(1)}).hr, DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Invoke(kCount, DISPATCH_PROPERTYPUT, {}).hr, DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Invoke(kReset, DISPATCH_METHOD, {Variant::FromI4(1)}).hr, DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(m_sample->m_memberCalls, 0);
}

TEST_F(SampleInvoke, AMissingArgumentIsNotOptional) {
    const Outcome call =
        Invoke(kRepeat, DISPATCH_METHOD, {Variant::FromText("a"), Variant::Missing()});
    EXPECT_EQ(call.hr, DISP_E_PARAMNOTOPTIONAL);
    EXPECT_EQ(call.argErr, 0u);
}

TEST_F(SampleInvoke, UnknownDispidOrKindIsMemberNotFound) {
    EXPECT_EQ(Invoke(99, DISPATCH_METHOD, {}).hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Invoke(DISPID_UNKNOWN, DISPATCH_PROPERTYGET, {}).hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Invoke(kRepeat, DISPATCH_PROPERTYGET, {}).hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Invoke(kCount, DISPATCH_METHOD, {}).hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Invoke(kCount, DISPATCH_PROPERTYPUTREF, {Variant::FromI4(1)}).hr,
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Invoke(kCount, 0, {}).hr, DISP_E_MEMBERNOTFOUND);
}

TEST_F(SampleInvoke, AFailingMemberReportsItsStatusAsAnException) {
    Outcome put = Invoke(kCount, DISPATCH_PROPERTYPUT, {Variant::FromI4(-1)});
    EXPECT_EQ(put.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(put.exception.scode, E_INVALIDARG);
    EXPECT_EQ(put.result, Variant::FromI4(-12345));

    // Without an exception record the status itself is the only carrier.
    Variant argument = Variant::FromI4(-1);
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&argument, &named, 1, 1};
    EXPECT_EQ(m_info->Invoke(m_sample.get(), kCount, DISPATCH_PROPERTYPUT, &params, nullptr,
                             nullptr, nullptr),
              E_INVALIDARG);
}

TEST_F(SampleInvoke, SuccessStatusesPassThroughAndVoidMembersGiveEmpty) {
    m_sample->m_count = 4;
    Outcome call = Invoke(kReset, DISPATCH_METHOD, {});
    EXPECT_EQ(call.hr, S_OK);
    EXPECT_EQ(call.result.Type(), VT_EMPTY);
    call = Invoke(kReset, DISPATCH_METHOD, {});
    EXPECT_EQ(call.hr, S_FALSE);
}

TEST_F(SampleInvoke, MalformedArgumentBlocksAreInvalid) {
    Variant argument = Variant::FromI4(1);
    DISPPARAMS tooManyNamed{&argument, nullptr, 0, 1};
    EXPECT_EQ(m_info->Invoke(m_sample.get(), kReset, DISPATCH_METHOD, &tooManyNamed, nullptr,
                             nullptr, nullptr),
              E_INVALIDARG);
    DISPPARAMS noArgs{nullptr, nullptr, 1, 0};
    EXPECT_EQ(
        m_info->Invoke(m_sample.get(), kReset, DISPATCH_METHOD, &noArgs, nullptr, nullptr, nullptr),
        E_INVALIDARG);
    DISPPARAMS none{};
    EXPECT_EQ(
        m_info->Invoke(m_sample.get(), kReset, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
        E_INVALIDARG);
    EXPECT_EQ(m_info->Invoke(nullptr, kReset, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(m_sample->m_memberCalls, 0);
}

TEST_F(SampleInvoke, LateBindingThroughTheObjectsIDispatchReachesTheSameMember) {
    IDispatch* dispatch = m_sample.get();
    const OLECHAR* names[] = {"count"};
    DISPID id = 0;
    ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_NEUTRAL, &id), S_OK);
    Variant value = Variant::FromText("17");
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &named, 1, 1};
    EXPECT_EQ(dispatch->Invoke(id, IID_NULL, LOCALE_NEUTRAL, DISPATCH_PROPERTYPUT, &params, nullptr,
                               nullptr, nullptr),
              S_OK);
    std::int32_t count = 0;
    EXPECT_EQ(m_sample->get_Count(&count), S_OK);
    EXPECT_EQ(count, 17);
}

class SampleCallTable : public SampleInvoke {};

TEST_F(SampleCallTable, SignaturesAgreeWithTheTypeLibraryMemberByMember) {
    const TypeDesc* attr = nullptr;
    ASSERT_EQ(m_info->GetTypeAttr(&attr), S_OK);
    ASSERT_EQ(kSampleCalls.Count(), attr->members.size());
    EXPECT_EQ(kSampleCalls.kFirstVtableIndex, FirstVtableIndex(*attr));
    for (std::size_t i = 0; i < attr->members.size(); ++i) {
        const MemberSignature* signature = kSampleCalls.SignatureAt(FirstVtableIndex(*attr) + i);
        ASSERT_NE(signature, nullptr);
        EXPECT_TRUE(SignatureMatches(*signature, attr->members[i])) << attr->members[i].name;
    }
    // A disagreement shows: the long get against the text get, the put
    // against the get of the same property.
    EXPECT_FALSE(SignatureMatches(*kSampleCalls.SignatureAt(7), attr->members[2]));
    EXPECT_FALSE(SignatureMatches(*kSampleCalls.SignatureAt(8), attr->members[0]));
    EXPECT_FALSE(SignatureMatches(*kSampleCalls.SignatureAt(11), attr->members[5]));
    EXPECT_EQ(kSampleCalls.SignatureAt(6), nullptr);
    EXPECT_EQ(kSampleCalls.SignatureAt(13), nullptr);
}

TEST_F(SampleCallTable, CallsByVtableIndexTakeExactlyTypedArguments) {
    DispatchTarget& target = *m_sample;
    std::vector<Variant> args{Variant::FromI4(5)};
    Variant result;
    EXPECT_EQ(target.CallMember(8, args, &result), S_OK);
    EXPECT_EQ(m_sample->m_count, 5);
    EXPECT_EQ(target.CallMember(7, {}, &result), S_OK);
    EXPECT_EQ(result, Variant::FromI4(5));

    std::vector<Variant> text{Variant::FromText("6")};
    EXPECT_EQ(target.CallMember(8, text, &result), DISP_E_TYPEMISMATCH);
    std::vector<Variant> two{Variant::FromI4(1), Variant::FromI4(2)};
    EXPECT_EQ(target.CallMember(8, two, &result), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(target.CallMember(7, {}, nullptr), E_POINTER);
    EXPECT_EQ(target.CallMember(3, {}, &result), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(target.CallMember(13, {}, &result), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(m_sample->m_count, 5);

    std::vector<Variant> repeat{Variant::FromText("ab"), Variant::FromI4(2)};
    EXPECT_EQ(target.CallMember(11, repeat, &result), S_OK);
    EXPECT_EQ(result, Variant::FromText("abab"));
}

TEST_F(SampleCallTable, TextAFailingMemberStoredIsFreedAndNotReturned) {
    m_sample->m_label = "never handed out";
    m_sample->m_failLabelGet = true;
    Variant result = Variant::FromI4(1);
    EXPECT_EQ(static_cast<DispatchTarget&>(*m_sample).CallMember(9, {}, &result), E_FAIL);
    // LeakSanitizer reports the text if the table dropped it.
    EXPECT_EQ(result, Variant::FromI4(1));
}

}  // namespace
}  // namespace fybootp
