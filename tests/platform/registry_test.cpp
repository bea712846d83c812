// The registry's Win32-shaped operations: keys, values, deletion and
// enumeration, with the statuses Windows callers test for.

#include "platform/registry/registry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/platform/registry_test_support.h"

namespace fybootp::registry {
namespace {

using testing::RegistryTest;

constexpr const char* kClassKey = "CLSID\\{8177E4D6-67CB-4CB7-9926-2F61CFD4B035}";

class RegistryKeys : public RegistryTest {};

TEST_F(RegistryKeys, OpenIgnoresCaseAndEnumerationKeepsTheCreatedSpelling) {
    m_registry.CloseKey(Create(HKEY_CLASSES_ROOT, kClassKey));
    HKEY key{};
    ASSERT_EQ(m_registry.OpenKey(HKEY_CLASSES_ROOT, "clsid\\{8177e4d6-67cb-4cb7-9926-2f61cfd4b035}",
                                 &key),
              ERROR_SUCCESS);
    m_registry.CloseKey(key);
    // Creating with another spelling opens the same key and renames nothing.
    DWORD disposition = 0;
    ASSERT_EQ(m_registry.CreateKey(HKEY_CLASSES_ROOT, "Clsid", &key, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    std::string name;
    ASSERT_EQ(m_registry.EnumKey(HKEY_CLASSES_ROOT, 0, &name), ERROR_SUCCESS);
    EXPECT_EQ(name, "CLSID");
    ASSERT_EQ(m_registry.EnumKey(key, 0, &name), ERROR_SUCCESS);
    EXPECT_EQ(name, "{8177E4D6-67CB-4CB7-9926-2F61CFD4B035}");
}

TEST_F(RegistryKeys, CreateMakesEveryMissingKeyOnThePathAndReportsIt) {
    HKEY key{};
    DWORD disposition = 0;
    ASSERT_EQ(m_registry.CreateKey(HKEY_CLASSES_ROOT, "TypeLib\\{1ABC}\\1.0\\0\\win32", &key,
                                   &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, "TypeLib\\{1ABC}\\1.0"));
    // A path relative to an opened key.
    HKEY typeLib = Create(HKEY_CLASSES_ROOT, "TypeLib");
    ASSERT_EQ(m_registry.CreateKey(typeLib, "{1abc}\\1.0\\FLAGS", &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, "TYPELIB\\{1ABC}\\1.0\\flags"));
}

TEST_F(RegistryKeys, AbsentKeysGiveFileNotFound) {
    HKEY key{};
    EXPECT_EQ(m_registry.OpenKey(HKEY_CLASSES_ROOT, "AppID", &key), ERROR_FILE_NOT_FOUND);
    m_registry.CloseKey(Create(HKEY_CLASSES_ROOT, "AppID"));
    EXPECT_EQ(m_registry.OpenKey(HKEY_CLASSES_ROOT, "AppID\\{DA184C20}", &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(m_registry.OpenKey(HKEY_CLASSES_ROOT, "Missing\\AppID", &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryKeys, OpeningForWritingNeedsAStoreThatTakesChanges) {
    m_registry.CloseKey(Create(HKEY_CLASSES_ROOT, "AppID"));
    HKEY key{};
    ASSERT_EQ(m_registry.OpenKeyForWriting(HKEY_CLASSES_ROOT, "AppID", &key), ERROR_SUCCESS);
    m_registry.CloseKey(key);
    EXPECT_EQ(m_registry.OpenKeyForWriting(HKEY_CLASSES_ROOT, "Missing", &key),
              ERROR_FILE_NOT_FOUND);
    // The hive's lock cannot be taken: the key still opens for reading.
    const std::string lock = m_root.Path() + "/HKCR.lock";
    std::remove(lock.c_str());
    ASSERT_EQ(mkdir(lock.c_str(), 0755), 0);
    EXPECT_EQ(m_registry.OpenKeyForWriting(HKEY_CLASSES_ROOT, "AppID", &key), ERROR_ACCESS_DENIED);
    ASSERT_EQ(m_registry.OpenKey(HKEY_CLASSES_ROOT, "AppID", &key), ERROR_SUCCESS);
    m_registry.CloseKey(key);
    rmdir(lock.c_str());
}

TEST_F(RegistryKeys, MalformedPathsAreInvalidParameters) {
    HKEY key{};
    const std::vector<std::string> paths = {"\\AppID", "AppID\\", "AppID\\\\x",
                                            std::string("A\0B", 3), std::string(256, 'k')};
    for (const std::string& path : paths) {
        EXPECT_EQ(m_registry.CreateKey(HKEY_CLASSES_ROOT, path, &key), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(m_registry.OpenKey(HKEY_CLASSES_ROOT, path, &key), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(m_registry.CreateKey(HKEY_CLASSES_ROOT, std::string(255, 'k'), &key), ERROR_SUCCESS);
}

TEST_F(RegistryKeys, TheTwoHivesAreSeparate) {
    m_registry.CloseKey(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quellmar\\Ferrowy"));
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, "software\\quellmar\\ferrowy"));
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, "SOFTWARE"));
}

TEST_F(RegistryKeys, ClosedAndUnknownHandlesAreInvalid) {
    HKEY key = Create(HKEY_CLASSES_ROOT, "AppID");
    EXPECT_EQ(m_registry.CloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(m_registry.CloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(m_registry.SetString(key, "", "x"), ERROR_INVALID_HANDLE);
    HKEY other{};
    EXPECT_EQ(m_registry.OpenKey(HKEY{12345}, "", &other), ERROR_INVALID_HANDLE);
    EXPECT_EQ(m_registry.CloseKey(HKEY_CLASSES_ROOT), ERROR_SUCCESS);
    EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, "AppID"));
}

TEST_F(RegistryKeys, HandleOfADeletedKeyReportsKeyDeleted) {
    HKEY key = Create(HKEY_CLASSES_ROOT, "AppID\\FyBootp.EXE");
    ASSERT_EQ(m_registry.DeleteTree(HKEY_CLASSES_ROOT, "AppID"), ERROR_SUCCESS);
    std::string text;
    HKEY sub{};
    EXPECT_EQ(m_registry.QueryString(key, "AppID", &text), ERROR_KEY_DELETED);
    EXPECT_EQ(m_registry.SetString(key, "AppID", "x"), ERROR_KEY_DELETED);
    EXPECT_EQ(m_registry.CreateKey(key, "Sub", &sub), ERROR_KEY_DELETED);
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, "AppID"));
    EXPECT_EQ(m_registry.CloseKey(key), ERROR_SUCCESS);
}

class RegistryDeletion : public RegistryTest {};

TEST_F(RegistryDeletion, DeleteKeyRefusesAKeyWithSubkeysAndLeavesIt) {
    m_registry.CloseKey(Create(HKEY_CLASSES_ROOT, "CLSID\\{C}\\Programmable"));
    EXPECT_EQ(m_registry.DeleteKey(HKEY_CLASSES_ROOT, "CLSID\\{C}"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, "CLSID\\{C}\\Programmable"));
    EXPECT_EQ(m_registry.DeleteKey(HKEY_CLASSES_ROOT, "clsid\\{c}\\programmable"), ERROR_SUCCESS);
    EXPECT_EQ(m_registry.DeleteKey(HKEY_CLASSES_ROOT, "CLSID\\{C}"), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, "CLSID\\{C}"));
    EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, "CLSID"));
}

TEST_F(RegistryDeletion, DeleteTreeRemovesTheWholeSubtreeAndNothingBeside) {
    HKEY key = Create(HKEY_CLASSES_ROOT, kClassKey);
    ASSERT_EQ(m_registry.SetString(key, "", "FyBootpServer Class"), ERROR_SUCCESS);
    m_registry.CloseKey(Create(key, "LocalServer32"));
    m_registry.CloseKey(Create(key, "ProgID\\Deeper\\Still"));
    m_registry.CloseKey(Create(HKEY_CLASSES_ROOT, "CLSID\\{Other}"));
    ASSERT_EQ(m_registry.DeleteTree(HKEY_CLASSES_ROOT, kClassKey), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, "CLSID\\{Other}"));
    EXPECT_EQ(m_registry.DeleteTree(HKEY_CLASSES_ROOT, kClassKey), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryDeletion, DeleteTreeOfAnEmptyPathEmptiesTheKeyButKeepsIt) {
    HKEY key = Create(HKEY_CLASSES_ROOT, "Interface\\{I}");
    ASSERT_EQ(m_registry.SetString(key, "", "IFyServerControl"), ERROR_SUCCESS);
    m_registry.CloseKey(Create(key, "TypeLib"));
    ASSERT_EQ(m_registry.DeleteTree(key, ""), ERROR_SUCCESS);
    DWORD subKeys = 9;
    DWORD values = 9;
    ASSERT_EQ(m_registry.QueryInfoKey(key, &subKeys, &values), ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 0u);
    EXPECT_EQ(values, 0u);
}

TEST_F(RegistryDeletion, DeleteKeyOfAnEmptyPathDeletesTheHandlesOwnKey) {
    HKEY key = Create(HKEY_CLASSES_ROOT, "FyBootp.FyBootpServer\\CurVer");
    ASSERT_EQ(m_registry.DeleteKey(key, ""), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, "FyBootp.FyBootpServer\\CurVer"));
    EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, "FyBootp.FyBootpServer"));
    EXPECT_EQ(m_registry.DeleteKey(key, ""), ERROR_KEY_DELETED);
}

