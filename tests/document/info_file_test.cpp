// Loading and saving FyBootpInfo.xml: where it is, which encodings it is
// read and written in, what its declaration becomes.

#include "document/info_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "document/dom_error.h"
#include "document/limits.h"
#include "document/xml_text.h"
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

TEST_F(InfoFile, AbsentOrMalformedFilesDoNotLoad) {
    Document document = CreateInfoDocument();
    EXPECT_EQ(LoadInfoFile(document).outcome, InfoFileLoad::Outcome::kAbsent);
    WriteInfoFile("<FyBootpInfo><Nodes></FyBootpInfo>");
    const InfoFileLoad malformed = LoadInfoFile(document);
    EXPECT_EQ(malformed.outcome, InfoFileLoad::Outcome::kUnloadable);
    EXPECT_EQ(malformed.reason, "not well-formed XML");
    EXPECT_EQ(malformed.bytes, "<FyBootpInfo><Nodes></FyBootpInfo>");
}

// A reader that watches elements end sees each whole, innermost first;
// what it takes is gone from the document, what it leaves stays; text
// around a taken element stays as it was.
TEST_F(InfoFile, ElementsTakenAsTheyEndAreLeftOutOfTheDocument) {
    WriteInfoFile(
        "<FyBootpInfo><Nodes>a<Node><IpAddr>192.0.2.1</IpAddr></Node>bc<Keep/>"
        "d<Node/>e</Nodes></FyBootpInfo>");
    std::vector<std::string> ended;
    Document document = CreateInfoDocument();
    const auto onEnd = [&ended](Node element) {
        ended.push_back(std::string(xml::FromXml(element->name)) + ":" + NodeText(element));
        return std::string(xml::FromXml(element->name)) == "Node";
    };
    ASSERT_TRUE(LoadInfoFile(document, DefaultInfoFileAccess(), onEnd));
    EXPECT_EQ(ended, (std::vector<std::string>{"IpAddr:192.0.2.1", "Node:192.0.2.1", "Keep:",
                                               "Node:", "Nodes:abcde", "FyBootpInfo:abcde"}));
    EXPECT_EQ(DocumentText(document), "<FyBootpInfo><Nodes>abc<Keep/>de</Nodes></FyBootpInfo>\n");
}

TEST_F(InfoFile, WhatTheReaderRaisesEndsTheLoadAndComesOut) {
    WriteInfoFile("<FyBootpInfo><Nodes><Node/><Node/></Nodes></FyBootpInfo>");
    int calls = 0;
    Document document = CreateInfoDocument();
    const auto onEnd = [&calls](Node) -> bool {
        ++calls;
        throw DomError(E_OUTOFMEMORY);
    };
    try {
        LoadInfoFile(document, DefaultInfoFileAccess(), onEnd);
        ADD_FAILURE() << "nothing raised";
    } catch (const DomError& error) {
        EXPECT_EQ(error.Status(), E_OUTOFMEMORY);
    }
    EXPECT_EQ(calls, 1);
}

// Only absence is no file. Any other failure of the read is raised, so that
// no operation goes on to replace what it could not read.
class UnreadableInfoFile : public testing::InfoFileTest {
protected:
    HRESULT LoadStatus() {
        Document document = CreateInfoDocument(m_layer.documents);
        try {
            LoadInfoFile(document, m_layer.access);
            return S_OK;
        } catch (const DomError& error) {
            return error.Status();
        }
    }
    testing::FileLayerUnderTest m_layer;
};

TEST_F(UnreadableInfoFile, EveryReadErrorButAbsenceIsRaisedWithItsStatusAndLogged) {
    using Kind = testing::FailingFileSystem::Kind;
    WriteInfoFile("<FyBootpInfo/>");
    const struct {
        Kind kind;
        int error;
        HRESULT status;
    } cases[] = {{Kind::kOpen, EACCES, E_ACCESSDENIED},
                 {Kind::kOpen, EMFILE, HresultFromWin32(4)},
                 {Kind::kRead, EIO, HresultFromWin32(1117)},
                 {Kind::kStat, EPERM, E_ACCESSDENIED}};
    for (const auto& c : cases) {
        m_layer.files.Reset();
        m_layer.files.FailNth(c.kind, 1, c.error);
        EXPECT_EQ(LoadStatus(), c.status) << testing::FailingFileSystem::Name(c.kind);
        EXPECT_TRUE(
            m_layer.events.Has({kInfoFileName, "could not be read", std::strerror(c.error)}));
    }
}

