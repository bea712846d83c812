// Loaded type libraries: where they come from, how their type information
// is found and documented, how long it lives, and how names resolve.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/com/dispatch_invoke.h"
#include "platform/com/load_type_lib.h"
#include "tests/platform/com_sample.h"

namespace fybootp {
namespace {

using testing::IID_ISample;
using testing::kSampleTypeLibText;

class SampleLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(LoadTypeLibFromText(kSampleTypeLibText, m_library.Receive()), S_OK);
        ASSERT_EQ(m_library->GetTypeInfoOfGuid(IID_ISample, m_info.Receive()), S_OK);
    }

    ComPtr<ITypeLib> m_library;
    ComPtr<ITypeInfo> m_info;
};

class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "fyb-com-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path Write(const char* name, std::string_view content) const {
        const auto path = m_path / name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

private:
    std::filesystem::path m_path;
};

TEST(TypeLibFile, ReadsTheSameLibraryAsTheText) {
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.Path().empty());
    ComPtr<ITypeLib> fromFile;
    ASSERT_EQ(
        LoadTypeLibFromFile(directory.Write("sample.tlb", kSampleTypeLibText), fromFile.Receive()),
        S_OK);
    ComPtr<ITypeLib> fromText;
    ASSERT_EQ(LoadTypeLibFromText(kSampleTypeLibText, fromText.Receive()), S_OK);
    const TypeLibraryDesc* fileAttr = nullptr;
    const TypeLibraryDesc* textAttr = nullptr;
    ASSERT_EQ(fromFile->GetLibAttr(&fileAttr), S_OK);
    ASSERT_EQ(fromText->GetLibAttr(&textAttr), S_OK);
    EXPECT_EQ(*fileAttr, *textAttr);
}

TEST(TypeLibFile, UnreadableFilesCannotLoadAndMalformedOnesNameTheLine) {
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.Path().empty());
    ComPtr<ITypeLib> library;
    TypeLibraryTextError error;
    EXPECT_EQ(LoadTypeLibFromFile(directory.Path() / "absent.tlb", library.Receive(), &error),
              TYPE_E_CANTLOADLIBRARY);
    EXPECT_FALSE(library);
    EXPECT_EQ(LoadTypeLibFromFile(directory.Path(), library.Receive()), TYPE_E_CANTLOADLIBRARY);
    const std::string huge(2u << 20, '#');
    EXPECT_EQ(LoadTypeLibFromFile(directory.Write("huge.tlb", huge), library.Receive()),
              TYPE_E_CANTLOADLIBRARY);

    const std::string broken =
        std::string(kSampleTypeLibText) + "  method 9 Count HRESULT () \"\"\n";
    EXPECT_EQ(LoadTypeLibFromFile(directory.Write("broken.tlb", broken), library.Receive(), &error),
              TYPE_E_UNSUPFORMAT);
    EXPECT_FALSE(library);
    EXPECT_EQ(error.line, 13u);
    EXPECT_EQ(LoadTypeLibFromFile(directory.Write("empty.tlb", ""), library.Receive(), &error),
              TYPE_E_UNSUPFORMAT);
}

