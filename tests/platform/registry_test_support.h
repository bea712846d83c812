#pragma once
// A private registry root for one test, removed with everything in it when
// the test ends.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/registry/registry.h"

namespace fybootp::registry::testing {

class TemporaryRoot {
public:
    TemporaryRoot() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "fyb-registry-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        }
        m_path = pattern;
    }
    ~TemporaryRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TemporaryRoot(const TemporaryRoot&) = delete;
    TemporaryRoot& operator=(const TemporaryRoot&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// A store in a fresh root, for fixtures of behaviour.
class RegistryTest : public ::testing::Test {
protected:
    HKEY Create(HKEY parent, const std::string& path) {
        HKEY key{};
        EXPECT_EQ(m_registry.CreateKey(parent, path, &key), ERROR_SUCCESS) << path;
        return key;
    }
    bool Exists(HKEY parent, const std::string& path) {
        HKEY key{};
        const LONG status = m_registry.OpenKey(parent, path, &key);
        if (status == ERROR_SUCCESS) {
            m_registry.CloseKey(key);
        }
        return status == ERROR_SUCCESS;
    }

    TemporaryRoot m_root;
    Registry m_registry{m_root.Path()};
};

}  // namespace fybootp::registry::testing
