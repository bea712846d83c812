#include "platform/com/bstr.h"

#include <limits>
#include <new>
#include <utility>

namespace fybootp {

struct BstrBuffer {
    std::string text;
};

BSTR SysAllocString(std::string_view text) noexcept {
    // A BSTR's length is a 32-bit count, so longer text cannot be one.
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) return nullptr;
    try {
        return new BstrBuffer{std::string(text)};
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

BSTR SysAllocStringTaking(std::string&& text) noexcept {
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) return nullptr;
    try {
        return new BstrBuffer{std::move(text)};
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void SysFreeString(BSTR text) noexcept { delete text; }

std::uint32_t SysStringLen(BSTR text) noexcept {
    return text == nullptr ? 0u : static_cast<std::uint32_t>(text->text.size());
}

std::string_view BstrText(BSTR text) noexcept {
    return text == nullptr ? std::string_view() : std::string_view(text->text);
}

Bstr::Bstr(std::string_view text) : m_text(SysAllocString(text)) {
    if (m_text == nullptr) throw std::bad_alloc();
}

Bstr& Bstr::operator=(Bstr&& other) noexcept {
    if (this != &other) {
        SysFreeString(m_text);
        m_text = other.Detach();
    }
    return *this;
}

Bstr Bstr::Attach(BSTR text) noexcept {
    Bstr owner;
    owner.m_text = text;
    return owner;
}

Bstr Bstr::Copy() const { return IsNull() ? Bstr() : Bstr(View()); }

BSTR Bstr::Detach() noexcept {
    BSTR text = m_text;
    m_text = nullptr;
    return text;
}

void Bstr::Release() noexcept {
    SysFreeString(m_text);
    m_text = nullptr;
}

BSTR* Bstr::Receive() noexcept {
    Release();
    return &m_text;
}

}  // namespace fybootp
