// Late binding: the type library agrees with the C++ interface member by
// member, is found through the registry, and drives GetIDsOfNames and Invoke.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "automation/fybootp_ids.h"
#include "automation/fybootp_object.h"
#include "automation/type_library_resource.h"
#include "document/info_file.h"
#include "platform/com/load_type_lib.h"
#include "platform/com/type_lib_registration.h"
#include "tests/automation/automation_test_support.h"

namespace fybootp::testing {
namespace {

struct ExpectedMember {
    const char* name;
    INVOKEKIND kind;
    MEMBERID dispid;
    const char* help;
};

// The interface table as clients know it; the order fixes the vtable.
constexpr ExpectedMember kTable[] = {
    {"BootpInfosXml", INVOKE_PROPERTYGET, 1, "property BootpInfosXml"},
    {"BootpInfosXml", INVOKE_PROPERTYPUT, 1, "property BootpInfosXml"},
    {"LogChangeCnt", INVOKE_PROPERTYGET, 2, "property LogChangeCnt"},
    {"NewMacCnt", INVOKE_PROPERTYGET, 3, "property NewMacCnt"},
    {"NewMacAddresses", INVOKE_PROPERTYGET, 4, "property NewMacAddresses"},
    {"LogEntries", INVOKE_PROPERTYGET, 5, "property LogEntries"},
    {"LogEntries", INVOKE_PROPERTYPUT, 5, "property LogEntries"},
    {"Started", INVOKE_PROPERTYGET, 6, "property Started"},
    {"Started", INVOKE_PROPERTYPUT, 6, "property Started"},
    {"HostInfoXml", INVOKE_PROPERTYGET, 7, "property HostInfoXml"},
    {"HostInfoXml", INVOKE_PROPERTYPUT, 7, "property HostInfoXml"},
    {"AddBootpInfo", INVOKE_FUNC, 8, "method AddBootpInfo"},
    {"DeleteBootpInfo", INVOKE_FUNC, 9, "method DeleteBootpInfo"},
    {"DisableResponse", INVOKE_PROPERTYGET, 10, "property DisableResponse"},
    {"DisableResponse", INVOKE_PROPERTYPUT, 10, "property DisableResponse"},
};

ComPtr<ITypeInfo> ServerTypeInfo(ITypeLib* library) {
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(library->GetTypeInfoOfGuid(IID_IFyBootpServer, info.Receive()), S_OK);
    return info;
}

TEST(TypeLibrary, AgreesWithTheInterfaceMemberByMember) {
    ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadTypeLibFromText(FyBootpTypeLibraryText(), library.Receive()), S_OK);
    const TypeLibraryDesc* lib = nullptr;
    ASSERT_EQ(library->GetLibAttr(&lib), S_OK);
    EXPECT_EQ(lib->name, "FYBOOTPLib");
    EXPECT_EQ(lib->libid, LIBID_FYBOOTPLib);
    EXPECT_EQ(lib->majorVersion, 1);
    EXPECT_EQ(lib->minorVersion, 0);
    EXPECT_EQ(lib->lcid, 0u);
    EXPECT_EQ(lib->helpString, "FyBootp 1.0 Type Library");

    ComPtr<ITypeInfo> info = ServerTypeInfo(library.Get());
    const TypeDesc* type = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&type), S_OK);
    EXPECT_EQ(type->parent, "IDispatch");
    EXPECT_EQ(type->flags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION);
    EXPECT_EQ(type->helpString, "IFyBootpServer Interface");
    ASSERT_EQ(type->members.size(), std::size(kTable));

    const auto& calls = FyBootpCallTable();
    for (UINT i = 0; i < std::size(kTable); ++i) {
        const MemberDesc* member = nullptr;
        ASSERT_EQ(info->GetFuncDesc(i, &member), S_OK);
        EXPECT_EQ(member->name, kTable[i].name) << i;
        EXPECT_EQ(member->invokeKind, kTable[i].kind) << i;
        EXPECT_EQ(member->memid, kTable[i].dispid) << i;
        EXPECT_EQ(member->helpString, kTable[i].help) << i;
        const MemberSignature* signature = calls.SignatureAt(7 + i);
        ASSERT_NE(signature, nullptr);
        EXPECT_TRUE(SignatureMatches(*signature, *member)) << member->name;
        if (member->invokeKind == INVOKE_PROPERTYGET) {
            EXPECT_EQ(member->params[0].name, "pVal");
        }
    }
    const MemberDesc* add = nullptr;
    info->GetFuncDesc(11, &add);
    EXPECT_EQ(add->params[0].name, "macAddr");
    EXPECT_EQ(add->params[1].name, "ipAddr");

    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(library->GetTypeInfoOfGuid(CLSID_FyBootpServer, coclass.Receive()), S_OK);
    const TypeDesc* cls = nullptr;
    coclass->GetTypeAttr(&cls);
    EXPECT_EQ(cls->name, "FyBootpServer");
    EXPECT_EQ(cls->flags, TYPEFLAG_FCANCREATE);
    EXPECT_EQ(cls->helpString, "FyBootpServer Class");
    ASSERT_EQ(cls->interfaces.size(), 1u);
    EXPECT_EQ(cls->interfaces[0].name, "IFyBootpServer");
    EXPECT_EQ(cls->interfaces[0].flags, IMPLTYPEFLAG_FDEFAULT);
}

