#include "document/info_file.h"

#include <libxml/xmlsave.h>

#include "document/dom_error.h"
#include "document/limits.h"
#include "document/xml_text.h"
#include "platform/fs/atomic_file.h"

namespace fybootp {
namespace {

struct Sink {
    std::string text;
    bool failed = false;
};

// libxml2 calls this from C: nothing may be thrown through it.
int AppendToSink(void* context, const char* buffer, int length) {
    auto* sink = static_cast<Sink*>(context);
    try {
        sink->text.append(buffer, static_cast<std::size_t>(length));
        return length;
    } catch (const std::bad_alloc&) {
        sink->failed = true;
        return -1;
    }
}

bool HasDeclaration(const xmlDoc* document) {
    // libxml2 marks a document that had no XML declaration with -1.
    return document->standalone != -1;
}

std::string Serialize(xmlDoc* document, const char* encoding) {
    xml::PrepareLibxml();
    Sink sink;
    const int options = HasDeclaration(document) ? 0 : XML_SAVE_NO_DECL;
    xmlSaveCtxtPtr save = xmlSaveToIO(AppendToSink, nullptr, &sink, encoding, options);
    if (save == nullptr) throw DomError(E_FAIL);
    const long written = xmlSaveDoc(save, document);
    const int closed = xmlSaveClose(save);
    if (sink.failed) throw DomError(E_OUTOFMEMORY);
    CheckSucceeded(written, E_FAIL);
    CheckSucceeded(closed, E_FAIL);
    return std::move(sink.text);
}

bool AdoptIfLoaded(Document& document, Document parsed) {
    if (parsed == nullptr) return false;
    document = std::move(parsed);
    return true;
}

}  // namespace

bool LoadXmlText(Document& document, std::string_view text) {
    CheckRequired(document.get());
    return AdoptIfLoaded(document, xml::ParseUntrusted(text, xml::Origin::kClientText));
}

bool LoadInfoFile(Document& document) {
    CheckRequired(document.get());
    std::string bytes;
    if (fs::ReadWholeFile(kInfoFileName, bytes, kInfoFileLimits.maxBytes) != 0) return false;
    return AdoptIfLoaded(document, xml::ParseUntrusted(bytes, xml::Origin::kInfoFile));
}

void SaveInfoFile(const Document& document) {
    xmlDoc* doc = CheckRequired(document.get());
    const std::string bytes = Serialize(doc, xml::CharsOf(doc->encoding));
    if (const int error = fs::ReplaceFileAtomically(kInfoFileName, bytes)) {
        throw DomError(HresultFromErrno(error));
    }
}

std::string DocumentText(const Document& document) {
    return Serialize(CheckRequired(document.get()), "UTF-8");
}

}  // namespace fybootp
