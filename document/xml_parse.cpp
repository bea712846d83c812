#include "document/xml_parse.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <mutex>

#include "document/dom_error.h"
#include "document/limits.h"
#include "document/xml_encoding.h"
#include "document/xml_memory.h"

namespace fybootp::xml {
namespace {

struct ParserFree {
    void operator()(xmlParserCtxt* parser) const { xmlFreeParserCtxt(parser); }
};

struct ParseState {
    bool sawDoctype = false;
    const ElementEnd* onEnd = nullptr;
    std::exception_ptr raised;
};

// Takes the place of the SAX handler that would build the DTD: a DOCTYPE
// ends the parse before its internal subset is read.
void RefuseDoctype(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
    auto* parser = static_cast<xmlParserCtxt*>(context);
    static_cast<ParseState*>(parser->_private)->sawDoctype = true;
    xmlStopParser(parser);
}

// The tree builder's own end of an element, then the reader's look at it.
// libxml2 calls this from C: what the reader raises is kept for later.
void EndElement(void* context, const xmlChar* localName, const xmlChar* prefix,
                const xmlChar* uri) {
    auto* parser = static_cast<xmlParserCtxt*>(context);
    xmlNode* element = parser->node;
    xmlSAX2EndElementNs(context, localName, prefix, uri);
    auto* state = static_cast<ParseState*>(parser->_private);
    if (element == nullptr || element->type != XML_ELEMENT_NODE || state->raised) return;
    try {
        if (!(*state->onEnd)(element)) return;
    } catch (...) {
        state->raised = std::current_exception();
        xmlStopParser(parser);
        return;
    }
    xmlUnlinkNode(element);
    xmlFreeNode(element);
    // The builder appends the next text to a text node before the element
    // by the length it kept of the last text it made, which lay inside the
    // element; with no length kept it measures the text node afresh.
    parser->nodemem = 0;
}

xmlParserInputPtr RefuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) {
    return nullptr;
}

// The bytes handed to libxml2 in pieces: from one block of memory it
// refuses documents past 10 MB ("Huge input lookup") unless told
// XML_PARSE_HUGE, which would lift its other limits too.
struct Reader {
    std::string_view left;
};

int ReadPiece(void* context, char* buffer, int length) {
    auto* reader = static_cast<Reader*>(context);
    const std::size_t n = std::min(reader->left.size(), static_cast<std::size_t>(length));
    reader->left.copy(buffer, n);
    reader->left.remove_prefix(n);
    return static_cast<int>(n);
}

void IgnoreMessage(void*, const char*, ...) {}
void IgnoreError(void*, xmlErrorPtr) {}

}  // namespace

void PrepareLibxml() {
    static std::once_flag once;
    std::call_once(once, [] {
        InstallAllocationHooks();
        xmlInitParser();
        xmlSetExternalEntityLoader(RefuseExternalEntity);
    });
    // libxml2 keeps its error handlers per thread.
    thread_local bool quiet = false;
    if (!quiet) {
        xmlSetGenericErrorFunc(nullptr, IgnoreMessage);
        xmlSetStructuredErrorFunc(nullptr, IgnoreError);
        quiet = true;
    }
}

bool WithinLimits(std::string_view bytes, const InputLimits& limits) {
    if (bytes.size() > limits.maxBytes) return false;
    // One pass for both counts, in blocks short enough for counters of one
    // byte, which the compiler compares many bytes at a time into: a file of
    // 76 MB is counted in a fraction of the time of its parse.
    constexpr std::size_t kBlock = 255;
    std::size_t markup = 0;
    std::size_t equals = 0;
    for (std::size_t at = 0; at < bytes.size(); at += kBlock) {
        const std::string_view block = bytes.substr(at, kBlock);
        std::uint8_t blockMarkup = 0;
        std::uint8_t blockEquals = 0;
        for (const char c : block) {
            blockMarkup = static_cast<std::uint8_t>(blockMarkup + (c == '<'));
            blockEquals = static_cast<std::uint8_t>(blockEquals + (c == '='));
        }
        markup += blockMarkup;
        equals += blockEquals;
    }
    return markup <= limits.maxMarkup && equals <= limits.maxEquals;
}

const char* RefusalText(Refusal refusal) {
    switch (refusal) {
        case Refusal::kNone:
            return "loaded";
        case Refusal::kLimits:
            return "over the size or markup limits";
        case Refusal::kEncoding:
            return "an encoding that is not read";
        case Refusal::kZeroByte:
            return "a zero byte";
        case Refusal::kDoctype:
            return "a DOCTYPE";
        case Refusal::kMalformed:
            return "not well-formed XML";
    }
    return "not loaded";
}

InputLimits FileLimits(std::string_view bytes) {
    InputLimits limits = kInfoFileLimits;
    limits.maxBytes *= BytesPerAsciiCharacter(bytes);
    return limits;
}

OwnedDocument ParseUntrusted(std::string_view bytes, Origin origin, Refusal* refusal,
                             const ElementEnd& onEnd) {
    Refusal ignored;
    Refusal& why = refusal != nullptr ? *refusal : ignored;
    why = Refusal::kNone;
    PrepareLibxml();
    const bool clientText = origin == Origin::kClientText;
    if (!WithinLimits(bytes, clientText ? kClientTextLimits : FileLimits(bytes))) {
        why = Refusal::kLimits;
        return {};
    }
    // XML forbids U+0000, but libxml2 takes it for the end of the input and
    // would accept whatever stands before it.
    if (clientText && bytes.find('\0') != std::string_view::npos) {
        why = Refusal::kZeroByte;
        return {};
    }
    if (!clientText && !FileEncodingAccepted(bytes)) {
        why = Refusal::kEncoding;
        return {};
    }

    const std::size_t failedBefore = FailedAllocations();
    std::unique_ptr<xmlParserCtxt, ParserFree> parser(CheckAllocated(xmlNewParserCtxt()));
    ParseState state;
    parser->_private = &state;
    parser->sax->internalSubset = RefuseDoctype;
    if (onEnd) {
        state.onEnd = &onEnd;
        parser->sax->endElementNs = EndElement;
    }

    int options = XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_COMPACT | XML_PARSE_NOERROR |
                  XML_PARSE_NOWARNING;
    const char* encoding = nullptr;
    if (clientText) {
        options |= XML_PARSE_IGNORE_ENC;
        encoding = "UTF-8";
    }
    Reader reader{bytes};
    OwnedDocument document(
        xmlCtxtReadIO(parser.get(), ReadPiece, nullptr, &reader, nullptr, encoding, options));
    if (state.raised) std::rethrow_exception(state.raised);
    // Memory that ran out is no verdict on the text: a valid file taken for
    // an unloadable one would be replaced.
    if (FailedAllocations() != failedBefore || parser->errNo == XML_ERR_NO_MEMORY) {
        throw DomError(E_OUTOFMEMORY);
    }
    if (state.sawDoctype || (document != nullptr && (document->intSubset != nullptr ||
                                                     document->extSubset != nullptr))) {
        why = Refusal::kDoctype;
        return {};
    }
    if (document == nullptr || parser->wellFormed == 0) {
        why = Refusal::kMalformed;
        return {};
    }
    MarkIntact(document.get(), failedBefore);
    return document;
}

}  // namespace fybootp::xml
