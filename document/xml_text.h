#pragma once
// Text crossing into and out of libxml2, which spells UTF-8 text as
// unsigned char (xmlChar). The conversions live here so that the casts are
// written once.

#include <libxml/xmlmemory.h>
#include <libxml/xmlstring.h>

#include <memory>
#include <string>
#include <string_view>

namespace fybootp::xml {

inline const xmlChar* ToXml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

inline std::string_view FromXml(const xmlChar* text) {
    return text == nullptr ? std::string_view()
                           : std::string_view(reinterpret_cast<const char*>(text));
}

inline const char* CharsOf(const xmlChar* text) { return reinterpret_cast<const char*>(text); }

struct XmlStringFree {
    void operator()(xmlChar* text) const { xmlFree(text); }
};
using OwnedXmlString = std::unique_ptr<xmlChar, XmlStringFree>;

// text as it can stand in an XML 1.0 document: every byte sequence that is
// not UTF-8 and every character that XML 1.0 forbids (most C0 controls,
// U+FFFE, U+FFFF) becomes U+FFFD. libxml2 writes such bytes out unchanged,
// and a file holding them would not load again: a host name with a control
// character would make the server forget its whole table at the next start.
std::string XmlSafeText(std::string_view text);

}  // namespace fybootp::xml
