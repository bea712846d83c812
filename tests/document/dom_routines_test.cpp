// Building, loading, selecting and serialising documents.

#include "document/dom_routines.h"

#include <gtest/gtest.h>

#include "document/dom_error.h"
#include "document/info_file.h"
#include "document/info_text.h"
#include "tests/document/document_test_support.h"

namespace fybootp {
namespace {

constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

Document Loaded(std::string_view text) {
    Document document = CreateInfoDocument();
    EXPECT_TRUE(LoadXmlText(document, text)) << text;
    return document;
}

Node Root(const Document& document) { return xmlDocGetRootElement(document.get()); }

HRESULT StatusOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const DomError& error) {
        return error.Status();
    }
    return S_OK;
}

TEST(BuildingDocuments, NewDocumentHasTheUtf8DeclarationAndTheRoot) {
    const NewDocument created = NewInfoDocument();
    ASSERT_NE(created.root, nullptr);
    EXPECT_EQ(DocumentText(created.document), std::string(kDeclaration) + "<FyBootpInfo/>\n");
}

TEST(BuildingDocuments, ElementsAreAppendedAsLastChildWithoutWhitespace) {
    const NewDocument created = NewInfoDocument();
    const Node nodes = AppendElement(created.root, "Nodes");
    AppendTextElement(AppendElement(nodes, "Node"), "IpAddr", "192.0.2.1");
    AppendElement(created.root, "HostInfo");
    EXPECT_EQ(DocumentText(created.document),
              std::string(kDeclaration) +
                  "<FyBootpInfo><Nodes><Node><IpAddr>192.0.2.1</IpAddr></Node></Nodes>"
                  "<HostInfo/></FyBootpInfo>\n");
}

TEST(BuildingDocuments, ElementIsCreatedInTheParentsNamespace) {
    const Document document = Loaded("<r xmlns='urn:example'><c/></r>");
    const Node child = AppendElement(Root(document), "Added");
    ASSERT_NE(child->ns, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(child->ns->href), "urn:example");
    const Node text = AppendTextElement(Root(document), "Text", "x");
    EXPECT_EQ(text->ns, Root(document)->ns);
}

TEST(BuildingDocuments, ExplicitNamespaceIsDeclaredWhereNoAncestorHasIt) {
    const NewDocument created = NewInfoDocument();
    AppendElement(created.root, "Other", "urn:other");
    EXPECT_EQ(
        DocumentText(created.document),
        std::string(kDeclaration) + "<FyBootpInfo><Other xmlns=\"urn:other\"/></FyBootpInfo>\n");
}

TEST(BuildingDocuments, NoParentGivesNoElement) {
    EXPECT_EQ(AppendElement(nullptr, "Nodes"), nullptr);
    EXPECT_EQ(AppendTextElement(nullptr, "Name", "x"), nullptr);
}

TEST(BuildingDocuments, TextElementsRefuseADocumentAsParent) {
    const NewDocument created = NewInfoDocument();
    const std::string before = DocumentText(created.document);
    EXPECT_EQ(AppendTextElement(AsNode(created.document.get()), "Name", "x"), nullptr);
    const std::uint8_t bytes[] = {1, 2};
    EXPECT_EQ(AppendHexElement(AsNode(created.document.get()), "MacAddr", bytes), nullptr);
    EXPECT_EQ(DocumentText(created.document), before);
}

TEST(BuildingDocuments, HexElementWritesUpperCaseDigits) {
    const NewDocument created = NewInfoDocument();
    const std::uint8_t bytes[] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    EXPECT_EQ(NodeText(AppendHexElement(created.root, "MacAddr", bytes)), "001A2B3C4D5E");
}

TEST(BuildingDocuments, TextWithMarkupCharactersSurvivesSerialisation) {
    const NewDocument created = NewInfoDocument();
    const std::string text = "a<b>&c\"d'e\r\n\tf \xC3\xA9";
    AppendTextElement(created.root, "Name", text);
    const Document reloaded = Loaded(DocumentText(created.document));
    EXPECT_EQ(NodeText(SelectSingleNode(AsNode(reloaded.get()), "FyBootpInfo/Name")), text);
}

