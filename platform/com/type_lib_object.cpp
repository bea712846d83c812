// The ITypeLib and ITypeInfo objects behind load_type_lib.h. A library owns
// its immutable description and one type information per type; the type
// informations share the library's reference count, so a caller holding
// any of them keeps the whole library, and the descriptions handed out,
// alive.

#include <atomic>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/com/dispatch_invoke.h"
#include "platform/com/load_type_lib.h"

namespace fybootp {
namespace {

// A type library is a few kilobytes; a file far larger is not one.
constexpr std::uintmax_t kMaxTypeLibFileSize = 1u << 20;

// Hands out copies of name and doc where asked; all or nothing.
HRESULT Document(std::string_view name, std::string_view doc, BSTR* nameOut, BSTR* docOut,
                 DWORD* helpContext, BSTR* helpFile) {
    try {
        Bstr nameText = nameOut != nullptr ? Bstr(name) : Bstr();
        Bstr docText = docOut != nullptr ? Bstr(doc) : Bstr();
        if (nameOut != nullptr) *nameOut = nameText.Detach();
        if (docOut != nullptr) *docOut = docText.Detach();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (helpContext != nullptr) *helpContext = 0;
    if (helpFile != nullptr) *helpFile = nullptr;
    return S_OK;
}

class TypeLibObject;

class TypeInfoObject final : public ITypeInfo {
public:
    TypeInfoObject(TypeLibObject& library, const TypeDesc& type, UINT index)
        : m_library(library), m_type(type), m_index(index) {}

    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_ITypeInfo) return E_NOINTERFACE;
        AddRef();
        *object = static_cast<ITypeInfo*>(this);
        return S_OK;
    }
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT GetTypeAttr(const TypeDesc** attr) override {
        if (attr == nullptr) return E_INVALIDARG;
        *attr = &m_type;
        return S_OK;
    }
    HRESULT GetFuncDesc(UINT index, const MemberDesc** desc) override {
        if (desc == nullptr) return E_INVALIDARG;
        *desc = nullptr;
        if (index >= m_type.members.size()) return TYPE_E_ELEMENTNOTFOUND;
        *desc = &m_type.members[index];
        return S_OK;
    }
    HRESULT GetIDsOfNames(const OLECHAR* const* names, UINT count, MEMBERID* ids) override {
        return GetIDsOfNamesFromType(m_type, names, count, ids);
    }
    HRESULT Invoke(DispatchTarget* instance, MEMBERID member, WORD flags, DISPPARAMS* params,
                   Variant* result, EXCEPINFO* exception, UINT* argErr) override {
        return InvokeFromType(m_type, instance, member, flags, params, result, exception, argErr);
    }
    HRESULT GetDocumentation(MEMBERID member, BSTR* name, BSTR* docString, DWORD* helpContext,
                             BSTR* helpFile) override {
        if (member == MEMBERID_NIL) {
            return Document(m_type.name, m_type.helpString, name, docString, helpContext, helpFile);
        }
        for (const MemberDesc& desc : m_type.members) {
            if (desc.memid == member) {
                return Document(desc.name, desc.helpString, name, docString, helpContext, helpFile);
            }
        }
        return TYPE_E_ELEMENTNOTFOUND;
    }
    HRESULT GetContainingTypeLib(ITypeLib** library, UINT* index) override;

private:
    TypeLibObject& m_library;
    const TypeDesc& m_type;
    const UINT m_index;
};

class TypeLibObject final : public ITypeLib {
public:
    explicit TypeLibObject(TypeLibraryDesc desc) : m_desc(std::move(desc)) {
        m_infos.reserve(m_desc.types.size());
        for (std::size_t i = 0; i < m_desc.types.size(); ++i) {
            m_infos.push_back(
                std::make_unique<TypeInfoObject>(*this, m_desc.types[i], static_cast<UINT>(i)));
        }
    }

    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_ITypeLib) return E_NOINTERFACE;
        AddRef();
        *object = static_cast<ITypeLib*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return m_references.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
        const ULONG now = m_references.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (now == 0) delete this;
        return now;
    }

    UINT GetTypeInfoCount() override { return static_cast<UINT>(m_infos.size()); }
    HRESULT GetTypeInfo(UINT index, ITypeInfo** info) override {
        if (info == nullptr) return E_INVALIDARG;
        *info = nullptr;
        if (index >= m_infos.size()) return TYPE_E_ELEMENTNOTFOUND;
        return HandOut(index, info);
    }
    HRESULT GetTypeInfoType(UINT index, TYPEKIND* kind) override {
        if (kind == nullptr) return E_INVALIDARG;
        if (index >= m_desc.types.size()) return TYPE_E_ELEMENTNOTFOUND;
        *kind = m_desc.types[index].kind;
        return S_OK;
    }
    HRESULT GetTypeInfoOfGuid(const GUID& guid, ITypeInfo** info) override {
        if (info == nullptr) return E_INVALIDARG;
        *info = nullptr;
        for (std::size_t i = 0; i < m_desc.types.size(); ++i) {
            if (m_desc.types[i].guid == guid) return HandOut(i, info);
        }
        return TYPE_E_ELEMENTNOTFOUND;
    }
    HRESULT GetLibAttr(const TypeLibraryDesc** attr) override {
        if (attr == nullptr) return E_INVALIDARG;
        *attr = &m_desc;
        return S_OK;
    }
    HRESULT GetDocumentation(INT index, BSTR* name, BSTR* docString, DWORD* helpContext,
                             BSTR* helpFile) override {
        if (index == -1) {
            return Document(m_desc.name, m_desc.helpString, name, docString, helpContext, helpFile);
        }
        if (index < 0 || static_cast<std::size_t>(index) >= m_desc.types.size()) {
            return TYPE_E_ELEMENTNOTFOUND;
        }
        const TypeDesc& type = m_desc.types[static_cast<std::size_t>(index)];
        return Document(type.name, type.helpString, name, docString, helpContext, helpFile);
    }

