#pragma once
// In-process components: a class whose HKCR\CLSID\{clsid}\InprocServer32
// names a shared library is created by loading that library and asking its
// DllGetClassObject for the class object, as COM does with a DLL.

#include "platform/com/class_factory.h"
#include "platform/fs/trusted_path.h"
#include "platform/registry/registry.h"

namespace fybootp {

inline constexpr DWORD CLSCTX_INPROC_SERVER_FLAG = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER_FLAG = 0x2;

// What a component library exports, with C linkage:
//   HRESULT DllGetClassObject(const GUID& clsid, const IID& iid, void** object);
using DllGetClassObjectFunction = HRESULT (*)(const GUID&, const IID&, void**);
inline constexpr char kDllGetClassObject[] = "DllGetClassObject";

// REGDB_E_CLASSNOTREG when the class names no library;
// HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) when the library is missing;
// E_ACCESSDENIED, with the file and the reason in *refused when asked for,
// when the path is not absolute or the library is not trusted
// (fs::FindDistrust), since whoever could change it would run code with
// our privileges; CO_E_ERRORINDLL when it cannot be loaded, HRESULT_FROM_WIN32
// (ERROR_PROC_NOT_FOUND) when it lacks DllGetClassObject; otherwise the
// status of DllGetClassObject or of the class object's CreateInstance.
// A loaded library stays loaded for the life of the process.
HRESULT CoCreateInprocInstance(registry::Registry& registry, const GUID& clsid, IUnknown* outer,
                               const IID& iid, void** object, fs::Distrust* refused = nullptr);

// IRunnableObject, as far as OleRun uses it.
inline constexpr IID IID_IRunnableObject = GuidLiteral("{00000126-0000-0000-C000-000000000046}");
class IRunnableObject : public IUnknown {
public:
    virtual HRESULT GetRunningClass(GUID* clsid) = 0;
    virtual HRESULT Run(void* bindContext) = 0;
};

// S_OK for an object without IRunnableObject; otherwise its Run.
HRESULT OleRun(IUnknown* object);

}  // namespace fybootp