TEST(BuildingDocuments, TextThatXmlForbidsIsWrittenLoadably) {
    const NewDocument created = NewInfoDocument();
    AppendTextElement(created.root, "Name", "bad\x01\xFFname");
    const Document reloaded = Loaded(DocumentText(created.document));
    EXPECT_EQ(NodeText(SelectSingleNode(AsNode(reloaded.get()), "FyBootpInfo/Name")),
              "bad\xEF\xBF\xBD\xEF\xBF\xBDname");
}

// The large texts are written without a tree (InfoText); each must be the
// bytes the tree would serialise to.
TEST(BuildingDocuments, TextWrittenWithoutATreeIsTheTreesSerialisation) {
    const std::uint8_t mac[] = {0x02, 0x4B, 0x77, 0x00, 0xAB, 0xCD};
    for (const std::string& text : std::vector<std::string>{"", "plain text 1.2.3.4", "a<b>&c\"d'e\r\n\tf \xC3\xA9", "bad\x01\xFFname\x7F",
          std::string("nul\0inside", 10), "\xEF\xBF\xBE\xF0\x9F\x98\x80]]>"}) {
        const NewDocument tree = NewInfoDocument();
        const Node nodes = AppendElement(tree.root, "Nodes");
        AppendElement(nodes, "Empty");
        const Node node = AppendElement(nodes, "Node");
        AppendTextElement(node, "Message", text);
        AppendHexElement(node, "MacAddr", mac);
        AppendTextElement(node, "After", "x");
        InfoText written;
        written.Open("Nodes");
        written.Open("Empty");
        written.Close("Empty");
        written.Open("Node");
        written.Element("Message", text);
        written.HexElement("MacAddr", mac);
        written.Element("After", "x");
        written.Close("Node");
        written.Close("Nodes");
        EXPECT_EQ(written.Finish(), DocumentText(tree.document)) << text;
    }
    EXPECT_EQ(InfoText().Finish(), DocumentText(NewInfoDocument().document));
}

TEST(BuildingDocuments, WithoutADocumentTheFirstUseRaisesEPointer) {
    EXPECT_EQ(StatusOf([] { NewInfoDocument(testing::NoDocumentFactory()); }), E_POINTER);
    EXPECT_EQ(StatusOf([] { DocumentText(Document()); }), E_POINTER);
    Document none;
    EXPECT_EQ(StatusOf([&] { LoadXmlText(none, "<a/>"); }), E_POINTER);
}

TEST(LoadingText, TextThatIsNotWellFormedDoesNotLoadAndLeavesTheDocument) {
    for (const char* text : {"<FyBootpInfo>", "<a></b>", "<a/><b/>", "", "text", "<a>&#1;</a>",
                             "<a>\x01</a>", "<a>&undefined;</a>", "<a x='1' x='2'/>"}) {
        Document document = CreateInfoDocument();
        xmlDoc* before = document.get();
        EXPECT_FALSE(LoadXmlText(document, text)) << text;
        EXPECT_EQ(document.get(), before);
    }
}

TEST(LoadingText, WhitespaceBetweenElementsIsNotKept) {
    const Document document =
        Loaded("<FyBootpInfo>\n  <Nodes>\n    <Node/>\n  </Nodes>\n</FyBootpInfo>");
    const Node nodes = SelectSingleNode(AsNode(document.get()), "FyBootpInfo/Nodes");
    ASSERT_NE(nodes, nullptr);
    EXPECT_EQ(nodes->children->type, XML_ELEMENT_NODE);
    EXPECT_EQ(nodes->children, nodes->last);
    EXPECT_EQ(DocumentText(document), "<FyBootpInfo><Nodes><Node/></Nodes></FyBootpInfo>\n");
}

TEST(LoadingText, WhitespaceThatIsAnElementsWholeTextIsKept) {
    const Document document = Loaded("<FyBootpInfo><Name>  </Name></FyBootpInfo>");
    EXPECT_EQ(NodeText(SelectSingleNode(AsNode(document.get()), "FyBootpInfo/Name")), "  ");
}

