#pragma once
// The one way untrusted XML becomes a libxml2 document. Client texts and the
// info file may be hostile, so parsing here:
//  - never loads anything from outside: no network (XML_PARSE_NONET), no
//    external DTD (no XML_PARSE_DTDLOAD), no entity substitution (no
//    XML_PARSE_NOENT, which reads local files even without network), and an
//    external entity loader that refuses everything, installed once;
//  - refuses any document with a DOCTYPE, stopping the parser at it, so that
//    no entity is declared, let alone expanded;
//  - keeps libxml2's default limits (depth 256, names of 50,000 bytes; no
//    XML_PARSE_HUGE) and adds the bounds of limits.h, checked before parsing.
// A text that fails any of these does not load; that is an ordinary result.
//
// Whitespace-only text between elements is not kept (XML_PARSE_NOBLANKS).
// Texts shorter than 16 bytes (every address) live inside their nodes
// (XML_PARSE_COMPACT), one allocation less for each, which is much of the
// cost of a large table; such nodes are read, removed and freed like any
// other, but their text must never be changed in place.

#include <libxml/tree.h>

#include <functional>
#include <memory>
#include <string_view>

#include "document/limits.h"

namespace fybootp::xml {

struct DocumentFree {
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};
using OwnedDocument = std::unique_ptr<xmlDoc, DocumentFree>;

enum class Origin {
    kClientText,  // UTF-8 whatever its declaration says
    kInfoFile,    // in the encoding its declaration names (xml_encoding.h)
};

// Why bytes did not load, in words for the event log.
enum class Refusal { kNone, kLimits, kEncoding, kZeroByte, kDoctype, kMalformed };
const char* RefusalText(Refusal refusal);

// Sees each element of a document being parsed as it ends, whole, and says
// whether it is done with it: an element for which it returns true is taken
// out of the document and freed at once, so that a reader that needs one
// part at a time holds no more than that part of a large document. Its
// caller learns only at the end whether the document loaded.
using ElementEnd = std::function<bool(xmlNode* element)>;

// The parsed document, or null when bytes do not load, with the reason in
// refusal when one is given. Raises DomError with E_OUTOFMEMORY when no
// parser can be made or memory ran out during the parse; what onEnd raises
// ends the parse and is raised again.
OwnedDocument ParseUntrusted(std::string_view bytes, Origin origin, Refusal* refusal = nullptr,
                             const ElementEnd& onEnd = {});

// Whether bytes stay within limits; a pure count, done before parsing.
bool WithinLimits(std::string_view bytes, const InputLimits& limits);

// The limits for a file of these bytes. Its byte bound grows with the bytes
// its encoding spends on an ASCII character, so that a table that loads in
// UTF-8 loads in UTF-16 too.
InputLimits FileLimits(std::string_view bytes);

// Parser set-up for the process (once) and this thread's error reporting
// (silenced: a hostile text must not fill the log). Every routine that calls
// libxml2 runs this first.
void PrepareLibxml();

}  // namespace fybootp::xml