TEST(TypeLibrary, ExecutableSectionAndTlbFileHoldTheSameLibrary) {
    std::ifstream file(FYB_TYPELIB_SOURCE);
    std::stringstream source;
    source << file.rdbuf();
    EXPECT_EQ(FyBootpTypeLibraryText(), source.str());

    ComPtr<ITypeLib> fromExecutable, fromFile;
    ASSERT_EQ(LoadTypeLib("/proc/self/exe", fromExecutable.Receive()), S_OK);
    ASSERT_EQ(LoadTypeLib(FYB_TYPELIB_SOURCE, fromFile.Receive()), S_OK);
    const TypeLibraryDesc *a = nullptr, *b = nullptr;
    fromExecutable->GetLibAttr(&a);
    fromFile->GetLibAttr(&b);
    EXPECT_EQ(*a, *b);

    ComPtr<ITypeLib> missing;
    EXPECT_EQ(LoadTypeLib("/bin/sh", missing.Receive()), TYPE_E_CANTLOADLIBRARY);
}

class Registration : public AutomationTest {
protected:
    std::string Default(const std::string& path) {
        registry::HKEY key{};
        if (registry.OpenKey(registry::HKEY_CLASSES_ROOT, path, &key) != 0) return "<absent>";
        std::string text;
        registry.QueryString(key, "", &text);
        registry.CloseKey(key);
        return text;
    }
};

TEST_F(Registration, WritesTheKeysClientsLookFor) {
    RegisterTypeLibrary();
    const std::string lib = "TypeLib\\{1ABC56CF-01D5-4488-BD8D-0437DF9C7A3C}\\1.0";
    EXPECT_EQ(Default(lib), "FyBootp 1.0 Type Library");
    EXPECT_EQ(Default(lib + "\\FLAGS"), "0");
    EXPECT_EQ(Default(lib + "\\HELPDIR"), registryDir.Path());
    EXPECT_NE(Default(lib + "\\0\\win32"), "<absent>");
    const std::string itf = "interface\\{c8a025e7-e7d8-4682-98cb-f680a40f3fdb}";  // any case
    EXPECT_EQ(Default(itf), "IFyBootpServer");
    EXPECT_EQ(Default(itf + "\\ProxyStubClsid32"), "{00020424-0000-0000-C000-000000000046}");
    EXPECT_EQ(Default(itf + "\\ProxyStubClsid"), "{00020424-0000-0000-C000-000000000046}");
    EXPECT_EQ(Default(itf + "\\TypeLib"), "{1ABC56CF-01D5-4488-BD8D-0437DF9C7A3C}");

    ComPtr<ITypeLib> loaded;
    EXPECT_EQ(LoadRegTypeLib(registry, LIBID_FYBOOTPLib, 1, 0, 1033, loaded.Receive()), S_OK);
    EXPECT_EQ(LoadRegTypeLib(registry, LIBID_FYBOOTPLib, 1, 1, 0, loaded.Receive()),
              TYPE_E_LIBNOTREGISTERED);  // no 1.1 or later

    EXPECT_EQ(UnRegisterTypeLib(registry, LIBID_FYBOOTPLib, 1, 0, 0), S_OK);
    EXPECT_EQ(Default(lib), "<absent>");
    EXPECT_EQ(Default("TypeLib\\{1ABC56CF-01D5-4488-BD8D-0437DF9C7A3C}"), "<absent>");
    EXPECT_EQ(Default(itf), "<absent>");
    EXPECT_EQ(LoadRegTypeLib(registry, LIBID_FYBOOTPLib, 1, 0, 0, loaded.Receive()),
              TYPE_E_LIBNOTREGISTERED);
}

