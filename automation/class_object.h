#pragma once
// The class object of FyBootpServer: it holds the process's one server
// object and hands every client that same object. Creating the class object
// builds the server object, start-up load included; a failed load makes the
// creation fail with its status. When the class object's own last reference
// goes, it cuts the clients still connected and destroys the server object.

#include <functional>
#include <memory>

#include "automation/fybootp_object.h"
#include "document/host_info_source.h"
#include "platform/com/class_factory.h"

namespace fybootp {

struct ClassObjectServices {
    ModuleLock& lock;
    TypeInfoCache& typeInfo;
    const DocumentFactory& documents = LibxmlDocumentFactory();
    const HostInfoSource& hostInfo = SystemHostInfoSource();
    // The responder's socket, thread and clock; null: the system's.
    std::shared_ptr<ResponderPlatform> responderPlatform;
    // Cuts every client connection to the object, before it is destroyed.
    std::function<void(IUnknown*)> disconnect;
};

// S_OK and the class object with one reference in *classObject, or the
// status of the failed construction and null.
HRESULT CreateFyBootpClassObject(const ClassObjectServices& services, IClassFactory** classObject);

}  // namespace fybootp
