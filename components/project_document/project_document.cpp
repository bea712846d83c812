// The default ProjectDocument component: a project is a compound file whose
// root holds the initial text in the stream "InitialText" and one
// sub-storage per server entry, named after the entry, whose class is the
// entry's class identifier. Loaded in process (DllGetClassObject) by the
// servers that enter themselves into the current project.
//
// Every call that changes the project commits it before it returns, and a
// commit that fails is the call's status: project registration calls no
// commit itself, and a write left to the last release could fail with
// nobody to tell.

#include "components/project_document/project_document.h"

#include <atomic>
#include <string>

#include "platform/com/class_factory.h"

namespace fybootp::components {
namespace {

constexpr DWORD kMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr char kInitialTextStream[] = "InitialText";
constexpr IID IID_IProjectEntry = GuidLiteral("{0B59210D-1A35-45B0-8372-A65C30B2510E}");

// The status of a change to storage, once it is in the file.
HRESULT Committed(IStorage* storage, HRESULT hr) { return Failed(hr) ? hr : storage->Commit(); }

template <class Interface>
class Counted : public Interface {
public:
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        const ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

protected:
    HRESULT Answer(const IID& iid, const IID& own, void** object) {
        if (object == nullptr) return E_POINTER;
        *object = iid == IID_IUnknown || iid == own ? this : nullptr;
        if (*object == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }

private:
    std::atomic<ULONG> m_refs{1};
};

class Entry final : public Counted<IProjectEntry> {
public:
    explicit Entry(IStorage* storage) : m_storage(storage) {}
    ~Entry() override { m_storage->Release(); }
    HRESULT QueryInterface(const IID& iid, void** object) override {
        return Answer(iid, IID_IProjectEntry, object);
    }
    HRESULT EntryReserved3() override { return E_NOTIMPL; }
    HRESULT EntryReserved4() override { return E_NOTIMPL; }
    HRESULT EntryReserved5() override { return E_NOTIMPL; }
    HRESULT EntryReserved6() override { return E_NOTIMPL; }
    HRESULT EntryReserved7() override { return E_NOTIMPL; }
    HRESULT EntryReserved8() override { return E_NOTIMPL; }
    HRESULT EntryReserved9() override { return E_NOTIMPL; }
    HRESULT EntryReserved10() override { return E_NOTIMPL; }
    HRESULT EntryReserved11() override { return E_NOTIMPL; }
    HRESULT EntryReserved12() override { return E_NOTIMPL; }
    HRESULT EntryReserved13() override { return E_NOTIMPL; }
    HRESULT EntryReserved14() override { return E_NOTIMPL; }
    HRESULT SetClassId(const GUID* clsid) override {
        return clsid == nullptr ? E_POINTER : Committed(m_storage, m_storage->SetClass(*clsid));
    }

private:
    IStorage* m_storage;
};

class Document final : public Counted<IProjectDocument> {
public:
    ~Document() override { Use(nullptr); }
    HRESULT QueryInterface(const IID& iid, void** object) override {
        return Answer(iid, IID_IProjectDocument, object);
    }
    HRESULT DocumentReserved3() override { return E_NOTIMPL; }
    HRESULT DocumentReserved4() override { return E_NOTIMPL; }
    HRESULT CreateInStorage(IStorage* storage) override {
        if (storage == nullptr) return E_POINTER;
        Use(storage);
        return S_OK;
    }
    HRESULT LoadFromStorage(IStorage* storage) override {
        if (storage == nullptr) return E_POINTER;
        Use(storage);
        return S_OK;
    }
    HRESULT DocumentReserved7() override { return E_NOTIMPL; }
    HRESULT DocumentReserved8() override { return E_NOTIMPL; }
    HRESULT DocumentReserved9() override { return E_NOTIMPL; }
    HRESULT DocumentReserved10() override { return E_NOTIMPL; }
    HRESULT SetInitialText(BSTR text) override {
        if (m_storage == nullptr) return E_UNEXPECTED;
        IStream* stream = nullptr;
        HRESULT hr = m_storage->CreateStream(kInitialTextStream, kMode | STGM_CREATE, &stream);
        if (Failed(hr)) return hr;
        const std::string_view bytes = BstrText(text);
        hr = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
        stream->Release();
        return Committed(m_storage, hr);
    }
    HRESULT CreateServerEntry(BSTR name, IProjectEntry** entry) override {
        return Entered(name, entry, true);
    }
    HRESULT OpenServerEntry(BSTR name, IProjectEntry** entry) override {
        return Entered(name, entry, false);
    }
    HRESULT DocumentReserved14() override { return E_NOTIMPL; }
    HRESULT DocumentReserved15() override { return E_NOTIMPL; }
    HRESULT DeleteServerEntry(BSTR name) override {
        if (m_storage == nullptr) return E_UNEXPECTED;
        return Committed(m_storage, m_storage->DestroyElement(std::string(BstrText(name))));
    }

private:
    void Use(IStorage* storage) {
        if (storage != nullptr) storage->AddRef();
        if (m_storage != nullptr) m_storage->Release();
        m_storage = storage;
    }
    HRESULT Entered(BSTR name, IProjectEntry** entry, bool create) {
        if (entry == nullptr) return E_POINTER;
        *entry = nullptr;
        if (m_storage == nullptr) return E_UNEXPECTED;
        IStorage* sub = nullptr;
        const std::string entryName(BstrText(name));
        HRESULT hr = create ? m_storage->CreateStorage(entryName, kMode, &sub)
                            : m_storage->OpenStorage(entryName, kMode, &sub);
        if (create) hr = Committed(m_storage, hr);
        if (Succeeded(hr)) {
            *entry = new Entry(sub);
        } else if (sub != nullptr) {
            sub->Release();
        }
        return hr;
    }

    IStorage* m_storage = nullptr;
};

class Factory final : public IClassFactory {
public:
    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = iid == IID_IUnknown || iid == IID_IClassFactory ? this : nullptr;
        return *object != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        auto* document = new Document;
        const HRESULT hr = document->QueryInterface(iid, object);
        document->Release();
        return hr;
    }
    HRESULT LockServer(bool) override { return S_OK; }
};

}  // namespace
}  // namespace fybootp::components

extern "C" [[gnu::visibility("default")]] fybootp::HRESULT DllGetClassObject(
    const fybootp::GUID& clsid, const fybootp::IID& iid, void** object) {
    using namespace fybootp;
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_ProjectDocument) return CLASS_E_CLASSNOTAVAILABLE;
    static components::Factory factory;
    return factory.QueryInterface(iid, object);
}
