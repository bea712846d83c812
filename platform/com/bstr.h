#pragma once
// BSTR: text at a COM interface, UTF-8 on this platform, that may be null.
//
// Ownership rule at every interface:
//  - text handed out (an out-parameter BSTR*, a VARIANT result) is newly
//    allocated and owned by the receiver, who frees it (SysFreeString, or
//    let a Bstr own it);
//  - text passed in (a BSTR parameter) stays the caller's; the callee reads
//    it during the call and copies what it keeps.
// A null BSTR reads as the empty text, as COM treats it.
//
// BSTR is a handle to an opaque buffer rather than a char pointer, so that
// a plain C string or literal can never be passed where a BSTR is expected
// and a null BSTR is never handed to strlen.

#include <cstdint>
#include <string>
#include <string_view>

namespace fybootp {

struct BstrBuffer;
using BSTR = BstrBuffer*;

// A new BSTR holding a copy of text (which may contain NULs). Null only
// when memory runs out; an empty text gives a non-null, empty BSTR.
BSTR SysAllocString(std::string_view text) noexcept;
// The same for a text the caller gives up: it is taken over, not copied, so
// that a text of megabytes is never held twice.
BSTR SysAllocStringTaking(std::string&& text) noexcept;
// Frees a BSTR from SysAllocString; null is allowed and ignored.
void SysFreeString(BSTR text) noexcept;
// Length in bytes of the UTF-8 text; 0 for null.
std::uint32_t SysStringLen(BSTR text) noexcept;
// The text of a BSTR, valid until it is freed; null reads as "".
std::string_view BstrText(BSTR text) noexcept;

// Owner of one BSTR (or of none: null). Move-only; Copy() duplicates.
class Bstr {
public:
    Bstr() noexcept = default;
    // Allocates a copy of text; throws std::bad_alloc when memory runs out.
    explicit Bstr(std::string_view text);
    ~Bstr() { SysFreeString(m_text); }

    Bstr(Bstr&& other) noexcept : m_text(other.Detach()) {}
    Bstr& operator=(Bstr&& other) noexcept;
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;

    // Takes ownership of a BSTR that the caller received.
    static Bstr Attach(BSTR text) noexcept;
    // A second owner of equal text; a null Bstr copies to null.
    Bstr Copy() const;

    // Borrowed, for passing as an in-parameter; still owned here.
    BSTR Get() const noexcept { return m_text; }
    // Hands ownership to the caller (into an out-parameter); this is null after.
    BSTR Detach() noexcept;
    // Frees the text now; this is null after.
    void Release() noexcept;
    // Frees the current text and returns the slot for a callee to store a
    // newly allocated BSTR into, as an out-parameter: `obj->get_Name(name.Receive())`.
    BSTR* Receive() noexcept;

    bool IsNull() const noexcept { return m_text == nullptr; }
    std::string_view View() const noexcept { return BstrText(m_text); }
    std::string Str() const { return std::string(View()); }

private:
    BSTR m_text = nullptr;
};

}  // namespace fybootp
