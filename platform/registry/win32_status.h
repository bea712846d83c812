#pragma once
// The Win32 vocabulary of the registry layer: status codes with the numeric
// values Win32 gives them, value types, creation dispositions and the
// predefined root keys. Callers test statuses against these names exactly as
// Windows code tests the ones from winerror.h, so the values must not drift.

#include <cstdint>

namespace fybootp::registry {

using LONG = std::int32_t;
using DWORD = std::uint32_t;

constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
// "The configuration registry database is corrupt": a hive file that does
// not parse.
constexpr LONG ERROR_BADDB = 1009;
// "An I/O operation initiated by the registry failed unrecoverably": a hive
// file that exists but cannot be read.
constexpr LONG ERROR_REGISTRY_IO_FAILED = 1016;
// An operation on a handle whose key has been deleted since it was opened.
constexpr LONG ERROR_KEY_DELETED = 1018;
// A typed query (QueryString, QueryDword) of a value of the other type.
constexpr LONG ERROR_UNSUPPORTED_TYPE = 1630;

constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_DWORD = 4;

constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// A key handle. The predefined roots carry their Win32 values; handles that
// OpenKey and CreateKey return are small numbers below them.
enum class HKEY : std::uint32_t {};
inline constexpr HKEY HKEY_CLASSES_ROOT{0x80000000u};
inline constexpr HKEY HKEY_LOCAL_MACHINE{0x80000002u};

// Limits Windows applies, kept so that what works here also works there.
constexpr std::uint32_t kMaxKeyNameLength = 255;
constexpr std::uint32_t kMaxValueNameLength = 16383;
constexpr std::uint32_t kMaxKeyDepth = 512;

}  // namespace fybootp::registry