class LateBinding : public AutomationTest {
protected:
    void SetUp() override {
        server = Create<IFyBootpServer>(IID_IFyBootpServer);
        ASSERT_TRUE(server);
    }

    HRESULT Put(DISPID id, Variant value) {
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params{&value, &named, 1, 1};
        return server->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr,
                              nullptr);
    }
    HRESULT Get(DISPID id, Variant* result) {
        DISPPARAMS none{};
        return server->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, result, nullptr,
                              nullptr);
    }
    // Positional arguments travel last first.
    HRESULT Call(DISPID id, std::vector<Variant> firstToLast, Variant* result = nullptr,
                 UINT* argErr = nullptr) {
        std::vector<Variant> reversed(firstToLast.rbegin(), firstToLast.rend());
        DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        return server->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, result, nullptr, argErr);
    }

    ComPtr<IFyBootpServer> server;
};

TEST_F(LateBinding, UnregisteredLibraryFailsEveryDispatchCallUntilRegistered) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        ComPtr<ITypeInfo> info;
        EXPECT_EQ(server->GetTypeInfo(0, 0, info.Receive()), TYPE_E_LIBNOTREGISTERED);
        const OLECHAR* name = "Started";
        DISPID id = 0;
        EXPECT_EQ(server->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), TYPE_E_LIBNOTREGISTERED);
        EXPECT_EQ(Put(6, Variant::FromI4(1)), TYPE_E_LIBNOTREGISTERED);
    }
    std::int32_t started = -1;
    EXPECT_EQ(server->get_Started(&started), S_OK);  // vtable calls are not affected
    EXPECT_EQ(started, 0);

    RegisterTypeLibrary();  // the failure was not remembered
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(server->GetTypeInfo(0, 0, info.Receive()), S_OK);
}

TEST_F(LateBinding, NamesResolveWithoutRegardToCase) {
    RegisterTypeLibrary();
    UINT count = 0;
    EXPECT_EQ(server->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);

    auto idOf = [&](const OLECHAR* name, DISPID* id) {
        return server->GetIDsOfNames(IID_NULL, &name, 1, 0, id);
    };
    DISPID id = 0;
    EXPECT_EQ(idOf("ADDBOOTPINFO", &id), S_OK);
    EXPECT_EQ(id, 8);
    EXPECT_EQ(idOf("DisableResponse", &id), S_OK);
    EXPECT_EQ(id, 10);
    EXPECT_EQ(idOf("AddBootpInf", &id), DISP_E_UNKNOWNNAME);

    const OLECHAR* withParams[] = {"addbootpinfo", "IPADDR", "macAddr"};
    DISPID ids[3] = {};
    EXPECT_EQ(server->GetIDsOfNames(IID_NULL, withParams, 3, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 8);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ids[2], 0);

    ComPtr<ITypeInfo> first, fifth;
    ASSERT_EQ(server->GetTypeInfo(0, 0, first.Receive()), S_OK);
    ASSERT_EQ(server->GetTypeInfo(5, 0, fifth.Receive()), S_OK);
    EXPECT_EQ(first.Get(), fifth.Get());
    EXPECT_EQ(server->GetTypeInfo(0, 0, nullptr), E_POINTER);
}

TEST_F(LateBinding, InvokeStartsTheResponderAsTheVtablePutDoes) {
    RegisterTypeLibrary();
    ASSERT_EQ(Put(6, Variant::FromI4(1)), S_OK);
    Variant started;
    ASSERT_EQ(Get(6, &started), S_OK);
    EXPECT_EQ(started.I4(), 1);
    EXPECT_EQ(platform->network->socketsOpened, 1);
    EXPECT_EQ(lock.Count(), 2);  // the client's reference and the responder's own

    ASSERT_EQ(Put(6, Variant::FromText("0")), S_OK);  // text converts to long
    ASSERT_EQ(Get(6, &started), S_OK);
    EXPECT_EQ(started.I4(), 0);
}