// The server resolves links itself, so the kernel's protected_symlinks
// never applies: a link is followed only when root or the folder's owner
// made it.
TEST_F(UnreadableInfoFile, ALinkOnlyRootOrTheFolderOwnerMadeIsFollowed) {
    const std::string before = "<FyBootpInfo><Nodes/></FyBootpInfo>";
    testing::WriteFile("target.xml", before);
    std::filesystem::create_symlink("target.xml", kInfoFileName);
    for (const uid_t owner : {0u, 65534u}) {
        SCOPED_TRACE(owner);
        ASSERT_EQ(::lchown(kInfoFileName, owner, owner), 0);
        const bool followed = owner == 0;
        EXPECT_EQ(LoadStatus(), followed ? S_OK : E_ACCESSDENIED);
        HRESULT saved = S_OK;
        try {
            SaveInfoFile(NewInfoDocument().document, m_layer.access);
        } catch (const DomError& error) {
            saved = error.Status();
        }
        EXPECT_EQ(saved, followed ? S_OK : E_ACCESSDENIED);
        EXPECT_EQ(m_layer.events.Has({kInfoFileName, "symbolic link owned by uid 65534",
                                      "not followed"}),
                  !followed);
        EXPECT_EQ(testing::ReadFile("target.xml") == before, !followed);
        EXPECT_TRUE(std::filesystem::is_symlink(kInfoFileName));
        testing::WriteFile("target.xml", before);
    }
}

TEST_F(UnreadableInfoFile, DirectoryOrFileOverTheReadBoundIsRaised) {
    std::filesystem::create_directory(kInfoFileName);
    EXPECT_EQ(LoadStatus(), E_ACCESSDENIED);
    std::filesystem::remove(kInfoFileName);
    WriteInfoFile("");
    ASSERT_EQ(::truncate(kInfoFileName, static_cast<off_t>(kInfoFileReadBytes) + 1), 0);  // sparse
    EXPECT_EQ(LoadStatus(), HresultFromWin32(223));
}

// Opening a FIFO for reading waits for a writer: it must never be opened.
TEST_F(UnreadableInfoFile, FifoIsRefusedAtOnce) {
    ASSERT_EQ(::mkfifo(kInfoFileName, 0600), 0);
    const int code = testing::RunInChild([&] {
        ::alarm(10);
        return LoadStatus() == HresultFromWin32(222) ? 0 : 1;
    });
    EXPECT_EQ(code, 0) << "128 + SIGALRM (142): the read blocked";
    struct stat info {};
    ASSERT_EQ(::lstat(kInfoFileName, &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
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

// An operator who keeps the file elsewhere and links it here expects the
// link to stay and the file it names to change.
TEST_F(InfoFile, SavingThroughASymbolicLinkReplacesItsTargetAndKeepsTheLink) {
    std::filesystem::create_directories("elsewhere/deeper");
    testing::WriteFile("elsewhere/deeper/info.xml", "<FyBootpInfo/>");
    std::filesystem::create_symlink("deeper/info.xml", "elsewhere/middle-link");
    std::filesystem::create_symlink("elsewhere/middle-link", kInfoFileName);
    const NewDocument created = NewInfoDocument();
    AppendElement(created.root, "Nodes");
    SaveInfoFile(created.document);
    EXPECT_TRUE(std::filesystem::is_symlink(kInfoFileName));
    EXPECT_EQ(std::filesystem::read_symlink(kInfoFileName), "elsewhere/middle-link");
    EXPECT_EQ(testing::ReadFile("elsewhere/deeper/info.xml"),
              std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") +
                  "<FyBootpInfo><Nodes/></FyBootpInfo>\n");
    EXPECT_EQ(testing::DirectoryEntries("elsewhere/deeper"), std::vector<std::string>{"info.xml"});
    EXPECT_NE(Load(), nullptr);
}

TEST_F(InfoFile, SavingThroughADanglingLinkCreatesItsTarget) {
    std::filesystem::create_directory("elsewhere");
    std::filesystem::create_symlink(Dir() + "/elsewhere/info.xml", kInfoFileName);
    SaveInfoFile(NewInfoDocument().document);
    EXPECT_TRUE(std::filesystem::is_symlink(kInfoFileName));
    EXPECT_EQ(testing::ReadFile("elsewhere/info.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FyBootpInfo/>\n");
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
