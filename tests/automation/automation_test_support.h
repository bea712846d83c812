#pragma once
// A class object built the way the process builds it, in a fresh working
// directory, with a registry of its own, a fake responder platform and a
// host that detects as 198.51.100.7.

#include <gtest/gtest.h>

#include "automation/class_object.h"
#include "automation/type_info_cache.h"
#include "platform/com/com_ptr.h"
#include "platform/registry/registry.h"
#include "tests/document/document_test_support.h"
#include "tests/support/fake_responder_platform.h"

namespace fybootp::testing {

class AutomationTest : public InfoFileTest {
protected:
    AutomationTest();
    ~AutomationTest() override;

    // Writes the type library's registration into the test's registry.
    void RegisterTypeLibrary();
    // CreateInstance on the class object for iid.
    template <class T>
    ComPtr<T> Create(const IID& iid) {
        void* raw = nullptr;
        EXPECT_EQ(classObject->CreateInstance(nullptr, iid, &raw), S_OK);
        return ComPtr<T>::Attach(static_cast<T*>(raw));
    }

    TempDirectory registryDir;
    registry::Registry registry{registryDir.Path()};
    ModuleLock lock;
    TypeInfoCache typeInfo{registry};
    FakeHostInfoSource host = DetectableHost();
    std::shared_ptr<FakeResponderPlatform> platform = std::make_shared<FakeResponderPlatform>();
    int zeroHookCalls = 0;
    std::vector<IUnknown*> disconnected;
    IClassFactory* classObject = nullptr;
};

}  // namespace fybootp::testing
