// A stand-in for the product's project component, loaded in process by
// project registration: DllGetClassObject hands out a class object whose
// instances answer IUnknown, and IProjectDocument unless
// FYB_STUB_REFUSE_DOCUMENT is set in the environment.

#include <atomic>
#include <cstdlib>

#include "platform/com/class_factory.h"

namespace {

using namespace fybootp;

constexpr IID kProjectDocument = GuidLiteral("{0B59210D-1A35-45B0-8372-A65C30B2510F}");

class Document final : public IUnknown {
public:
    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        const bool refuse = std::getenv("FYB_STUB_REFUSE_DOCUMENT") != nullptr;
        if (iid == IID_IUnknown || (iid == kProjectDocument && !refuse)) {
            AddRef();
            *object = this;
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        const ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> m_refs{1};
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
