// Who the server object is to its clients: the interfaces it answers, the
// one object behind every creation, and how references drive the module's
// lock count.

#include <gtest/gtest.h>

#include <stdexcept>

#include "automation/fybootp_ids.h"
#include "automation/fybootp_interfaces.h"
#include "document/dom_error.h"
#include "tests/automation/automation_test_support.h"

namespace fybootp::testing {
namespace {

class ObjectIdentity : public AutomationTest {};

TEST_F(ObjectIdentity, EveryCreationGivesTheSameObject) {
    auto first = Create<IFyBootpServer>(IID_IFyBootpServer);
    auto second = Create<IFyBootpServer>(IID_IFyBootpServer);
    ASSERT_TRUE(first && second);
    auto firstUnknown = Create<IUnknown>(IID_IUnknown);
    EXPECT_EQ(first.Get(), second.Get());
    EXPECT_EQ(static_cast<IUnknown*>(first.Get()), firstUnknown.Get());

    // A node added by one client is in the table the other reads.
    BSTR mac = SysAllocString("0A1B2C3D4E5F");
    EXPECT_EQ(first->AddBootpInfo(mac, 0x0A0200C0), S_OK);
    SysFreeString(mac);
    BSTR table = nullptr;
    ASSERT_EQ(second->get_BootpInfosXml(&table), S_OK);
    EXPECT_NE(BstrText(table).find("<MacAddr>0A1B2C3D4E5F</MacAddr>"), std::string_view::npos);
    SysFreeString(table);
}

TEST_F(ObjectIdentity, QueryInterfaceAnswersExactlyFourIdentities) {
    auto server = Create<IFyBootpServer>(IID_IFyBootpServer);
    void* raw = nullptr;
    ASSERT_EQ(server->QueryInterface(IID_IUnknown, &raw), S_OK);
    EXPECT_EQ(raw, static_cast<IUnknown*>(server.Get()));
    server->Release();
    ASSERT_EQ(server->QueryInterface(IID_IDispatch, &raw), S_OK);
    EXPECT_EQ(raw, static_cast<IDispatch*>(server.Get()));
    server->Release();

    ASSERT_EQ(server->QueryInterface(IID_IFyServerControl, &raw), S_OK);
    auto* control = static_cast<IFyServerControl*>(raw);
    void* back = nullptr;
    ASSERT_EQ(control->QueryInterface(IID_IUnknown, &back), S_OK);
    EXPECT_EQ(back, static_cast<IUnknown*>(server.Get()));  // one identity
    control->Release();
    control->Release();

    for (const GUID& iid : {IID_ISupportErrorInfo, IID_IClassFactory, IID_ITypeInfo,
                            GuidLiteral("{B196B28F-BAB4-101A-B69C-00AA00341D07}")}) {
        raw = &raw;
        EXPECT_EQ(server->QueryInterface(iid, &raw), E_NOINTERFACE) << GuidToString(iid);
        EXPECT_EQ(raw, nullptr);
    }
    EXPECT_EQ(server->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(ObjectIdentity, ClassObjectRefusesAggregationAndNullResult) {
    void* raw = &raw;
    auto outer = Create<IUnknown>(IID_IUnknown);
    EXPECT_EQ(classObject->CreateInstance(outer.Get(), IID_IUnknown, &raw), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(classObject->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(classObject->CreateInstance(nullptr, IID_ITypeLib, &raw), E_NOINTERFACE);
}

TEST_F(ObjectIdentity, ReferencesLocksAndTheRespondersOwnReferenceCountInTheModule) {
    EXPECT_EQ(lock.Count(), 0);  // the class object's references do not count
    classObject->AddRef();
    classObject->Release();
    EXPECT_EQ(lock.Count(), 0);

    IFyBootpServer* server = nullptr;
    {
        void* raw = nullptr;
        ASSERT_EQ(classObject->CreateInstance(nullptr, IID_IFyBootpServer, &raw), S_OK);
        server = static_cast<IFyBootpServer*>(raw);
    }
    EXPECT_EQ(lock.Count(), 1);
    EXPECT_EQ(server->AddRef(), 2u);  // AddRef returns the module's count
    EXPECT_EQ(classObject->LockServer(true), S_OK);
    EXPECT_EQ(lock.Count(), 3);

    EXPECT_EQ(server->put_Started(1), S_OK);
    EXPECT_EQ(lock.Count(), 4);
    EXPECT_EQ(server->Release(), 3u);
    EXPECT_EQ(classObject->LockServer(false), S_OK);
    EXPECT_EQ(server->Release(), 1u);
    EXPECT_EQ(zeroHookCalls, 0);  // the running responder keeps the process

    std::int32_t started = 0;
    server->get_Started(&started);
    EXPECT_EQ(started, 1);                    // the last client going does not stop it
    EXPECT_EQ(server->put_Started(0), S_OK);  // through the responder's own reference
    EXPECT_EQ(lock.Count(), 0);
    EXPECT_EQ(zeroHookCalls, 1);
}

TEST_F(ObjectIdentity, ServerControlStartsAndStopsLikeStarted) {
    auto control = Create<IFyServerControl>(IID_IFyServerControl);
    EXPECT_EQ(control->Reserved1(1, 2, 3, 4), S_OK);
    EXPECT_EQ(control->Reserved5(-1, 0, 0, 0), S_OK);
    EXPECT_EQ(control->Reserved6(9), S_OK);
    EXPECT_EQ(control->Reserved7(9), S_OK);
    auto server = Create<IFyBootpServer>(IID_IFyBootpServer);
    std::int32_t started = -1;
    server->get_Started(&started);
    EXPECT_EQ(started, 0);  // the reserved operations changed nothing

    EXPECT_EQ(control->Start(), S_OK);
    server->get_Started(&started);
    EXPECT_EQ(started, 1);
    EXPECT_EQ(control->Start(), S_OK);
    EXPECT_EQ(platform->network->socketsOpened, 1);
    EXPECT_EQ(control->Stop(), S_OK);
    server->get_Started(&started);
    EXPECT_EQ(started, 0);
}

TEST_F(ObjectIdentity, NullOutParametersGiveEPointerThroughTheObject) {
    auto server = Create<IFyBootpServer>(IID_IFyBootpServer);
    EXPECT_EQ(server->get_BootpInfosXml(nullptr), E_POINTER);
    EXPECT_EQ(server->get_NewMacAddresses(nullptr), E_POINTER);
    EXPECT_EQ(server->get_LogEntries(nullptr), E_POINTER);
    EXPECT_EQ(server->get_HostInfoXml(nullptr), E_POINTER);
    EXPECT_EQ(server->get_LogChangeCnt(nullptr), E_POINTER);
    EXPECT_EQ(server->get_NewMacCnt(nullptr), E_POINTER);
    EXPECT_EQ(server->get_Started(nullptr), E_POINTER);
    EXPECT_EQ(server->get_DisableResponse(nullptr), E_POINTER);
}

TEST_F(ObjectIdentity, LastClassObjectReferenceDisconnectsAndDestroysTheServer) {
    auto server = Create<IFyBootpServer>(IID_IFyBootpServer);
    ASSERT_EQ(server->put_Started(1), S_OK);
    IUnknown* identity = server.Get();
    server.Reset();
    classObject->Release();
    classObject = nullptr;
    ASSERT_EQ(disconnected.size(), 1u);
    EXPECT_EQ(disconnected[0], identity);
    // Destroying the object stopped the responder and dropped its reference.
    EXPECT_EQ(platform->network->openSockets, 0);
    EXPECT_EQ(lock.Count(), 0);
}

TEST_F(ObjectIdentity, DisconnectHookThatThrowsStillEndsInATornDownServer) {
    const ClassObjectServices services{
        .lock = lock,
        .typeInfo = typeInfo,
        .documents = LibxmlDocumentFactory(),
        .hostInfo = host,
        .responderPlatform = platform,
        .disconnect = [](IUnknown*) { throw std::runtime_error("transport gone"); }};
    IClassFactory* second = nullptr;
    ASSERT_EQ(CreateFyBootpClassObject(services, &second), S_OK);
    void* raw = nullptr;
    ASSERT_EQ(second->CreateInstance(nullptr, IID_IFyBootpServer, &raw), S_OK);
    auto server = ComPtr<IFyBootpServer>::Attach(static_cast<IFyBootpServer*>(raw));
    ASSERT_EQ(server->put_Started(1), S_OK);
    server.Reset();
    EXPECT_EQ(second->Release(), 0u);  // nothing escapes, the object goes
    EXPECT_EQ(platform->network->openSockets, 0);
}

TEST_F(ObjectIdentity, FailedStartupLoadMakesTheClassObjectFail) {
    // A DOM failure during the load (here: making the first document) ends
    // the construction with its status, and nothing is left behind.
    struct FailingFactory final : DocumentFactory {
        Document Create() const override { throw DomError(E_OUTOFMEMORY); }
    } failing;
    TypeInfoCache cache(registry);
    const ClassObjectServices broken{.lock = lock,
                                     .typeInfo = cache,
                                     .documents = failing,
                                     .hostInfo = host,
                                     .responderPlatform = platform,
                                     .disconnect = {}};
    IClassFactory* other = classObject;
    EXPECT_EQ(CreateFyBootpClassObject(broken, &other), E_OUTOFMEMORY);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(lock.Count(), 0);
}

}  // namespace
}  // namespace fybootp::testing