TEST_F(LateBinding, InvokeAddsAndDeletesNodesFromTextAndNumbers) {
    RegisterTypeLibrary();
    // 192.0.2.10 in network byte order, as a long: the first octet is the
    // lowest byte.
    ASSERT_EQ(Call(8, {Variant::FromText("0a1b2c3d4e5f"), Variant::FromI4(0x0A0200C0)}), S_OK);
    ASSERT_EQ(Call(8, {Variant::FromText("0A1B2C3D4E60"), Variant::FromText("167903424")}), S_OK);
    Variant table;
    ASSERT_EQ(Get(1, &table), S_OK);
    EXPECT_NE(table.Text().find("<IpAddr>192.0.2.10</IpAddr><MacAddr>0A1B2C3D4E5F</MacAddr>"),
              std::string_view::npos)
        << table.Text();
    EXPECT_NE(table.Text().find("<IpAddr>192.0.2.10</IpAddr><MacAddr>0A1B2C3D4E60</MacAddr>"),
              std::string_view::npos)
        << table.Text();

    UINT argErr = 99;
    EXPECT_EQ(
        Call(8, {Variant::FromText("0A1B2C3D4E61"), Variant::FromText("ten")}, nullptr, &argErr),
        DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 0u);  // the last argument, which travels first

    EXPECT_EQ(Call(9, {Variant::FromText("0A1B2C3D4E5F")}), S_OK);
    EXPECT_EQ(Call(9, {Variant::FromText("0A1B2C3D4E5F")}), S_FALSE);  // no longer there
    EXPECT_EQ(Call(9, {}), DISP_E_BADPARAMCOUNT);
}

// A member that fails tells a late-bound client why: DISP_E_EXCEPTION, with
// the member's own status in the exception record.
TEST_F(LateBinding, FailingMemberGivesItsStatusInTheExceptionRecord) {
    RegisterTypeLibrary();
    // A folder where the file should be: the file cannot be read, so the
    // table change cannot be stored.
    ASSERT_TRUE(std::filesystem::create_directory(kInfoFileName));
    Variant mac = Variant::FromText("0A1B2C3D4E5F");
    Variant ip = Variant::FromI4(0x0A0200C0);
    Variant lastFirst[] = {ip, mac};
    DISPPARAMS params{lastFirst, nullptr, 2, 0};
    EXCEPINFO exception{};
    EXPECT_EQ(server->Invoke(8, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &exception,
                             nullptr),
              DISP_E_EXCEPTION);
    EXPECT_EQ(exception.scode, E_ACCESSDENIED);
    // Without a record to carry it, the status itself comes back.
    EXPECT_EQ(Call(8, {mac, ip}), E_ACCESSDENIED);
    EXPECT_TRUE(std::filesystem::is_directory(kInfoFileName));
}

TEST_F(LateBinding, EveryPropertyWorksThroughInvokeAsThroughTheVtable) {
    RegisterTypeLibrary();
    ASSERT_EQ(Put(1, Variant::FromText("<FyBootpInfo><Nodes><Node><IpAddr>192.0.2.30</IpAddr>"
                                       "<MacAddr>024B7700001E</MacAddr></Node></Nodes>"
                                       "</FyBootpInfo>")),
              S_OK);
    BSTR table = nullptr;
    ASSERT_EQ(server->get_BootpInfosXml(&table), S_OK);
    Variant viaInvoke;
    ASSERT_EQ(Get(1, &viaInvoke), S_OK);
    EXPECT_EQ(viaInvoke.Text(), BstrText(table));
    SysFreeString(table);

    ASSERT_EQ(Put(10, Variant::FromText("7")), S_OK);
    Variant disable;
    ASSERT_EQ(Get(10, &disable), S_OK);
    EXPECT_EQ(disable.I4(), 7);

    Variant counter;
    ASSERT_EQ(Get(2, &counter), S_OK);  // LogChangeCnt
    EXPECT_EQ(counter.I4(), 0);
    ASSERT_EQ(Get(3, &counter), S_OK);  // NewMacCnt
    EXPECT_EQ(counter.I4(), 0);
    Variant newMacs;
    ASSERT_EQ(Get(4, &newMacs), S_OK);
    EXPECT_NE(newMacs.Text().find("<Nodes/>"), std::string_view::npos) << newMacs.Text();

    Variant log;
    ASSERT_EQ(Get(5, &log), S_OK);
    ASSERT_EQ(Put(5, Variant::FromText(log.Text())), S_OK);  // clears: the counter moves
    ASSERT_EQ(Get(2, &counter), S_OK);
    EXPECT_EQ(counter.I4(), 1);

    ASSERT_EQ(Put(7, Variant::FromText("<FyBootpInfo><HostInfo><Name>late</Name></HostInfo>"
                                       "</FyBootpInfo>")),
              S_OK);
    Variant identity;
    ASSERT_EQ(Get(7, &identity), S_OK);
    EXPECT_NE(identity.Text().find("<Name>late</Name>"), std::string_view::npos) << identity.Text();

    // Read-only properties have no put.
    EXPECT_EQ(Put(2, Variant::FromI4(5)), DISP_E_MEMBERNOTFOUND);
}

}  // namespace
}  // namespace fybootp::testing
