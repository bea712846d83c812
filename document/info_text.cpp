#include "document/info_text.h"

#include "document/xml_text.h"
#include "platform/net/address_text.h"

namespace fybootp {
namespace {

constexpr char kRoot[] = "FyBootpInfo";

// Bytes that XmlSafeText keeps and libxml2 writes as they are.
bool Plain(unsigned char c) {
    return c >= 0x20 && c < 0x7F && c != '<' && c != '>' && c != '&';
}

}  // namespace

InfoText::InfoText(std::size_t expectedBytes) {
    m_text.reserve(expectedBytes + 64);
    m_text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    Open(kRoot);
}

void InfoText::EndPendingStart() {
    if (!m_startPending) return;
    m_text += '>';
    m_startPending = false;
}

void InfoText::Open(std::string_view name) {
    EndPendingStart();
    m_text += '<';
    m_text += name;
    m_startPending = true;
}

void InfoText::Close(std::string_view name) {
    if (m_startPending) {
        m_text += "/>";
        m_startPending = false;
        return;
    }
    m_text += "</";
    m_text += name;
    m_text += '>';
}

void InfoText::AppendEscaped(std::string_view text) {
    bool plain = true;
    for (const char c : text) plain = plain && Plain(static_cast<unsigned char>(c));
    if (plain) {
        m_text += text;
        return;
    }
    for (const char c : xml::XmlSafeText(text)) {
        switch (c) {
            case '&': m_text += "&amp;"; break;
            case '<': m_text += "&lt;"; break;
            case '>': m_text += "&gt;"; break;
            case '\r': m_text += "&#13;"; break;
            default: m_text += c;
        }
    }
}

void InfoText::Element(std::string_view name, std::string_view text) {
    Open(name);
    if (!text.empty()) {
        EndPendingStart();
        const std::size_t before = m_text.size();
        AppendEscaped(text);
        // Text that XmlSafeText leaves empty gives no text node either.
        if (m_text.size() == before) {
            m_text.pop_back();
            m_startPending = true;
        }
    }
    Close(name);
}

void InfoText::HexElement(std::string_view name, std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    Open(name);
    if (!bytes.empty()) {
        EndPendingStart();
        for (const std::uint8_t byte : bytes) {
            m_text += kDigits[byte >> 4];
            m_text += kDigits[byte & 0xF];
        }
    }
    Close(name);
}

void InfoText::AddressElement(std::string_view name, Ipv4Address address) {
    char dotted[16];
    const std::size_t length = net::InetNtoa(address, dotted);
    Element(name, std::string_view(dotted, length));
}

std::string InfoText::Finish() {
    Close(kRoot);
    m_text += '\n';
    return std::move(m_text);
}

}  // namespace fybootp
