#pragma once
// Building and reading the documents of the info vocabulary. A document is
// owned by the operation that made it and released when it returns; a node
// belongs to its document. An empty handle ("none") is an ordinary result
// wherever the routines below say so; a required handle that is none raises
// DomError with E_POINTER.

#include <libxml/tree.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "document/info_file_access.h"
#include "document/xml_parse.h"

namespace fybootp {

using Document = xml::OwnedDocument;
using Node = xmlNode*;

// Makes the empty documents that every operation starts from, and names
// what the info file is read and written through. Operations take one so
// that tests can stand in a factory that makes none, which is how the server
// behaves when no XML component is available, or a file layer that fails.
class DocumentFactory {
public:
    virtual ~DocumentFactory() = default;
    // A new empty document, or none when there is no XML component. Raises
    // DomError only when memory runs out.
    virtual Document Create() const = 0;
    // The process's default unless a factory is given one of its own.
    virtual InfoFileAccess& InfoFile() const;
};

// The access of the process's default factory: the system's file layer and
// journal.
InfoFileAccess& DefaultInfoFileAccess();

// The factory over libxml2, with the info file reached through access.
class LibxmlDocuments final : public DocumentFactory {
public:
    explicit LibxmlDocuments(InfoFileAccess& access = DefaultInfoFileAccess())
        : m_access(access) {}
    Document Create() const override;
    InfoFileAccess& InfoFile() const override { return m_access; }

private:
    InfoFileAccess& m_access;
};

// The process's default factory over libxml2. A server object is better
// given a LibxmlDocuments of its own: what its start-up load learnt about
// the file then stays with it.
const DocumentFactory& LibxmlDocumentFactory();

Document CreateInfoDocument(const DocumentFactory& factory = LibxmlDocumentFactory());

// Gives the document the declaration <?xml version="1.0" encoding="UTF-8"?>,
// which libxml2 writes from the document's fields when it is serialised.
void AppendDeclaration(xmlDoc* document);

struct NewDocument {
    Document document;
    Node root = nullptr;
};
// A document with the declaration and the root FyBootpInfo.
NewDocument NewInfoDocument(const DocumentFactory& factory = LibxmlDocumentFactory());

// A document seen as the node it also is (libxml2 lays both out alike).
Node AsNode(xmlDoc* document);

// Appends an element as the parent's last child and returns it; none when
// the parent is none. An empty namespace URI means the parent's namespace.
Node AppendElement(Node parent, std::string_view name, std::string_view namespaceUri = {});

// As AppendElement, with the element's text set first. These build inside
// elements only: given a document as parent they create nothing and return
// none. The text is made safe for XML first (xml::XmlSafeText).
Node AppendTextElement(Node parent, std::string_view name, std::string_view text,
                       std::string_view namespaceUri = {});
// The text is the bytes in hexadecimal, two upper-case digits each.
Node AppendHexElement(Node parent, std::string_view name, std::span<const std::uint8_t> bytes,
                      std::string_view namespaceUri = {});

// Child-step paths ("FyBootpInfo/Nodes/Node", "IpAddr"): each step selects
// the child elements of that name, in document order, names compared
// case-sensitively, elements in a namespace never matching. This is what
// XPath 1.0 gives for such a path.
std::vector<Node> SelectNodes(Node context, std::string_view path);
// The first match in document order, or none.
Node SelectSingleNode(Node context, std::string_view path);

// The text content of a node: all text below it, in document order.
std::string NodeText(Node node);

// Takes child and its subtree out of the document and frees them.
void RemoveChild(Node parent, Node child);

}  // namespace fybootp
