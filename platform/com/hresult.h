#pragma once
// COM status codes with the numeric values that COM clients know them by.

#include <cstdint>

namespace fybootp {

using HRESULT = std::int32_t;

// The codes are written as unsigned hex, the form every COM header and log
// shows, and converted once here.
constexpr HRESULT MakeHresult(std::uint32_t code) { return static_cast<HRESULT>(code); }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001u);
constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002u);
constexpr HRESULT E_POINTER = MakeHresult(0x80004003u);
constexpr HRESULT E_ABORT = MakeHresult(0x80004004u);
constexpr HRESULT E_FAIL = MakeHresult(0x80004005u);
constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFFu);
constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057u);
constexpr HRESULT E_ACCESSDENIED = MakeHresult(0x80070005u);

// Class objects and activation.
constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHresult(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHresult(0x80040111u);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHresult(0x80040154u);
constexpr HRESULT CO_E_OBJNOTCONNECTED = MakeHresult(0x800401FDu);
constexpr HRESULT RPC_E_DISCONNECTED = MakeHresult(0x80010108u);
// HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE): the machine that should
// run the server cannot be reached at all.
constexpr HRESULT RPC_S_SERVER_UNAVAILABLE = MakeHresult(0x800706BAu);
constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = MakeHresult(0x80080005u);
// The server is ending: ask again, and a new one is started.
constexpr HRESULT CO_E_SERVER_STOPPING = MakeHresult(0x80004008u);

// IDispatch.
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MakeHresult(0x80020001u);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHresult(0x80020003u);
constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHresult(0x80020004u);
constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHresult(0x80020005u);
constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHresult(0x80020006u);
constexpr HRESULT DISP_E_NONAMEDARGS = MakeHresult(0x80020007u);
constexpr HRESULT DISP_E_BADVARTYPE = MakeHresult(0x80020008u);
constexpr HRESULT DISP_E_EXCEPTION = MakeHresult(0x80020009u);
constexpr HRESULT DISP_E_OVERFLOW = MakeHresult(0x8002000Au);
constexpr HRESULT DISP_E_BADINDEX = MakeHresult(0x8002000Bu);
constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHresult(0x8002000Eu);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = MakeHresult(0x8002000Fu);

// Type libraries.
constexpr HRESULT TYPE_E_INVDATAREAD = MakeHresult(0x80028018u);
constexpr HRESULT TYPE_E_UNSUPFORMAT = MakeHresult(0x80028019u);
constexpr HRESULT TYPE_E_REGISTRYACCESS = MakeHresult(0x8002801Cu);
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = MakeHresult(0x8002801Du);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = MakeHresult(0x8002802Bu);
constexpr HRESULT TYPE_E_IOERROR = MakeHresult(0x80028CA2u);
constexpr HRESULT TYPE_E_CANTLOADLIBRARY = MakeHresult(0x80029C4Au);

// Structured storage.
constexpr HRESULT STG_E_FILENOTFOUND = MakeHresult(0x80030002u);

constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

// HRESULT_FROM_WIN32: a Win32 or errno-like code in facility 7.
constexpr HRESULT HresultFromWin32(std::uint32_t code) {
    return code == 0 ? S_OK : MakeHresult((code & 0xFFFFu) | 0x80070000u);
}

}  // namespace fybootp
