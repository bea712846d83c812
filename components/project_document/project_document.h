#pragma once
// The interfaces of the product's project component, ProjectDocument, as
// far as project registration calls them. The operations stand at their
// places in the interface (counted from QueryInterface as 0); the places
// between hold operations this program does not call. The component owns
// its interface: the host includes it from here, and the component needs
// nothing of the host.

#include "platform/com/bstr.h"
#include "platform/storage/storage.h"

namespace fybootp {

class IProjectEntry : public IUnknown {
public:
    virtual HRESULT EntryReserved3() = 0;
    virtual HRESULT EntryReserved4() = 0;
    virtual HRESULT EntryReserved5() = 0;
    virtual HRESULT EntryReserved6() = 0;
    virtual HRESULT EntryReserved7() = 0;
    virtual HRESULT EntryReserved8() = 0;
    virtual HRESULT EntryReserved9() = 0;
    virtual HRESULT EntryReserved10() = 0;
    virtual HRESULT EntryReserved11() = 0;
    virtual HRESULT EntryReserved12() = 0;
    virtual HRESULT EntryReserved13() = 0;
    virtual HRESULT EntryReserved14() = 0;
    virtual HRESULT SetClassId(const GUID* clsid) = 0;  // place 15
};

class IProjectDocument : public IUnknown {
public:
    virtual HRESULT DocumentReserved3() = 0;
    virtual HRESULT DocumentReserved4() = 0;
    virtual HRESULT CreateInStorage(IStorage* storage) = 0;  // place 5
    virtual HRESULT LoadFromStorage(IStorage* storage) = 0;  // place 6
    virtual HRESULT DocumentReserved7() = 0;
    virtual HRESULT DocumentReserved8() = 0;
    virtual HRESULT DocumentReserved9() = 0;
    virtual HRESULT DocumentReserved10() = 0;
    virtual HRESULT SetInitialText(BSTR text) = 0;                            // place 11
    virtual HRESULT CreateServerEntry(BSTR name, IProjectEntry** entry) = 0;  // place 12
    virtual HRESULT OpenServerEntry(BSTR name, IProjectEntry** entry) = 0;    // place 13
    virtual HRESULT DocumentReserved14() = 0;
    virtual HRESULT DocumentReserved15() = 0;
    virtual HRESULT DeleteServerEntry(BSTR name) = 0;  // place 16
};

inline constexpr GUID CLSID_ProjectDocument = GuidLiteral("{40BBCC54-B4D0-4DA3-BA6B-78A83DFD60AC}");
inline constexpr IID IID_IProjectDocument = GuidLiteral("{0B59210D-1A35-45B0-8372-A65C30B2510F}");

}  // namespace fybootp