TEST_F(RegistryDeletion, AbsentKeysAndTheHiveRootAreNotDeleted) {
    EXPECT_EQ(m_registry.DeleteKey(HKEY_CLASSES_ROOT, "Nothing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(m_registry.DeleteTree(HKEY_CLASSES_ROOT, "Nothing\\Below"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(m_registry.DeleteKey(HKEY_CLASSES_ROOT, ""), ERROR_INVALID_PARAMETER);
}

class RegistryValues : public RegistryTest {};

TEST_F(RegistryValues, DefaultAndNamedValuesAreDistinctAndNamesIgnoreCase) {
    HKEY key = Create(HKEY_CLASSES_ROOT, "AppID\\{DA184C20-DFC9-47A7-A2AE-6D98202999CD}");
    ASSERT_EQ(m_registry.SetString(key, "", "FyBootp"), ERROR_SUCCESS);
    ASSERT_EQ(m_registry.SetString(key, "LocalService", "FyBootp"), ERROR_SUCCESS);
    ASSERT_EQ(m_registry.SetString(key, "LOCALSERVICE", "Other"), ERROR_SUCCESS);
    std::string text;
    ASSERT_EQ(m_registry.QueryString(key, "", &text), ERROR_SUCCESS);
    EXPECT_EQ(text, "FyBootp");
    ASSERT_EQ(m_registry.QueryString(key, "localservice", &text), ERROR_SUCCESS);
    EXPECT_EQ(text, "Other");
    std::string name;
    ASSERT_EQ(m_registry.EnumValue(key, 1, &name), ERROR_SUCCESS);
    EXPECT_EQ(name, "LocalService");  // replaced, not renamed
    EXPECT_EQ(m_registry.EnumValue(key, 2, &name), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryValues, DwordsKeepTheirTypeAndWholeRange) {
    HKEY key = Create(HKEY_CLASSES_ROOT, "TypeLib\\{L}\\1.0\\FLAGS");
    for (const DWORD number : {0u, 1u, 0x80000000u, 0xFFFFFFFFu}) {
        ASSERT_EQ(m_registry.SetDword(key, "", number), ERROR_SUCCESS);
        DWORD read = 7;
        ASSERT_EQ(m_registry.QueryDword(key, "", &read), ERROR_SUCCESS);
        EXPECT_EQ(read, number);
    }
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(m_registry.QueryValue(key, "", &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(size, 4u);
    std::string text;
    EXPECT_EQ(m_registry.QueryString(key, "", &text), ERROR_UNSUPPORTED_TYPE);
    ASSERT_EQ(m_registry.SetString(key, "Text", "1"), ERROR_SUCCESS);
    DWORD number = 0;
    EXPECT_EQ(m_registry.QueryDword(key, "Text", &number), ERROR_UNSUPPORTED_TYPE);
}

TEST_F(RegistryValues, TextSizeCountsTheNulAndASmallBufferGivesMoreData) {
    HKEY key = Create(HKEY_CLASSES_ROOT, "AppID\\{A}");
    ASSERT_EQ(m_registry.SetString(key, "LocalService", "FyBootp"), ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(m_registry.QueryValue(key, "LocalService", &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 8u);

    char buffer[16];
    std::memset(buffer, '#', sizeof(buffer));
    size = 7;
    EXPECT_EQ(m_registry.QueryValue(key, "LocalService", &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(buffer[0], '#');  // nothing copied

    size = 8;
    ASSERT_EQ(m_registry.QueryValue(key, "LocalService", nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);
    EXPECT_STREQ(buffer, "FyBootp");

    ASSERT_EQ(m_registry.SetDword(key, "Number", 5), ERROR_SUCCESS);
    size = 3;
    EXPECT_EQ(m_registry.QueryValue(key, "Number", nullptr, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(m_registry.QueryValue(key, "Number", nullptr, buffer, nullptr),
              ERROR_INVALID_PARAMETER);
}

// A 260-byte buffer holds a path of 259 characters and its NUL, not one more:
// the limit the program's fixed path buffers depend on.
TEST_F(RegistryValues, A260ByteBufferTakes259CharactersOfText) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quellmar\\Ferrowy");
    char buffer[260];
    DWORD size = sizeof(buffer);
    ASSERT_EQ(m_registry.SetString(key, "CurrentProject", std::string(259, 'p')), ERROR_SUCCESS);
    EXPECT_EQ(m_registry.QueryValue(key, "CurrentProject", nullptr, buffer, &size), ERROR_SUCCESS);
    ASSERT_EQ(m_registry.SetString(key, "CurrentProject", std::string(260, 'p')), ERROR_SUCCESS);
    size = sizeof(buffer);
    EXPECT_EQ(m_registry.QueryValue(key, "CurrentProject", nullptr, buffer, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 261u);
}

TEST_F(RegistryValues, AbsentValuesGiveFileNotFound) {
    HKEY key = Create(HKEY_CLASSES_ROOT, "AppID\\{A}");
    std::string text;
    DWORD size = 0;
    EXPECT_EQ(m_registry.QueryString(key, "LocalService", &text), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(m_registry.QueryValue(key, "", nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(m_registry.DeleteValue(key, "LocalService"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(m_registry.SetString(key, "LocalService", "FyBootp"), ERROR_SUCCESS);
    ASSERT_EQ(m_registry.DeleteValue(key, "localSERVICE"), ERROR_SUCCESS);
    EXPECT_EQ(m_registry.QueryString(key, "LocalService", &text), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryValues, RawTextIsAcceptedWithOrWithoutItsNulButNotWithOneInside) {
    HKEY key = Create(HKEY_CLASSES_ROOT, "AppID\\{A}");
    std::string text;
    ASSERT_EQ(m_registry.SetValue(key, "LocalService", REG_SZ, "FyBootp", 8), ERROR_SUCCESS);
    ASSERT_EQ(m_registry.QueryString(key, "LocalService", &text), ERROR_SUCCESS);
    EXPECT_EQ(text, "FyBootp");
    ASSERT_EQ(m_registry.SetValue(key, "ServiceParameters", REG_SZ, "-Service", 8), ERROR_SUCCESS);
    ASSERT_EQ(m_registry.QueryString(key, "ServiceParameters", &text), ERROR_SUCCESS);
    EXPECT_EQ(text, "-Service");
    EXPECT_EQ(m_registry.SetValue(key, "Bad", REG_SZ, "a\0b", 3), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(m_registry.SetString(key, "Bad", std::string("a\0b", 3)), ERROR_INVALID_PARAMETER);
    const DWORD number = 1;
    EXPECT_EQ(m_registry.SetValue(key, "Bad", REG_DWORD, &number, 2), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(m_registry.SetValue(key, "Bad", 3 /* REG_BINARY */, "ab", 2),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(m_registry.SetValue(key, "Bad", REG_SZ, nullptr, 1), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(m_registry.QueryString(key, "Bad", &text), ERROR_FILE_NOT_FOUND);
}

class RegistryEnumeration : public RegistryTest {};

TEST_F(RegistryEnumeration, SubkeysComeInCaseInsensitiveOrderThenNoMoreItems) {
    HKEY parent = Create(HKEY_CLASSES_ROOT, "CLSID");
    for (const char* name : {"b", "_u", "C", "a"}) {
        m_registry.CloseKey(Create(parent, name));
    }
    std::vector<std::string> names;
    std::string name;
    DWORD index = 0;
    LONG status;
    while ((status = m_registry.EnumKey(parent, index, &name)) == ERROR_SUCCESS && index < 10) {
        names.push_back(name);
        ++index;
    }
    EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
    // Windows orders by the upper-case form, so '_' comes after the letters.
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "C", "_u"}));
}

TEST_F(RegistryEnumeration, ValuesComeInTheOrderFirstSet) {
    HKEY key = Create(HKEY_CLASSES_ROOT, "AppID\\{A}");
    ASSERT_EQ(m_registry.SetString(key, "Zeta", "1"), ERROR_SUCCESS);
    ASSERT_EQ(m_registry.SetDword(key, "alpha", 2), ERROR_SUCCESS);
    ASSERT_EQ(m_registry.SetString(key, "", "3"), ERROR_SUCCESS);
    ASSERT_EQ(m_registry.SetString(key, "zeta", "4"), ERROR_SUCCESS);
    std::string name;
    DWORD type = 0;
    ASSERT_EQ(m_registry.EnumValue(key, 0, &name, &type), ERROR_SUCCESS);
    EXPECT_EQ(name, "Zeta");
    EXPECT_EQ(type, REG_SZ);
    ASSERT_EQ(m_registry.EnumValue(key, 1, &name, &type), ERROR_SUCCESS);
    EXPECT_EQ(name, "alpha");
    EXPECT_EQ(type, REG_DWORD);
    ASSERT_EQ(m_registry.EnumValue(key, 2, &name, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(name, "");
    EXPECT_EQ(m_registry.EnumValue(key, 3, &name), ERROR_NO_MORE_ITEMS);
    DWORD subKeys = 9;
    DWORD values = 0;
    ASSERT_EQ(m_registry.QueryInfoKey(key, &subKeys, &values), ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 0u);
    EXPECT_EQ(values, 3u);
}

TEST_F(RegistryEnumeration, AnEmptyStoreHasEmptyRoots) {
    std::string name;
    EXPECT_EQ(m_registry.EnumKey(HKEY_CLASSES_ROOT, 0, &name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(m_registry.EnumValue(HKEY_LOCAL_MACHINE, 0, &name), ERROR_NO_MORE_ITEMS);
}

}  // namespace
}  // namespace fybootp::registry
