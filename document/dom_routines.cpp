#include "document/dom_routines.h"

#include <libxml/dict.h>

#include "document/dom_error.h"
#include "document/text_forms.h"
#include "document/xml_memory.h"
#include "document/xml_text.h"

namespace fybootp {
namespace {

struct NodeFree {
    void operator()(xmlNode* node) const { xmlFreeNode(node); }
};
// A node not yet in a tree, freed unless it gets there.
using LooseNode = std::unique_ptr<xmlNode, NodeFree>;

bool IsDocument(Node node) { return node->type == XML_DOCUMENT_NODE; }

xmlNode* FirstChild(Node node) {
    return IsDocument(node) ? reinterpret_cast<xmlDoc*>(node)->children : node->children;
}

Node AppendChild(Node parent, LooseNode child) {
    if (xmlAddChild(parent, child.get()) == nullptr) throw DomError(E_FAIL);
    return child.release();
}

// A new element named name in the namespace the rules give: the parent's
// own when uri is empty, else uri, declared on the element when no
// ancestor declares it.
LooseNode CreateElement(xmlDoc* owner, Node parent, std::string_view name, std::string_view uri) {
    const std::string nameText(name);
    xmlNs* space = nullptr;
    if (uri.empty()) {
        if (!IsDocument(parent)) space = parent->ns;
    } else if (!IsDocument(parent)) {
        space = xmlSearchNsByHref(owner, parent, xml::ToXml(std::string(uri).c_str()));
    }
    LooseNode element(
        CheckAllocated(xmlNewDocNode(owner, space, xml::ToXml(nameText.c_str()), nullptr)));
    if (!uri.empty() && space == nullptr) {
        xmlNs* declared =
            CheckAllocated(xmlNewNs(element.get(), xml::ToXml(std::string(uri).c_str()), nullptr));
        xmlSetNs(element.get(), declared);
    }
    return element;
}

// The first step of a path and the rest after its '/'.
std::pair<std::string_view, std::string_view> SplitStep(std::string_view path) {
    const std::size_t slash = path.find('/');
    if (slash == std::string_view::npos) return {path, {}};
    return {path.substr(0, slash), path.substr(slash + 1)};
}

bool Matches(const xmlNode* node, std::string_view step) {
    return node->type == XML_ELEMENT_NODE && node->ns == nullptr &&
           xml::FromXml(node->name) == step;
}

// Depth first in child order, which is document order for child steps.
Node FindFirst(Node node, std::string_view path) {
    const auto [step, rest] = SplitStep(path);
    for (xmlNode* child = FirstChild(node); child != nullptr; child = child->next) {
        if (!Matches(child, step)) continue;
        if (rest.empty()) return child;
        if (Node found = FindFirst(child, rest)) return found;
    }
    return nullptr;
}

}  // namespace

InfoFileAccess& DocumentFactory::InfoFile() const { return DefaultInfoFileAccess(); }

InfoFileAccess& DefaultInfoFileAccess() {
    static InfoFileAccess access;
    return access;
}

Document LibxmlDocuments::Create() const {
    xml::PrepareLibxml();
    // libxml2 is always there: no document means no memory, which must not
    // pass for the absence of an XML component (operations then succeed
    // without doing anything).
    const std::size_t failedBefore = xml::FailedAllocations();
    Document document(CheckAllocated(xmlNewDoc(xml::ToXml("1.0"))));
    xml::MarkIntact(document.get(), failedBefore);
    // Element names then live once in the dictionary rather than once per
    // element: three fewer allocations for every row written.
    document->dict = CheckAllocated(xmlDictCreate());
    return document;
}

const DocumentFactory& LibxmlDocumentFactory() {
    static const LibxmlDocuments factory;
    return factory;
}

Document CreateInfoDocument(const DocumentFactory& factory) { return factory.Create(); }

void AppendDeclaration(xmlDoc* document) {
    CheckRequired(document);
    xmlChar* encoding = CheckAllocated(xmlStrdup(xml::ToXml("UTF-8")));
    xmlFree(const_cast<xmlChar*>(document->encoding));
    document->encoding = encoding;
    // libxml2's mark for "declared, without standalone": it writes the
    // declaration, naming the encoding, when the document is saved.
    document->standalone = -2;
}

NewDocument NewInfoDocument(const DocumentFactory& factory) {
    NewDocument created{CreateInfoDocument(factory), nullptr};
    AppendDeclaration(created.document.get());
    created.root = AppendElement(AsNode(created.document.get()), "FyBootpInfo");
    return created;
}

Node AsNode(xmlDoc* document) { return reinterpret_cast<Node>(document); }

Node AppendElement(Node parent, std::string_view name, std::string_view namespaceUri) {
    if (parent == nullptr) return nullptr;
    xmlDoc* owner = IsDocument(parent) ? reinterpret_cast<xmlDoc*>(parent) : parent->doc;
    if (owner == nullptr) return nullptr;
    return AppendChild(parent, CreateElement(owner, parent, name, namespaceUri));
}

Node AppendTextElement(Node parent, std::string_view name, std::string_view text,
                       std::string_view namespaceUri) {
    if (parent == nullptr || IsDocument(parent) || parent->doc == nullptr) return nullptr;
    LooseNode element = CreateElement(parent->doc, parent, name, namespaceUri);
    const std::string safe = xml::XmlSafeText(text);
    if (!safe.empty()) {
        LooseNode content(CheckAllocated(xmlNewDocTextLen(parent->doc, xml::ToXml(safe.c_str()),
                                                          static_cast<int>(safe.size()))));
        AppendChild(element.get(), std::move(content));
    }
    return AppendChild(parent, std::move(element));
}

Node AppendHexElement(Node parent, std::string_view name, std::span<const std::uint8_t> bytes,
                      std::string_view namespaceUri) {
    return AppendTextElement(parent, name, HexText(bytes), namespaceUri);
}

std::vector<Node> SelectNodes(Node context, std::string_view path) {
    std::vector<Node> current{CheckRequired(context)};
    for (std::string_view rest = path; !current.empty();) {
        const auto [step, after] = SplitStep(rest);
        std::vector<Node> next;
        for (Node node : current) {
            for (xmlNode* child = FirstChild(node); child != nullptr; child = child->next) {
                if (Matches(child, step)) next.push_back(child);
            }
        }
        current.swap(next);
        if (after.empty()) break;
        rest = after;
    }
    return current;
}

Node SelectSingleNode(Node context, std::string_view path) {
    return FindFirst(CheckRequired(context), path);
}

std::string NodeText(Node node) {
    CheckRequired(node);
    const xmlNode* only = FirstChild(node);
    if (only == nullptr) return {};
    // The common case, one text child, without the copy libxml2 makes.
    if (only->next == nullptr && only->type == XML_TEXT_NODE) {
        return std::string(xml::FromXml(only->content));
    }
    const xml::OwnedXmlString text(CheckAllocated(xmlNodeGetContent(node)));
    return std::string(xml::FromXml(text.get()));
}

void RemoveChild(Node parent, Node child) {
    CheckRequired(parent);
    if (CheckRequired(child)->parent != parent) throw DomError(E_INVALIDARG);
    xmlUnlinkNode(child);
    xmlFreeNode(child);
}

}  // namespace fybootp
