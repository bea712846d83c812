#pragma once
// The server object in this process, in a scratch working directory, for
// the benchmarks that set the same calls through the bus beside it.

#include "automation/class_object.h"
#include "automation/fybootp_ids.h"
#include "automation/fybootp_interfaces.h"
#include "bench/document_bench_inputs.h"
#include "platform/com/com_ptr.h"

namespace fybootp::bench {

class InProcessServer {
public:
    InProcessServer() : m_registry("/nonexistent"), m_typeInfo(m_registry) {
        const ClassObjectServices services{.lock = m_lock,
                                           .typeInfo = m_typeInfo,
                                           .documents = LibxmlDocumentFactory(),
                                           .hostInfo = SystemHostInfoSource(),
                                           .responderPlatform = nullptr,
                                           .disconnect = {}};
        if (Failed(CreateFyBootpClassObject(services, &m_classObject))) return;
        void* raw = nullptr;
        m_classObject->CreateInstance(nullptr, IID_IFyBootpServer, &raw);
        m_server = ComPtr<IFyBootpServer>::Attach(static_cast<IFyBootpServer*>(raw));
    }
    ~InProcessServer() {
        m_server.Reset();
        if (m_classObject != nullptr) m_classObject->Release();
    }
    InProcessServer(const InProcessServer&) = delete;
    InProcessServer& operator=(const InProcessServer&) = delete;

    // Null when the object could not be made.
    IFyBootpServer* Get() const { return m_server.Get(); }

private:
    ScratchDirectory m_cwd;
    registry::Registry m_registry;
    TypeInfoCache m_typeInfo;
    ModuleLock m_lock;
    IClassFactory* m_classObject = nullptr;
    ComPtr<IFyBootpServer> m_server;
};

}  // namespace fybootp::bench