TEST_F(SampleLibrary, TypeInformationIsFoundByGuidAndByIndexAsOneObject) {
    EXPECT_EQ(m_library->GetTypeInfoCount(), 2u);
    ComPtr<ITypeInfo> byIndex;
    ASSERT_EQ(m_library->GetTypeInfo(0, byIndex.Receive()), S_OK);
    EXPECT_EQ(byIndex.Get(), m_info.Get());
    TYPEKIND kind = TKIND_ENUM;
    EXPECT_EQ(m_library->GetTypeInfoType(1, &kind), S_OK);
    EXPECT_EQ(kind, TKIND_COCLASS);

    ComPtr<ITypeInfo> missing;
    EXPECT_EQ(m_library->GetTypeInfoOfGuid(IID_IDispatch, missing.Receive()),
              TYPE_E_ELEMENTNOTFOUND);
    EXPECT_FALSE(missing);
    EXPECT_EQ(m_library->GetTypeInfo(2, missing.Receive()), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_FALSE(missing);
    EXPECT_EQ(m_library->GetTypeInfoType(2, &kind), TYPE_E_ELEMENTNOTFOUND);
}

TEST_F(SampleLibrary, MembersComeInVtableOrder) {
    const TypeDesc* attr = nullptr;
    ASSERT_EQ(m_info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->name, "ISample");
    const char* const expected[] = {"Count", "Count", "Label", "Label", "Repeat", "Reset"};
    for (UINT i = 0; i < 6; ++i) {
        const MemberDesc* desc = nullptr;
        ASSERT_EQ(m_info->GetFuncDesc(i, &desc), S_OK);
        EXPECT_EQ(desc->name, expected[i]);
    }
    const MemberDesc* past = nullptr;
    EXPECT_EQ(m_info->GetFuncDesc(6, &past), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(past, nullptr);
}

TEST_F(SampleLibrary, DocumentationNamesLibraryTypeAndMemberWithTheirHelpStrings) {
    Bstr name;
    Bstr doc;
    DWORD context = 99;
    const Bstr stale("stale");
    BSTR helpFile = stale.Get();
    EXPECT_EQ(m_library->GetDocumentation(-1, name.Receive(), doc.Receive(), &context, &helpFile),
              S_OK);
    EXPECT_EQ(name.View(), "SAMPLELib");
    EXPECT_EQ(doc.View(), "Sample 1.0 Type Library");
    EXPECT_EQ(context, 0u);
    EXPECT_EQ(helpFile, nullptr);

    EXPECT_EQ(m_library->GetDocumentation(1, name.Receive(), nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(name.View(), "Sample");
    EXPECT_EQ(
        m_info->GetDocumentation(MEMBERID_NIL, name.Receive(), doc.Receive(), nullptr, nullptr),
        S_OK);
    EXPECT_EQ(name.View(), "ISample");
    EXPECT_EQ(doc.View(), "ISample Interface");
    EXPECT_EQ(m_info->GetDocumentation(3, name.Receive(), doc.Receive(), nullptr, nullptr), S_OK);
    EXPECT_EQ(name.View(), "Repeat");
    EXPECT_EQ(doc.View(), "method Repeat");

    EXPECT_EQ(m_info->GetDocumentation(42, name.Receive(), nullptr, nullptr, nullptr),
              TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(m_library->GetDocumentation(2, name.Receive(), nullptr, nullptr, nullptr),
              TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(m_library->GetDocumentation(-2, name.Receive(), nullptr, nullptr, nullptr),
              TYPE_E_ELEMENTNOTFOUND);
}

TEST_F(SampleLibrary, TypeInformationKeepsItsLibraryAlive) {
    const TypeDesc* attr = nullptr;
    ASSERT_EQ(m_info->GetTypeAttr(&attr), S_OK);
    m_library.Reset();
    // Read after the library's last outside reference went: ASan reports a
    // freed description here.
    EXPECT_EQ(attr->name, "ISample");
    ComPtr<ITypeLib> container;
    UINT index = 9;
    ASSERT_EQ(m_info->GetContainingTypeLib(container.Receive(), &index), S_OK);
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(container->GetTypeInfoCount(), 2u);
}

TEST_F(SampleLibrary, AnswersOnlyItsOwnInterfaces) {
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(QueryInterfaceAs(m_info.Get(), IID_IUnknown, unknown.Receive()), S_OK);
    EXPECT_TRUE(unknown);
    ComPtr<IUnknown> other;
    EXPECT_EQ(QueryInterfaceAs(m_info.Get(), IID_IDispatch, other.Receive()), E_NOINTERFACE);
    EXPECT_FALSE(other);
    EXPECT_EQ(QueryInterfaceAs(m_library.Get(), IID_ITypeInfo, other.Receive()), E_NOINTERFACE);
    EXPECT_EQ(QueryInterfaceAs(m_library.Get(), IID_ITypeLib, other.Receive()), S_OK);
    EXPECT_EQ(m_info->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

class SampleNames : public SampleLibrary {
protected:
    HRESULT Resolve(std::vector<const char*> names, std::vector<MEMBERID>* ids) {
        ids->assign(names.size(), 12345);
        return m_info->GetIDsOfNames(names.data(), static_cast<UINT>(names.size()), ids->data());
    }
};

TEST_F(SampleNames, MemberNamesCompareWithoutRegardToCase) {
    std::vector<MEMBERID> ids;
    for (const char* name : {"Count", "count", "COUNT", "cOuNt"}) {
        EXPECT_EQ(Resolve({name}, &ids), S_OK) << name;
        EXPECT_EQ(ids, std::vector<MEMBERID>{1}) << name;
    }
    EXPECT_EQ(Resolve({"REPEAT"}, &ids), S_OK);
    EXPECT_EQ(ids, std::vector<MEMBERID>{3});
}

TEST_F(SampleNames, ParameterNamesGiveTheirPositions) {
    std::vector<MEMBERID> ids;
    EXPECT_EQ(Resolve({"Repeat", "TIMES", "text"}, &ids), S_OK);
    EXPECT_EQ(ids, (std::vector<MEMBERID>{3, 1, 0}));
    EXPECT_EQ(Resolve({"Count", "pVal"}, &ids), S_OK);
    EXPECT_EQ(ids, (std::vector<MEMBERID>{1, 0}));
}

TEST_F(SampleNames, UnknownMemberMarksEverySlotUnknown) {
    std::vector<MEMBERID> ids;
    EXPECT_EQ(Resolve({"Coun", "text"}, &ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids, (std::vector<MEMBERID>{DISPID_UNKNOWN, DISPID_UNKNOWN}));
    EXPECT_EQ(Resolve({"Counts"}, &ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(Resolve({""}, &ids), DISP_E_UNKNOWNNAME);
}

TEST_F(SampleNames, UnknownParameterMarksOnlyItsSlot) {
    std::vector<MEMBERID> ids;
    EXPECT_EQ(Resolve({"Repeat", "text", "count", "times"}, &ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids, (std::vector<MEMBERID>{3, 0, DISPID_UNKNOWN, 1}));
}

TEST_F(SampleNames, MalformedRequestsAreInvalidArguments) {
    MEMBERID id = 0;
    const char* names[] = {"Count", nullptr};
    EXPECT_EQ(m_info->GetIDsOfNames(names, 0, &id), E_INVALIDARG);
    EXPECT_EQ(m_info->GetIDsOfNames(names, 2, &id), E_INVALIDARG);
    EXPECT_EQ(m_info->GetIDsOfNames(nullptr, 1, &id), E_INVALIDARG);
    EXPECT_EQ(m_info->GetIDsOfNames(names, 1, nullptr), E_INVALIDARG);
}

}  // namespace
}  // namespace fybootp
