// The type library text form: what it reads, what it writes, and that it
// refuses every text that breaks the format or a library rule, naming the
// line.

#include <gtest/gtest.h>

#include <string>

#include "platform/com/load_type_lib.h"
#include "platform/com/type_library_text.h"
#include "tests/platform/com_sample.h"

namespace fybootp {
namespace {

using testing::kSampleTypeLibText;

TypeLibraryDesc ParseOrFail(std::string_view text) {
    TypeLibraryDesc library;
    TypeLibraryTextError error;
    EXPECT_EQ(ParseTypeLibraryText(text, &library, &error), S_OK)
        << "line " << error.line << ": " << error.message;
    return library;
}

TEST(TypeLibraryText, CanonicalTextRoundTripsByteForByte) {
    EXPECT_EQ(WriteTypeLibraryText(ParseOrFail(kSampleTypeLibText)), kSampleTypeLibText);
}

TEST(TypeLibraryText, ReadsEveryAttributeOfLibraryInterfaceMembersAndClass) {
    const TypeLibraryDesc library = ParseOrFail(kSampleTypeLibText);
    EXPECT_EQ(library.name, "SAMPLELib");
    EXPECT_EQ(library.libid, testing::kSampleLibid);
    EXPECT_EQ(library.majorVersion, 1);
    EXPECT_EQ(library.minorVersion, 0);
    EXPECT_EQ(library.lcid, 0u);
    EXPECT_EQ(library.syskind, SYS_WIN32);
    EXPECT_EQ(library.flags, 0);
    EXPECT_EQ(library.helpString, "Sample 1.0 Type Library");
    ASSERT_EQ(library.types.size(), 2u);

    const TypeDesc& sample = library.types[0];
    EXPECT_EQ(sample.kind, TKIND_INTERFACE);
    EXPECT_EQ(sample.guid, testing::IID_ISample);
    EXPECT_EQ(sample.parent, "IDispatch");
    EXPECT_EQ(sample.flags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION);
    EXPECT_EQ(FirstVtableIndex(sample), 7u);
    ASSERT_EQ(sample.members.size(), 6u);

    const MemberDesc& put = sample.members[1];
    EXPECT_EQ(put.invokeKind, INVOKE_PROPERTYPUT);
    EXPECT_EQ(put.memid, 1);
    ASSERT_EQ(put.params.size(), 1u);
    EXPECT_EQ(put.params[0], (ParamDesc{"", VT_I4, false, PARAMFLAG_FIN}));

    const MemberDesc& repeat = sample.members[4];
    EXPECT_EQ(repeat.name, "Repeat");
    EXPECT_EQ(repeat.memid, 3);
    EXPECT_EQ(repeat.invokeKind, INVOKE_FUNC);
    EXPECT_EQ(repeat.returnType, VT_HRESULT);
    EXPECT_EQ(repeat.helpString, "method Repeat");
    ASSERT_EQ(repeat.params.size(), 3u);
    EXPECT_EQ(repeat.params[0], (ParamDesc{"text", VT_BSTR, false, PARAMFLAG_FIN}));
    EXPECT_EQ(repeat.params[1], (ParamDesc{"times", VT_I4, false, PARAMFLAG_FIN}));
    EXPECT_EQ(repeat.params[2],
              (ParamDesc{"pVal", VT_BSTR, true, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}));
    EXPECT_EQ(InParamCount(repeat), 2u);
    EXPECT_TRUE(sample.members[5].params.empty());

    const TypeDesc& coclass = library.types[1];
    EXPECT_EQ(coclass.kind, TKIND_COCLASS);
    EXPECT_EQ(coclass.guid, testing::CLSID_Sample);
    EXPECT_EQ(coclass.flags, TYPEFLAG_FCANCREATE);
    ASSERT_EQ(coclass.interfaces.size(), 1u);
    EXPECT_EQ(coclass.interfaces[0], (ImplementedInterface{"ISample", IMPLTYPEFLAG_FDEFAULT}));
}

// Every flag, an unnamed parameter, escapes and non-ASCII help text: what
// the writer produces, the reader gives back unchanged.
TEST(TypeLibraryText, WrittenTextOfAnyValidLibraryReadsBackEqual) {
    TypeLibraryDesc library = ParseOrFail(kSampleTypeLibText);
    library.majorVersion = 65535;
    library.minorVersion = 12;
    library.lcid = 1033;
    library.syskind = SYS_WIN64;
    library.flags =
        LIBFLAG_FRESTRICTED | LIBFLAG_FCONTROL | LIBFLAG_FHIDDEN | LIBFLAG_FHASDISKIMAGE;
    library.helpString = "quote \" backslash \\ Grüße";
    TypeDesc& sample = library.types[0];
    sample.flags = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE |
                   TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FRESTRICTED;
    sample.members[4].memid = -2147483647 - 1;
    sample.members[4].params[1].type = VT_VARIANT;
    sample.members[4].params[0].name.clear();
    sample.members[5].helpString.clear();
    TypeDesc events;
    events.kind = TKIND_INTERFACE;
    events.name = "_ISampleEvents";
    events.guid = GuidLiteral("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
    events.parent = "IUnknown";
    events.members.push_back(MemberDesc{
        "Changed",
        0,
        INVOKE_FUNC,
        {ParamDesc{"flag", VT_BOOL, false, PARAMFLAG_FIN},
         ParamDesc{"r", VT_R8, false, PARAMFLAG_FIN}, ParamDesc{"s", VT_I2, false, PARAMFLAG_FIN}},
        VT_HRESULT,
        ""});
    library.types.insert(library.types.begin() + 1, events);
    TypeDesc& coclass = library.types[2];
    coclass.flags = TYPEFLAG_FAPPOBJECT | TYPEFLAG_FCANCREATE | TYPEFLAG_FHIDDEN |
                    TYPEFLAG_FCONTROL | TYPEFLAG_FRESTRICTED;
    coclass.interfaces.push_back(ImplementedInterface{
        "_ISampleEvents", IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE | IMPLTYPEFLAG_FRESTRICTED});
    ASSERT_EQ(ValidateTypeLibrary(library), std::nullopt);

    const std::string text = WriteTypeLibraryText(library);
    EXPECT_EQ(ParseOrFail(text), library) << text;
}

TEST(TypeLibraryText, CommentsBlankLinesCrLfAndExtraBlanksAreIgnored) {
    const std::string text =
        "# a comment before the library\r\n"
        "   \t\r\n"
        "library   SAMPLELib {5b0c7e1a-0f3d-4c2b-9a61-3e8d2f4a7b10} 1.0 lcid 0 win32 \"Sample 1.0 "
        "Type Library\"\r\n"
        "interface ISample {9D4A2C61-7E35-4B8F-A1C0-6F2E8B3D5A47}:IDispatch dual oleautomation "
        "\"ISample Interface\"\n"
        "    # members follow\n"
        "propget 1 Count HRESULT(out retval long *pVal)\"property Count\"\n"
        "\tpropput 1 Count HRESULT ( in long ) \"property Count\"\n"
        "  propget 2 Label HRESULT (out retval BSTR* pVal) \"property Label\"\n"
        "  propput 2 Label HRESULT (in BSTR) \"property Label\"\n"
        "  method 3 Repeat HRESULT (in BSTR text,in long times , out retval BSTR* pVal) "
        "\"method Repeat\"\n"
        "  method 4 Reset HRESULT () \"method Reset\"\n"
        "coclass Sample {3F6B1D84-2A7C-4E95-B0D3-7C1E9A5F2B68} cancreate \"Sample Class\"\n"
        "  implements ISample default";
    EXPECT_EQ(ParseOrFail(text), ParseOrFail(kSampleTypeLibText));
}

struct Refusal {
    const char* lines;   // follow the library line, which is line 1
    std::size_t line;    // the line the error names
    const char* reason;  // a part of the message
};

constexpr const char* kLibraryLine =
    "library L {11111111-2222-3333-4444-555555555555} 1.0 lcid 0 win32 \"\"\n";

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << "line " << refusal.line; }

// Case names: the index and the expected reason, as an identifier.
std::string RefusalName(const ::testing::TestParamInfo<Refusal>& info) {
    std::string name = std::to_string(info.index) + "_";
    for (const char* c = info.param.reason; *c != '\0'; ++c) {
        const bool keep =
            (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9');
        name += keep ? *c : '_';
    }
    return name;
}

class TypeLibraryTextRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(TypeLibraryTextRefusal, NamesTheLineAndLeavesTheResultUntouched) {
    const Refusal& refusal = GetParam();
    const std::string text = std::string(kLibraryLine) + refusal.lines;
    TypeLibraryDesc library;
    library.name = "untouched";
    TypeLibraryTextError error;
    EXPECT_EQ(ParseTypeLibraryText(text, &library, &error), TYPE_E_UNSUPFORMAT) << text;
    EXPECT_EQ(error.line, refusal.line) << error.message;
    EXPECT_NE(error.message.find(refusal.reason), std::string::npos) << error.message;
    EXPECT_EQ(library.name, "untouched");

    ComPtr<ITypeLib> loaded;
    EXPECT_EQ(LoadTypeLibFromText(text, loaded.Receive()), TYPE_E_UNSUPFORMAT);
    EXPECT_FALSE(loaded);
}

#define IFACE "interface I {22222222-2222-3333-4444-555555555555} : IDispatch dual \"\"\n"
#define OTHER_IFACE "interface J {33333333-2222-3333-4444-555555555555} : IUnknown \"\"\n"

INSTANTIATE_TEST_SUITE_P(
    Format, TypeLibraryTextRefusal,
    ::testing::Values(
        Refusal{"dispinterface D {33333333-2222-3333-4444-555555555555} \"\"\n", 2,
                "unknown keyword 'dispinterface'"},
        Refusal{IFACE "  property 1 X HRESULT () \"\"\n", 3, "unknown keyword"},
        Refusal{"interface I {2222222-2222-3333-4444-555555555555} : IDispatch \"\"\n", 2,
                "malformed GUID"},
        Refusal{"interface I 22222222-2222-3333-4444-555555555555 : IDispatch \"\"\n", 2,
                "malformed GUID"},
        Refusal{"interface I {22222222-2222-3333-4444-555555555555} IDispatch \"\"\n", 2,
                "expected ':'"},
        Refusal{IFACE "  method 1 M HRESULT () \"\" extra\n", 3, "at the end of the line"},
        Refusal{IFACE "  method 1 M HRESULT () \"unterminated\n", 3, "unterminated string"},
        Refusal{IFACE "  method 1 M HRESULT () \"bad \\n escape\"\n", 3, "unknown escape"},
        Refusal{IFACE "  method 1 M HRESULT () \"\xC3\x28\"\n", 3, "not UTF-8"},
        Refusal{IFACE "  method 1 M HRESULT () \"tab\tinside\"\n", 3, "control character"},
        Refusal{IFACE "  method 1 M\x01 HRESULT () \"\"\n", 3, "unexpected character"},
        Refusal{IFACE "  method 1 M HRESULT (in long x\n", 3, "expected ','"},
        Refusal{IFACE "  method 1x M HRESULT () \"\"\n", 3, "malformed DISPID"},
        Refusal{IFACE "  method 2147483648 M HRESULT () \"\"\n", 3, "malformed DISPID"},
        Refusal{IFACE "  method 1 M void () \"\"\n", 3, "expected 'HRESULT'"},
        Refusal{IFACE "  method 1 M HRESULT (in int x) \"\"\n", 3, "unknown parameter type"},
        Refusal{IFACE "  method 1 M HRESULT (long x) \"\"\n", 3, "expected 'in' or 'out retval'"},
        Refusal{IFACE "  method 1 M HRESULT (in in long x) \"\"\n", 3, "each parameter flag once"},
        Refusal{"library L {11111111-2222-3333-4444-555555555555} 1.0 lcid 0 win32 \"\"\n", 2,
                "a second library line"},
        Refusal{"  method 1 M HRESULT () \"\"\n", 2, "a member outside an interface"},
        Refusal{"coclass C {33333333-2222-3333-4444-555555555555} \"\"\n"
                "  method 1 M HRESULT () \"\"\n",
                3, "a member outside an interface"},
        Refusal{IFACE "  implements I\n", 3, "'implements' outside a coclass"},
        Refusal{"interface I {22222222-2222-3333-4444-555555555555} : IDispatch dual dual \"\"\n",
                2, "repeated flag 'dual'"},
        Refusal{"interface I {22222222-2222-3333-4444-555555555555} : IDispatch scriptable \"\"\n",
                2, "unknown interface flag 'scriptable'"},
        Refusal{"coclass C {33333333-2222-3333-4444-555555555555} dual \"\"\n", 2,
                "unknown coclass flag 'dual'"}),
    RefusalName);

INSTANTIATE_TEST_SUITE_P(
    Rules, TypeLibraryTextRefusal,
    ::testing::Values(
        Refusal{IFACE "  method 1 A HRESULT () \"\"\n  method 1 B HRESULT () \"\"\n", 4,
                "duplicate DISPID"},
        Refusal{IFACE "  method 1 Apply HRESULT () \"\"\n  method 2 APPLY HRESULT () \"\"\n", 4,
                "duplicate name"},
        Refusal{IFACE "  propget 1 P HRESULT (out retval long* v) \"\"\n"
                      "  propget 1 P HRESULT (out retval long* v) \"\"\n",
                4, "duplicate member"},
        Refusal{IFACE "  propget 1 P HRESULT (out retval long* v) \"\"\n"
                      "  method 1 P HRESULT () \"\"\n",
                4, "duplicate member"},
        Refusal{IFACE "  propget 1 P HRESULT (out retval long* v) \"\"\n"
                      "  propput 1 p HRESULT (in long) \"\"\n",
                4, "duplicate DISPID"},
        Refusal{IFACE "  method -1 M HRESULT () \"\"\n", 3, "reserved"},
        Refusal{IFACE "  method -3 M HRESULT () \"\"\n", 3, "reserved"},
        Refusal{IFACE "  method 1 M HRESULT (out retval long* v, in long x) \"\"\n", 3,
                "must be the last"},
        Refusal{IFACE "  method 1 M HRESULT (in long* x) \"\"\n", 3, "must not be a pointer"},
        Refusal{IFACE "  method 1 M HRESULT (out retval long v) \"\"\n", 3, "must be a pointer"},
        Refusal{IFACE "  method 1 M HRESULT (out long* v) \"\"\n", 3,
                "must be 'in' or 'out retval'"},
        Refusal{IFACE "  method 1 M HRESULT (in long x, in BSTR X) \"\"\n", 3, "repeats the name"},
        Refusal{IFACE "  propget 1 P HRESULT (in long x) \"\"\n", 3, "needs an 'out retval'"},
        Refusal{IFACE "  propput 1 P HRESULT (in long x, out retval long* v) \"\"\n", 3,
                "takes 'in' parameters only"},
        Refusal{IFACE "  propput 1 P HRESULT () \"\"\n", 3, "takes 'in' parameters only"},
        Refusal{"interface I {22222222-2222-3333-4444-555555555555} : IFoo \"\"\n", 2,
                "must derive from IUnknown or IDispatch"},
        Refusal{"interface I {22222222-2222-3333-4444-555555555555} : IUnknown dual \"\"\n", 2,
                "must derive from IDispatch"},
        Refusal{"interface IDispatch {22222222-2222-3333-4444-555555555555} : IUnknown \"\"\n", 2,
                "standard interface"},
        Refusal{IFACE "interface i {33333333-2222-3333-4444-555555555555} : IUnknown \"\"\n", 3,
                "already used"},
        Refusal{IFACE "interface J {22222222-2222-3333-4444-555555555555} : IUnknown \"\"\n", 3,
                "has the GUID of 'I'"},
        Refusal{"interface I {11111111-2222-3333-4444-555555555555} : IUnknown \"\"\n", 2,
                "the library's GUID"},
        Refusal{"interface I {00000000-0000-0000-0000-000000000000} : IUnknown \"\"\n", 2,
                "null GUID"},
        Refusal{"coclass C {33333333-2222-3333-4444-555555555555} \"\"\n  implements I\n", 3,
                "not an interface declared before"},
        Refusal{IFACE "coclass C {33333333-2222-3333-4444-555555555555} \"\"\n"
                      "  implements I\n  implements I\n",
                5, "twice"},
        Refusal{IFACE OTHER_IFACE "coclass C {44444444-2222-3333-4444-555555555555} \"\"\n"
                                  "  implements I default\n  implements J default\n",
                6, "second default"},
        Refusal{IFACE "coclass C {33333333-2222-3333-4444-555555555555} \"\"\n" OTHER_IFACE, 3,
                "implements no interface"},
        Refusal{IFACE "coclass C {33333333-2222-3333-4444-555555555555} \"\"\n# end\n", 3,
                "implements no interface"}),
    RefusalName);

TEST(TypeLibraryText, TextWithoutALibraryLineIsRefused) {
    for (std::string_view text : {"", "# only a comment\n\n", "\n"}) {
        TypeLibraryDesc library;
        TypeLibraryTextError error;
        EXPECT_EQ(ParseTypeLibraryText(text, &library, &error), TYPE_E_UNSUPFORMAT);
        EXPECT_EQ(error.line, 0u);
        EXPECT_EQ(error.message, "no library line");
    }
    TypeLibraryDesc library;
    TypeLibraryTextError error;
    EXPECT_EQ(ParseTypeLibraryText(IFACE, &library, &error), TYPE_E_UNSUPFORMAT);
    EXPECT_EQ(error.line, 1u);
    EXPECT_EQ(error.message, "'interface' before the library line");
}

TEST(TypeLibraryText, MalformedLibraryLinesAreRefused) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"library L {11111111-2222-3333-4444-555555555555} 1 lcid 0 win32 \"\"", "version"},
        {"library L {11111111-2222-3333-4444-555555555555} 1.x lcid 0 win32 \"\"", "version"},
        {"library L {11111111-2222-3333-4444-555555555555} 65536.0 lcid 0 win32 \"\"", "version"},
        {"library L {11111111-2222-3333-4444-555555555555} 1.0 0 win32 \"\"", "expected 'lcid'"},
        {"library L {11111111-2222-3333-4444-555555555555} 1.0 lcid -1 win32 \"\"", "LCID"},
        {"library L {11111111-2222-3333-4444-555555555555} 1.0 lcid 0 win128 \"\"", "system kind"},
        {"library L {11111111-2222-3333-4444-555555555555} 1.0 lcid 0 win32", "help string"},
        {"library 9L {11111111-2222-3333-4444-555555555555} 1.0 lcid 0 win32 \"\"", "valid name"},
        {"library L {00000000-0000-0000-0000-000000000000} 1.0 lcid 0 win32 \"\"", "null GUID"},
    };
    for (const auto& [text, reason] : cases) {
        TypeLibraryDesc library;
        TypeLibraryTextError error;
        EXPECT_EQ(ParseTypeLibraryText(text, &library, &error), TYPE_E_UNSUPFORMAT) << text;
        EXPECT_EQ(error.line, 1u) << text;
        EXPECT_NE(error.message.find(reason), std::string::npos) << text << ": " << error.message;
    }
}

TEST(TypeLibraryText, LibrariesBuiltInCodeMeetTheSameRules) {
    TypeLibraryDesc library = ParseOrFail(kSampleTypeLibText);
    ComPtr<ITypeLib> created;
    EXPECT_EQ(CreateTypeLibFromDesc(library, created.Receive()), S_OK);
    EXPECT_TRUE(created);

    library.types[0].members[3].memid = 1;  // the Label put now shares Count's DISPID
    ASSERT_NE(ValidateTypeLibrary(library), std::nullopt);
    EXPECT_NE(ValidateTypeLibrary(library)->find("duplicate DISPID"), std::string::npos);
    EXPECT_EQ(CreateTypeLibFromDesc(library, created.Receive()), E_INVALIDARG);
    EXPECT_FALSE(created);
}

}  // namespace
}  // namespace fybootp
