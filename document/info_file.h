#pragma once
// Loading documents from client texts and from the info file, and writing
// them out: to the file, or as text for a client.

#include <string>
#include <string_view>

#include "document/dom_routines.h"

namespace fybootp {

// Used without a directory: it resolves against the current working
// directory at the moment of each load and save.
inline constexpr char kInfoFileName[] = "FyBootpInfo.xml";

// Parses a client text into document, replacing its content. False, with
// document unchanged, when the text does not load (xml_parse.h says when).
bool LoadXmlText(Document& document, std::string_view text);

// As LoadXmlText for the content of FyBootpInfo.xml; false also when the
// file is absent or cannot be read.
bool LoadInfoFile(Document& document);

// Writes document to FyBootpInfo.xml, replacing it crash-safely. A loaded
// document is written in the encoding its declaration names, and without a
// declaration when it had none; a built one in UTF-8 with its declaration.
// Raises DomError when the file cannot be written; the old file then stays.
void SaveInfoFile(const Document& document);

// The serialised document as UTF-8 text, with its declaration.
std::string DocumentText(const Document& document);

}  // namespace fybootp
