#include "host/bus_shapes.h"

#include <stdexcept>

#include "automation/fybootp_ids.h"
#include "automation/fybootp_object.h"
#include "automation/type_library_resource.h"
#include "host/audit_trail.h"
#include "document/limits.h"
#include "platform/com/com_ptr.h"
#include "platform/com/load_type_lib.h"
#include "platform/com/member_call_table.h"

namespace fybootp::host {
namespace {

constexpr auto kControlCalls = MakeMemberCallTable<
    &IFyServerControl::Reserved1, &IFyServerControl::Reserved2, &IFyServerControl::Reserved3,
    &IFyServerControl::Reserved4, &IFyServerControl::Reserved5, &IFyServerControl::Reserved6,
    &IFyServerControl::Reserved7, &IFyServerControl::Start, &IFyServerControl::Stop>();

constexpr const char* kControlNames[] = {"Reserved1", "Reserved2", "Reserved3",
                                         "Reserved4", "Reserved5", "Reserved6",
                                         "Reserved7", "Start",     "Stop"};

HRESULT InvokeServer(IUnknown* object, std::size_t index, std::span<Variant> args,
                     Variant* result) {
    return FyBootpCallTable().Call(*static_cast<IFyBootpServer*>(object), index, args, result);
}

HRESULT InvokeControl(IUnknown* object, std::size_t index, std::span<Variant> args,
                      Variant* result) {
    return kControlCalls.Call(*static_cast<IFyServerControl*>(object), index, args, result);
}

TypeDesc ServerTypeDesc() {
    ComPtr<ITypeLib> library;
    ComPtr<ITypeInfo> info;
    const TypeDesc* type = nullptr;
    if (Failed(LoadTypeLibFromText(FyBootpTypeLibraryText(), library.Receive())) ||
        Failed(library->GetTypeInfoOfGuid(IID_IFyBootpServer, info.Receive())) ||
        Failed(info->GetTypeAttr(&type))) {
        throw std::runtime_error("the built-in type library does not load");
    }
    return *type;
}

}  // namespace

TypeDesc ServerControlTypeDesc() {
    TypeDesc type;
    type.kind = TKIND_INTERFACE;
    type.name = "IFyServerControl";
    type.guid = IID_IFyServerControl;
    type.parent = std::string(kIUnknownName);
    const std::size_t first = decltype(kControlCalls)::kFirstVtableIndex;
    for (std::size_t i = 0; i < kControlCalls.Count(); ++i) {
        const MemberSignature& signature = *kControlCalls.SignatureAt(first + i);
        MemberDesc member;
        member.name = kControlNames[i];
        member.memid = static_cast<MEMBERID>(i + 1);
        for (std::size_t p = 0; p < signature.count; ++p) {
            member.params.push_back(ParamDesc{.name = "arg" + std::to_string(p + 1),
                                              .type = signature.params[p].type,
                                              .byRef = false,
                                              .flags = PARAMFLAG_FIN});
        }
        type.members.push_back(std::move(member));
    }
    return type;
}

const bus::BusClass& FyBootpBusClass() {
    static const bus::BusClass shape{
        .clsid = CLSID_FyBootpServer,
        .busName = kBusName,
        .classPath = kClassObjectPath,
        .objectPath = kServerObjectPath,
        .interfaces = {{kServerInterface,
                        IID_IFyBootpServer,
                        ServerTypeDesc(),
                        &InvokeServer,
                        {"LogChangeCnt", "NewMacCnt"},
                        AuditedMembers()},
                       {kControlInterface,
                        IID_IFyServerControl,
                        ServerControlTypeDesc(),
                        &InvokeControl,
                        {},
                        AuditedMembers()}},
        .maxTextBytes = kClientTextLimits.maxBytes,
    };
    return shape;
}

}  // namespace fybootp::host