private:
    ~TypeLibObject() override = default;

    HRESULT HandOut(std::size_t index, ITypeInfo** info) {
        AddRef();
        *info = m_infos[index].get();
        return S_OK;
    }

    const TypeLibraryDesc m_desc;
    std::vector<std::unique_ptr<TypeInfoObject>> m_infos;
    // The one count for the library and all its type informations.
    std::atomic<ULONG> m_references{1};
};

ULONG TypeInfoObject::AddRef() { return m_library.AddRef(); }
ULONG TypeInfoObject::Release() { return m_library.Release(); }

HRESULT TypeInfoObject::GetContainingTypeLib(ITypeLib** library, UINT* index) {
    if (library != nullptr) {
        m_library.AddRef();
        *library = &m_library;
    }
    if (index != nullptr) *index = m_index;
    return S_OK;
}

}  // namespace

HRESULT CreateTypeLibFromDesc(TypeLibraryDesc desc, ITypeLib** library) {
    if (library == nullptr) return E_POINTER;
    *library = nullptr;
    if (ValidateTypeLibrary(desc)) return E_INVALIDARG;
    try {
        *library = new TypeLibObject(std::move(desc));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT LoadTypeLibFromText(std::string_view text, ITypeLib** library,
                            TypeLibraryTextError* error) {
    if (library == nullptr) return E_POINTER;
    *library = nullptr;
    try {
        TypeLibraryDesc desc;
        const HRESULT hr = ParseTypeLibraryText(text, &desc, error);
        if (Failed(hr)) return hr;
        *library = new TypeLibObject(std::move(desc));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT LoadTypeLibFromFile(const std::filesystem::path& path, ITypeLib** library,
                            TypeLibraryTextError* error) {
    if (library == nullptr) return E_POINTER;
    *library = nullptr;
    auto cannotLoad = [error](std::string message) {
        if (error != nullptr) *error = TypeLibraryTextError{0, std::move(message)};
        return TYPE_E_CANTLOADLIBRARY;
    };
    try {
        std::error_code code;
        if (!std::filesystem::is_regular_file(path, code)) return cannotLoad("not a file");
        const std::uintmax_t size = std::filesystem::file_size(path, code);
        if (code) return cannotLoad("cannot read the file's size");
        if (size > kMaxTypeLibFileSize) return cannotLoad("file too large for a type library");
        std::string content(static_cast<std::size_t>(size), '\0');
        std::ifstream file(path, std::ios::binary);
        if (!file.read(content.data(), static_cast<std::streamsize>(content.size()))) {
            return cannotLoad("cannot read the file");
        }
        return LoadTypeLibFromText(content, library, error);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace fybootp
