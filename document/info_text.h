#pragma once
// The large texts of the interface (BootpInfosXml, NewMacAddresses,
// LogEntries) written straight into a string, without a document tree: a
// tree of 100,000 rows costs ten times the text's size at its peak and most
// of the time of a get. What comes out is byte for byte what libxml2 writes
// for the same tree built with dom_routines.h and serialised by
// DocumentText: the declaration, no indentation, an element without content
// as <Name/>, text made safe (xml::XmlSafeText) and then escaped as libxml2
// escapes content (& < > and carriage return), and a final newline.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/bootp_types.h"

namespace fybootp {

class InfoText {
public:
    // The declaration and the opened root FyBootpInfo; room for about
    // `expectedBytes`, so that a large text is not copied as it grows.
    explicit InfoText(std::size_t expectedBytes = 0);

    void Open(std::string_view name);
    // Closes the element opened last, which must be `name`.
    void Close(std::string_view name);
    void Element(std::string_view name, std::string_view text);
    void HexElement(std::string_view name, std::span<const std::uint8_t> bytes);
    void AddressElement(std::string_view name, Ipv4Address address);

    // Closes the root and hands the text over.
    std::string Finish();

private:
    void EndPendingStart();
    void AppendEscaped(std::string_view text);

    std::string m_text;
    bool m_startPending = false;  // "<Name" written, its '>' or "/>" not yet
};

}  // namespace fybootp
