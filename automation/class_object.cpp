#include "automation/class_object.h"

#include <atomic>

#include "document/startup_load.h"

namespace fybootp {
namespace {

class FyBootpClassObject final : public IClassFactory {
public:
    FyBootpClassObject(const ClassObjectServices& services, std::unique_ptr<FyBootpObject> object)
        : m_lock(services.lock), m_disconnect(services.disconnect), m_object(std::move(object)) {}

    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }

    // The class object's references count for it alone, not for the
    // module's lock count.
    ULONG AddRef() override { return m_references.fetch_add(1) + 1; }

    ULONG Release() override {
        const ULONG left = m_references.fetch_sub(1) - 1;
        if (left == 0) Teardown();
        return left;
    }

    HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        // Nothing is created: every client gets the one object.
        return m_object->QueryInterface(iid, object);
    }

    HRESULT LockServer(bool lock) override {
        if (lock) {
            m_lock.AddLock();
        } else {
            m_lock.ReleaseLock();
        }
        return S_OK;
    }

private:
    ~FyBootpClassObject() override = default;

    // Release reaches no caller that could take an exception: the hook runs
    // under a guard, and the server's teardown (its responder's stop, its
    // last reference) throws nothing.
    void Teardown() noexcept {
        try {
            if (m_disconnect) m_disconnect(static_cast<IFyBootpServer*>(m_object.get()));
        } catch (...) {
            // The transport could not let go of the object; it is destroyed
            // all the same, and later calls through the transport fail there.
        }
        delete this;
    }

    ModuleLock& m_lock;
    std::function<void(IUnknown*)> m_disconnect;
    std::unique_ptr<FyBootpObject> m_object;
    std::atomic<ULONG> m_references{1};
};

}  // namespace

HRESULT CreateFyBootpClassObject(const ClassObjectServices& services, IClassFactory** classObject) {
    if (classObject == nullptr) return E_POINTER;
    *classObject = nullptr;
    try {
        auto object = std::make_unique<FyBootpObject>(
            FyBootpObject::Services{services.lock, services.typeInfo, services.documents});
        ServerConfig config;
        config.platform = services.responderPlatform;
        config.selfReference = &object->OwnReference();
        std::unique_ptr<FyBootpServer> server;
        const HRESULT hr =
            ConstructServer(server, MakeStartupLoad(services.documents, services.hostInfo), config);
        if (Failed(hr)) return hr;
        object->Attach(std::move(server));
        *classObject = new FyBootpClassObject(services, std::move(object));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace fybootp
