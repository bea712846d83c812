// A recording stand-in for the product's project component, loaded in
// process by project registration. It keeps each entry as a sub-storage
// named after it and writes every call it receives, one line each, to the
// file FYB_STUB_LOG names. FYB_STUB_REFUSE_DOCUMENT makes it refuse
// IProjectDocument; FYB_STUB_OPEN_STATUS (hex) is what OpenServerEntry
// answers instead of looking.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "components/project_document/project_document.h"
#include "platform/com/class_factory.h"

namespace {

using namespace fybootp;

constexpr IID kProjectEntry = GuidLiteral("{0B59210D-1A35-45B0-8372-A65C30B2510E}");
constexpr DWORD kMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

void Record(const std::string& line) {
    const char* log = std::getenv("FYB_STUB_LOG");
    if (log == nullptr) return;
    if (std::FILE* file = std::fopen(log, "a")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

template <class Interface>
class Counted : public Interface {
public:
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        const ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> m_refs{1};
};

class Entry final : public Counted<IProjectEntry> {
public:
    explicit Entry(IStorage* storage) : m_storage(storage) {}
    ~Entry() override { m_storage->Release(); }
    HRESULT QueryInterface(const IID& iid, void** object) override {
        *object = iid == IID_IUnknown || iid == kProjectEntry ? this : nullptr;
        if (*object == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
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
        Record("SetClassId");
        return m_storage->SetClass(*clsid);
    }

private:
    IStorage* m_storage;
};

class Document final : public Counted<IProjectDocument> {
public:
    ~Document() override {
        if (m_storage != nullptr) m_storage->Release();
    }
    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        const bool refuse = std::getenv("FYB_STUB_REFUSE_DOCUMENT") != nullptr;
        *object = iid == IID_IUnknown || (iid == IID_IProjectDocument && !refuse) ? this : nullptr;
        if (*object == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    HRESULT DocumentReserved3() override { return E_NOTIMPL; }
    HRESULT DocumentReserved4() override { return E_NOTIMPL; }
    HRESULT CreateInStorage(IStorage*) override {
        Record("CreateInStorage");
        return S_OK;
    }
    HRESULT LoadFromStorage(IStorage* storage) override {
        Record("LoadFromStorage");
        storage->AddRef();
        m_storage = storage;
        return S_OK;
    }
    HRESULT DocumentReserved7() override { return E_NOTIMPL; }
    HRESULT DocumentReserved8() override { return E_NOTIMPL; }
    HRESULT DocumentReserved9() override { return E_NOTIMPL; }
    HRESULT DocumentReserved10() override { return E_NOTIMPL; }
    HRESULT SetInitialText(BSTR text) override {
        Record("SetInitialText " + std::string(BstrText(text)));
        return S_OK;
    }
    HRESULT CreateServerEntry(BSTR name, IProjectEntry** entry) override {
        Record("CreateServerEntry " + std::string(BstrText(name)));
        IStorage* sub = nullptr;
        const HRESULT hr = m_storage->CreateStorage(std::string(BstrText(name)), kMode, &sub);
        *entry = Succeeded(hr) ? new Entry(sub) : nullptr;
        return hr;
    }
    HRESULT OpenServerEntry(BSTR name, IProjectEntry** entry) override {
        Record("OpenServerEntry " + std::string(BstrText(name)));
        *entry = nullptr;
        if (const char* status = std::getenv("FYB_STUB_OPEN_STATUS")) {
            return static_cast<HRESULT>(std::strtoul(status, nullptr, 16));
        }
        IStorage* sub = nullptr;
        const HRESULT hr = m_storage->OpenStorage(std::string(BstrText(name)), kMode, &sub);
        if (Succeeded(hr)) *entry = new Entry(sub);
        return hr;
    }
    HRESULT DocumentReserved14() override { return E_NOTIMPL; }
    HRESULT DocumentReserved15() override { return E_NOTIMPL; }
    HRESULT DeleteServerEntry(BSTR name) override {
        Record("DeleteServerEntry " + std::string(BstrText(name)));
        return m_storage->DestroyElement(std::string(BstrText(name)));
    }

private:
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
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        auto* document = new Document;
        const HRESULT hr = document->QueryInterface(iid, object);
        document->Release();
        return hr;
    }
    HRESULT LockServer(bool) override { return S_OK; }
};

}  // namespace

extern "C" [[gnu::visibility("default")]] HRESULT DllGetClassObject(const GUID&, const IID& iid,
                                                                    void** object) {
    static Factory factory;
    return factory.QueryInterface(iid, object);
}
