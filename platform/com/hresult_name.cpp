#include "platform/com/hresult_name.h"

#include <array>
#include <utility>

namespace fybootp {
namespace {

constexpr std::array<std::pair<HRESULT, std::string_view>, 46> kNames{{
    {S_OK, "S_OK"},
    {S_FALSE, "S_FALSE"},
    {E_NOTIMPL, "E_NOTIMPL"},
    {E_NOINTERFACE, "E_NOINTERFACE"},
    {E_POINTER, "E_POINTER"},
    {E_ABORT, "E_ABORT"},
    {E_FAIL, "E_FAIL"},
    {E_UNEXPECTED, "E_UNEXPECTED"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
    {E_INVALIDARG, "E_INVALIDARG"},
    {E_ACCESSDENIED, "E_ACCESSDENIED"},
    {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION"},
    {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE"},
    {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG"},
    {CO_E_OBJNOTCONNECTED, "CO_E_OBJNOTCONNECTED"},
    {RPC_E_DISCONNECTED, "RPC_E_DISCONNECTED"},
    {RPC_S_SERVER_UNAVAILABLE, "RPC_S_SERVER_UNAVAILABLE"},
    {CO_E_SERVER_EXEC_FAILURE, "CO_E_SERVER_EXEC_FAILURE"},
    {CO_E_SERVER_STOPPING, "CO_E_SERVER_STOPPING"},
    {DISP_E_UNKNOWNINTERFACE, "DISP_E_UNKNOWNINTERFACE"},
    {DISP_E_MEMBERNOTFOUND, "DISP_E_MEMBERNOTFOUND"},
    {DISP_E_PARAMNOTFOUND, "DISP_E_PARAMNOTFOUND"},
    {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH"},
    {DISP_E_UNKNOWNNAME, "DISP_E_UNKNOWNNAME"},
    {DISP_E_NONAMEDARGS, "DISP_E_NONAMEDARGS"},
    {DISP_E_BADVARTYPE, "DISP_E_BADVARTYPE"},
    {DISP_E_EXCEPTION, "DISP_E_EXCEPTION"},
    {DISP_E_OVERFLOW, "DISP_E_OVERFLOW"},
    {DISP_E_BADINDEX, "DISP_E_BADINDEX"},
    {DISP_E_BADPARAMCOUNT, "DISP_E_BADPARAMCOUNT"},
    {DISP_E_PARAMNOTOPTIONAL, "DISP_E_PARAMNOTOPTIONAL"},
    {TYPE_E_INVDATAREAD, "TYPE_E_INVDATAREAD"},
    {TYPE_E_UNSUPFORMAT, "TYPE_E_UNSUPFORMAT"},
    {TYPE_E_REGISTRYACCESS, "TYPE_E_REGISTRYACCESS"},
    {TYPE_E_LIBNOTREGISTERED, "TYPE_E_LIBNOTREGISTERED"},
    {TYPE_E_ELEMENTNOTFOUND, "TYPE_E_ELEMENTNOTFOUND"},
    {TYPE_E_IOERROR, "TYPE_E_IOERROR"},
    {TYPE_E_CANTLOADLIBRARY, "TYPE_E_CANTLOADLIBRARY"},
    {STG_E_FILENOTFOUND, "STG_E_FILENOTFOUND"},
    {MakeHresult(0x80030050u), "STG_E_FILEALREADYEXISTS"},
    {MakeHresult(0x80030020u), "STG_E_SHAREVIOLATION"},
    {MakeHresult(0x80030003u), "STG_E_PATHNOTFOUND"},
    {MakeHresult(0x80030005u), "STG_E_ACCESSDENIED"},
    {MakeHresult(0x8003001Du), "STG_E_WRITEFAULT"},
    {MakeHresult(0x80030070u), "STG_E_MEDIUMFULL"},
    {MakeHresult(0x800300FFu), "STG_E_INVALIDFLAG"},
}};

// Exit codes and some statuses are plain Win32 error codes.
constexpr std::array<std::pair<HRESULT, std::string_view>, 9> kWin32Names{{
    {2, "ERROR_FILE_NOT_FOUND"},
    {3, "ERROR_PATH_NOT_FOUND"},
    {5, "ERROR_ACCESS_DENIED"},
    {6, "ERROR_INVALID_HANDLE"},
    {87, "ERROR_INVALID_PARAMETER"},
    {183, "ERROR_ALREADY_EXISTS"},
    {1009, "ERROR_BADDB"},
    {1016, "ERROR_REGISTRY_IO_FAILED"},
    {1018, "ERROR_KEY_DELETED"},
}};

}  // namespace

std::string_view HresultName(HRESULT hr) {
    for (const auto& [code, name] : kWin32Names) {
        if (code == hr) return name;
    }
    for (const auto& [code, name] : kNames) {
        if (code == hr) return name;
    }
    // Win32 codes wrapped in facility 7 are named by their number.
    return (static_cast<std::uint32_t>(hr) & 0xFFFF0000u) == 0x80070000u ? "HRESULT_FROM_WIN32"
                                                                         : "HRESULT";
}

}  // namespace fybootp
