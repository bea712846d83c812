#include "tests/automation/automation_test_support.h"

#include <unistd.h>

#include <climits>

#include "automation/fybootp_ids.h"
#include "automation/type_library_resource.h"
#include "platform/com/load_type_lib.h"
#include "platform/com/type_lib_registration.h"

namespace fybootp::testing {

AutomationTest::AutomationTest() {
    lock.SetZeroHook([this] { ++zeroHookCalls; });
    const ClassObjectServices services{
        .lock = lock,
        .typeInfo = typeInfo,
        .documents = LibxmlDocumentFactory(),
        .hostInfo = host,
        .responderPlatform = platform,
        .disconnect = [this](IUnknown* object) { disconnected.push_back(object); }};
    EXPECT_EQ(CreateFyBootpClassObject(services, &classObject), S_OK);
}

AutomationTest::~AutomationTest() {
    if (classObject != nullptr) classObject->Release();
}

void AutomationTest::RegisterTypeLibrary() {
    // The test executable carries the type library section, as the server's
    // executable does: register it by the executable's own path.
    char path[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", path, sizeof(path) - 1), 0);
    ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadTypeLib(path, library.Receive()), S_OK);
    ASSERT_EQ(RegisterTypeLib(registry, library.Get(), path, registryDir.Path()), S_OK);
}

}  // namespace fybootp::testing
