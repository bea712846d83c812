#pragma once
// The identities of FyBootp's automation interface.

#include "platform/com/com_types.h"
#include "platform/com/guid.h"

namespace fybootp {

inline constexpr GUID LIBID_FYBOOTPLib = GuidLiteral("{1ABC56CF-01D5-4488-BD8D-0437DF9C7A3C}");
inline constexpr GUID CLSID_FyBootpServer = GuidLiteral("{8177E4D6-67CB-4CB7-9926-2F61CFD4B035}");
inline constexpr GUID IID_IFyBootpServer = GuidLiteral("{C8A025E7-E7D8-4682-98CB-F680A40F3FDB}");
inline constexpr GUID IID_IFyServerControl = GuidLiteral("{5E2B7C91-3A4D-4F60-8B1E-9C7D2A6F0E43}");
inline constexpr GUID APPID_FyBootp = GuidLiteral("{DA184C20-DFC9-47A7-A2AE-6D98202999CD}");

inline constexpr char kProgId[] = "FyBootp.FyBootpServer.1";
inline constexpr char kVersionIndependentProgId[] = "FyBootp.FyBootpServer";
inline constexpr char kClassDescription[] = "FyBootpServer Class";

inline constexpr WORD kTypeLibMajor = 1;
inline constexpr WORD kTypeLibMinor = 0;

}  // namespace fybootp
