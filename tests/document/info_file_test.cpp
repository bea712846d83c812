// Loading and saving FyBootpInfo.xml: where it is, which encodings it is
// read and written in, what its declaration becomes.

#include "document/info_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "document/dom_error.h"
#include "tests/document/document_test_support.h"

namespace fybootp {
namespace {

using namespace std::string_view_literals;
using testing::ReadInfoFile;
using testing::WriteInfoFile;

class InfoFile : public testing::InfoFileTest {
protected:
    // The file loaded into a fresh document, or none when it does not load.
    static Document Load() {
        Document document = CreateInfoDocument();
        return LoadInfoFile(document) ? std::move(document) : nullptr;
    }
    static std::string NameOf(const Document& document) {
        return NodeText(SelectSingleNode(AsNode(document.get()), "FyBootpInfo/HostInfo/Name"));
    }
};

TEST_F(InfoFile, AbsentMalformedOrUnreadableFilesDoNotLoad) {
    EXPECT_EQ(Load(), nullptr);
    WriteInfoFile("<FyBootpInfo><Nodes></FyBootpInfo>");
    EXPECT_EQ(Load(), nullptr);
    std::filesystem::remove(kInfoFileName);
    std::filesystem::create_directory(kInfoFileName);
    EXPECT_EQ(Load(), nullptr);
}

TEST_F(InfoFile, NameResolvesAgainstTheWorkingDirectoryOfEachCall) {
    const NewDocument created = NewInfoDocument();
    SaveInfoFile(created.document);
    testing::TempDirectory other;
    {
        testing::WorkingDirectory inOther(other.Path());
        EXPECT_EQ(Load(), nullptr);
        AppendElement(created.root, "Nodes");
        SaveInfoFile(created.document);
    }
    EXPECT_EQ(*ReadInfoFile(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FyBootpInfo/>\n");
    EXPECT_NE(testing::ReadFile(other.Path() + "/" + kInfoFileName).find("<Nodes/>"),
              std::string::npos);
}

TEST_F(InfoFile, SavingLeavesNoOtherFileBehind) {
    SaveInfoFile(NewInfoDocument().document);
    SaveInfoFile(NewInfoDocument().document);
    EXPECT_EQ(testing::DirectoryEntries("."), std::vector<std::string>{kInfoFileName});
}

TEST_F(InfoFile, Latin1FileIsWrittenBackInLatin1) {
    WriteInfoFile(
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
        "<FyBootpInfo><HostInfo><Name>M\xFCller</Name></HostInfo></FyBootpInfo>\n");
    Document document = Load();
    ASSERT_NE(document, nullptr);
    EXPECT_EQ(NameOf(document), "M\xC3\xBCller");
    // A character Latin-1 lacks is written as a character reference.
    AppendTextElement(xmlDocGetRootElement(document.get()), "Extra", "\xE6\x97\xA5");
    SaveInfoFile(document);
    EXPECT_EQ(*ReadInfoFile(),
              "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
              "<FyBootpInfo><HostInfo><Name>M\xFCller</Name></HostInfo><Extra>&#26085;</Extra>"
              "</FyBootpInfo>\n");
    EXPECT_EQ(NameOf(Load()), "M\xC3\xBCller");
}

TEST_F(InfoFile, Utf16FileLoadsAndIsWrittenBackInUtf16) {
    const std::u16string text =
        u"\uFEFF<?xml version=\"1.0\" encoding=\"UTF-16\"?><FyBootpInfo><HostInfo><Name>\u65E5"
        u"</Name></HostInfo></FyBootpInfo>";
    WriteInfoFile(std::string_view(reinterpret_cast<const char*>(text.data()), text.size() * 2));
    Document document = Load();
    ASSERT_NE(document, nullptr);
    EXPECT_EQ(NameOf(document), "\xE6\x97\xA5");
    SaveInfoFile(document);
    EXPECT_TRUE(ReadInfoFile()->starts_with("\xFF\xFE<\0?\0x\0m\0l\0"sv));
    EXPECT_EQ(NameOf(Load()), "\xE6\x97\xA5");
}

TEST_F(InfoFile, DeclarationIsKeptAsItWas) {
    WriteInfoFile("<?xml version=\"1.0\" standalone=\"yes\"?><FyBootpInfo/>");
    SaveInfoFile(Load());
    EXPECT_EQ(*ReadInfoFile(), "<?xml version=\"1.0\" standalone=\"yes\"?>\n<FyBootpInfo/>\n");
    WriteInfoFile("<FyBootpInfo/>");
    SaveInfoFile(Load());
    EXPECT_EQ(*ReadInfoFile(), "<FyBootpInfo/>\n");
}

TEST_F(InfoFile, EncodingsThatCouldHideMarkupFromTheLimitsAreNotRead) {
    // UTF-7 spells '=' and '"' in base64: 20 attributes without one '='
    // byte.
    std::string hidden = "<?xml version=\"1.0\" encoding=\"UTF-7\"?><FyBootpInfo";
    for (int i = 0; i < 20; ++i) hidden += " a" + std::to_string(i) + "+AD0AIgAi-";
    WriteInfoFile(hidden + "/>");
    EXPECT_EQ(Load(), nullptr);
    WriteInfoFile("<?xml version=\"1.0\" encoding=\"ISO-2022-JP\"?><FyBootpInfo/>");
    EXPECT_EQ(Load(), nullptr);
    WriteInfoFile(std::string("\0\0\0<\0\0\0?", 8));  // UCS-4
    EXPECT_EQ(Load(), nullptr);
    WriteInfoFile(
        "\x4C\x6F\xA7\x94\x93\x40\xA5\x85\x99\xA2\x89\x96\x95\x7E\x7F\xF1\x4B\xF0\x7F\x6F"
        "\x6E\x4C\x81\x61\x6E");  // EBCDIC: <?xml version="1.0"?><a/>
    EXPECT_EQ(Load(), nullptr);
    WriteInfoFile("<?xml version=\"1.0\" encoding=\"windows-1252\"?><FyBootpInfo/>");
    EXPECT_NE(Load(), nullptr);
}

TEST_F(InfoFile, AZeroByteKeepsAFileInAByteEncodingFromLoading) {
    WriteInfoFile(std::string("<FyBootpInfo/>\0<junk", 20));
    EXPECT_EQ(Load(), nullptr);
}

TEST_F(InfoFile, ADeclarationThatCannotBeReadIsNotLoaded) {
    WriteInfoFile("<?xml version=\"1.0\" encoding=\"UTF-8\"<FyBootpInfo/>");
    EXPECT_EQ(Load(), nullptr);
    WriteInfoFile("<?xml version=\"1.0\" encoding=UTF-8?><FyBootpInfo/>");
    EXPECT_EQ(Load(), nullptr);
}

TEST_F(InfoFile, ReplacedFileKeepsItsPermissionBits) {
    WriteInfoFile("<FyBootpInfo/>");
    ASSERT_EQ(::chmod(kInfoFileName, 0640), 0);
    SaveInfoFile(Load());
    struct stat info {};
    ASSERT_EQ(::stat(kInfoFileName, &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(InfoFile, SavingIntoADirectoryThatIsGoneRaisesAFailure) {
    const std::string gone = Dir() + "/gone";
    std::filesystem::create_directory(gone);
    testing::WorkingDirectory inGone(gone);
    std::filesystem::remove(gone);
    try {
        SaveInfoFile(NewInfoDocument().document);
        FAIL() << "no error raised";
    } catch (const DomError& error) {
        EXPECT_TRUE(Failed(error.Status()));
    }
}

}  // namespace
}  // namespace fybootp
