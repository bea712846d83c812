#pragma once
// Text from the server as fybootpctl shows it. Any member of group fybootp
// can put text into the server (a host name, for one), and root may read it
// on a terminal: a CR, an ESC, a C1 control such as CSI (U+009B) or a
// bidirectional override in it would let that member forge or reorder what
// root's terminal shows. Each form below escapes those characters in its
// own syntax, so the text stays readable and nothing in it can start a line
// or move the cursor.
//
// Escaped: C0 controls, DEL, C1 controls, the bidirectional marks,
// embeddings, overrides and isolates (U+061C, U+200E, U+200F,
// U+202A..U+202E, U+2066..U+2069), the line and paragraph separators
// (U+2028, U+2029), and bytes that are not well-formed UTF-8.

#include <string>
#include <string_view>

namespace fybootp::tools {

// For lines and columns: \r \n \t and \\, \x1b for the other C0 controls,
// DEL and bytes that are not UTF-8, \u009b and \u202e for the characters
// above U+007F.
std::string TerminalText(std::string_view text);

// For an XML text as the server wrote it: numeric character references
// (&#xD;, &#x9B;, &#x202E;), which an XML reader takes as the same
// characters, so what is shown still loads as the same text. A byte that
// is not UTF-8 becomes U+FFFD. Line feeds and tabs stay as they are only
// in white space between a '>' and a '<', which is where a serialiser puts
// its layout: text there can hold nothing but white space, so it may add
// blank lines but no line of its own. Everywhere else they are references.
std::string TerminalXml(std::string_view xml);

// For a JSON document as nlohmann writes it, where C0 controls are escaped
// already and the structure is ASCII: the other characters as \u escapes,
// which means the same to a JSON reader.
std::string TerminalJson(std::string_view json);

}  // namespace fybootp::tools