TEST(LoadingText, ClientTextIsUtf8WhateverItsDeclarationSays) {
    const Document document = Loaded(
        "<?xml version=\"1.0\" "
        "encoding=\"ISO-8859-1\"?><FyBootpInfo><Name>\xC3\xA9</Name></FyBootpInfo>");
    EXPECT_EQ(NodeText(SelectSingleNode(AsNode(document.get()), "FyBootpInfo/Name")), "\xC3\xA9");
}

TEST(LoadingText, TextContentJoinsCdataAndNestedText) {
    const Document document = Loaded("<a><b>00<![CDATA[1A]]><c>2B</c>3C</b></a>");
    EXPECT_EQ(NodeText(SelectSingleNode(AsNode(document.get()), "a/b")), "001A2B3C");
}

class Selecting : public ::testing::Test {
protected:
    Selecting()
        : m_document(Loaded(
              "<FyBootpInfo><Nodes><Node><IpAddr>1</IpAddr></Node><Node><IpAddr>2</IpAddr></Node>"
              "</Nodes><nodes><Node><IpAddr>x</IpAddr></Node></nodes>"
              "<p:Nodes xmlns:p='urn:p'><Node><IpAddr>y</IpAddr></Node></p:Nodes>"
              "<Nodes xmlns='urn:d'><Node><IpAddr>z</IpAddr></Node></Nodes>"
              "<Nodes><Node><IpAddr>3</IpAddr></Node></Nodes></FyBootpInfo>")) {}
    Node Doc() const { return AsNode(m_document.get()); }

    std::vector<std::string> Texts(std::string_view path) const {
        std::vector<std::string> texts;
        for (const Node node : SelectNodes(Doc(), path)) texts.push_back(NodeText(node));
        return texts;
    }

private:
    Document m_document;
};

TEST_F(Selecting, PathsGiveEveryMatchInDocumentOrder) {
    EXPECT_EQ(Texts("FyBootpInfo/Nodes/Node/IpAddr"), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(SelectNodes(Doc(), "FyBootpInfo/Nodes").size(), 2u);
}

TEST_F(Selecting, NamesAreCaseSensitiveAndNamespacedElementsNeverMatch) {
    EXPECT_TRUE(SelectNodes(Doc(), "fybootpinfo/Nodes").empty());
    EXPECT_EQ(Texts("FyBootpInfo/nodes/Node/IpAddr"), (std::vector<std::string>{"x"}));
}

TEST_F(Selecting, SingleNodeIsTheFirstInDocumentOrderOrNone) {
    EXPECT_EQ(NodeText(SelectSingleNode(Doc(), "FyBootpInfo/Nodes/Node/IpAddr")), "1");
    EXPECT_EQ(SelectSingleNode(Doc(), "FyBootpInfo/HostInfo"), nullptr);
    EXPECT_EQ(SelectSingleNode(Doc(), "Nodes"), nullptr);
}

TEST_F(Selecting, ANoneContextRaisesEPointer) {
    EXPECT_EQ(StatusOf([] { SelectNodes(nullptr, "FyBootpInfo"); }), E_POINTER);
    EXPECT_EQ(StatusOf([] { SelectSingleNode(nullptr, "FyBootpInfo"); }), E_POINTER);
    EXPECT_EQ(StatusOf([] { NodeText(nullptr); }), E_POINTER);
}

TEST(RemovingChildren, ChildAndSubtreeLeaveTheDocument) {
    const Document document =
        Loaded("<FyBootpInfo><Nodes><Node/></Nodes><HostInfo/></FyBootpInfo>");
    const Node root = Root(document);
    RemoveChild(root, SelectSingleNode(AsNode(document.get()), "FyBootpInfo/Nodes"));
    EXPECT_EQ(DocumentText(document), "<FyBootpInfo><HostInfo/></FyBootpInfo>\n");
}

TEST(RemovingChildren, ANodeThatIsNotAChildIsRefused) {
    const Document document = Loaded("<FyBootpInfo><Nodes><Node/></Nodes></FyBootpInfo>");
    const Node node = SelectSingleNode(AsNode(document.get()), "FyBootpInfo/Nodes/Node");
    EXPECT_EQ(StatusOf([&] { RemoveChild(Root(document), node); }), E_INVALIDARG);
}

}  // namespace
}  // namespace fybootp
