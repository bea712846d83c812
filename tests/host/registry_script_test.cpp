// Registry scripts in process: reading the text, the replacements, the two
// directions against a scratch registry, and the paths registration makes.

#include "host/registration/registry_script.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "host/registration/project_registration.h"
#include "host/registration/registration.h"
#include "host/registration/script_resource.h"
#include "host/registration/service_control.h"
#include "host/registration/system_files.h"

namespace fybootp::host {
namespace {

using registry::ERROR_SUCCESS;
using registry::HKEY_CLASSES_ROOT;

class ScratchRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fyb-rgs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_registry = std::make_unique<registry::Registry>(m_dir);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    HRESULT Apply(const std::string& text, bool doRegister) {
        RegistryScript script;
        const HRESULT hr = ReadRegistryScript(text, &script);
        if (Failed(hr)) return hr;
        return doRegister ? RegisterScript(*m_registry, script)
                          : UnregisterScript(*m_registry, script);
    }
    bool Exists(const std::string& path) {
        registry::HKEY key{};
        if (m_registry->OpenKey(HKEY_CLASSES_ROOT, path, &key) != ERROR_SUCCESS) return false;
        m_registry->CloseKey(key);
        return true;
    }
    std::string Value(const std::string& path, const std::string& name = "") {
        registry::HKEY key{};
        std::string text = "<absent>";
        if (m_registry->OpenKey(HKEY_CLASSES_ROOT, path, &key) != ERROR_SUCCESS) return text;
        m_registry->QueryString(key, name, &text);
        m_registry->CloseKey(key);
        return text;
    }
    void Create(const std::string& path) {
        registry::HKEY key{};
        ASSERT_EQ(m_registry->CreateKey(HKEY_CLASSES_ROOT, path, &key), ERROR_SUCCESS);
        m_registry->CloseKey(key);
    }

    std::string m_dir;
    std::unique_ptr<registry::Registry> m_registry;
};

using ScriptReading = ScratchRegistry;

TEST_F(ScriptReading, QuotedAndBareNamesKeywordsInAnyCase) {
    RegistryScript script;
    ASSERT_EQ(ReadRegistryScript("hkcr {\r\n\tnoremove 'A b'\r\n\t{\r\n\t\tFORCEREMOVE "
                                 "{X} = S 'it''s'\r\n\t\t{ VAL Name = s bare }\r\n\t}\r\n}\r\n",
                                 &script),
              S_OK);
    ASSERT_EQ(script.size(), 1u);
    const ScriptKey& top = script[0].keys.at(0);
    EXPECT_EQ(top.name, "A b");
    EXPECT_TRUE(top.noRemove);
    const ScriptKey& inner = top.subkeys.at(0);
    EXPECT_EQ(inner.name, "{X}");
    EXPECT_TRUE(inner.forceRemove);
    EXPECT_EQ(inner.defaultValue, "it's");
    ASSERT_EQ(inner.values.size(), 1u);
    EXPECT_EQ(inner.values[0].name, "Name");
    EXPECT_EQ(inner.values[0].text, "bare");
}

TEST_F(ScriptReading, BrokenTextIsAnExceptionWithItsLine) {
    RegistryScript script;
    int line = 0;
    for (const char* text :
         {"HKCR { A = s 'open }", "HKCR { A = d 1 }", "HKCR { A", "HKXX { }", "HKCR { A = s }",
          "HKCR { val x = s y }", "HKCR { 'a\\b' }", "HKCR { A } }", "HKCR { '' }"}) {
        EXPECT_EQ(ReadRegistryScript(text, &script), DISP_E_EXCEPTION) << text;
    }
    EXPECT_EQ(ReadRegistryScript("HKCR\n{\n\tA = x 'y'\n}\n", &script, &line), DISP_E_EXCEPTION);
    EXPECT_EQ(line, 3);
}

TEST_F(ScriptReading, BuiltInScriptsRead) {
    for (const int id : {kAppIdScriptId, kClassScriptId}) {
        std::string text;
        ASSERT_EQ(LoadRegistryScriptResource("/proc/self/exe", id, &text), S_OK);
        std::string expanded;
        ASSERT_EQ(ExpandReplacements(text, {{"Module", "/m"}}, &expanded), S_OK);
        RegistryScript script;
        EXPECT_EQ(ReadRegistryScript(expanded, &script), S_OK) << expanded;
    }
    std::string none;
    EXPECT_EQ(LoadRegistryScriptResource("/proc/self/exe", 102, &none),
              HresultFromWin32(kErrorResourceNameNotFound));
}

TEST(ScriptReplacements, NamesPercentSignsAndLimits) {
    std::string out;
    const Replacements table{
        {"Module", "/a/o''b"}, {std::string(31, 'N'), "x"}, {std::string(32, 'L'), "y"}};
    EXPECT_EQ(ExpandReplacements("'%MODULE%' 100%% %module%", table, &out), S_OK);
    EXPECT_EQ(out, "'/a/o''b' 100% /a/o''b");
    EXPECT_EQ(ExpandReplacements("%" + std::string(31, 'n') + "%", table, &out), S_OK);
    EXPECT_EQ(ExpandReplacements("%" + std::string(32, 'L') + "%", table, &out), DISP_E_EXCEPTION);
    EXPECT_EQ(ExpandReplacements("%OTHER%", table, &out), DISP_E_EXCEPTION);
    EXPECT_EQ(ExpandReplacements("50% off", table, &out), DISP_E_EXCEPTION);
}

using ScriptApplying = ScratchRegistry;

TEST_F(ScriptApplying, ForceRemoveReplacesTheKeyWholeButNeverClsid) {
    Create("CLSID\\{C}\\Foreign");
    Create("CLSID\\Other");
    const std::string text =
        "HKCR { ForceRemove CLSID { ForceRemove {C} = s 'c' { ForceRemove P } } }";
    ASSERT_EQ(Apply(text, true), S_OK);
    EXPECT_FALSE(Exists("CLSID\\{C}\\Foreign"));
    EXPECT_TRUE(Exists("CLSID\\{C}\\P"));
    EXPECT_TRUE(Exists("CLSID\\Other"));
    EXPECT_EQ(Value("CLSID\\{C}"), "c");
}

TEST_F(ScriptApplying, UnregisterGoesDepthFirstAndKeepsForeignSubkeys) {
    const std::string text =
        "HKCR { NoRemove Root { Mine { val V = s 'v' Leaf = s 'l' } Gone { Deep } } }";
    ASSERT_EQ(Apply(text, true), S_OK);
    Create("Root\\Mine\\Foreign");
    ASSERT_EQ(Apply(text, false), S_OK);
    EXPECT_TRUE(Exists("Root\\Mine\\Foreign"));
    EXPECT_FALSE(Exists("Root\\Mine\\Leaf"));
    EXPECT_EQ(Value("Root\\Mine", "V"), "<absent>");
    EXPECT_FALSE(Exists("Root\\Gone"));
    EXPECT_TRUE(Exists("Root"));  // NoRemove
    // A second removal finds nothing to do and still succeeds.
    EXPECT_EQ(Apply(text, false), S_OK);
}

TEST_F(ScriptApplying, FailurePartWayTakesBackWhatItMade) {
    const std::string tooLong(300, 'k');
    EXPECT_TRUE(Failed(Apply("HKCR { First = s 'f' { Sub } Second { '" + tooLong + "' } }", true)));
    EXPECT_FALSE(Exists("First"));
    EXPECT_FALSE(Exists("Second"));
}

TEST(RegistrationPaths, TypeLibFileCutsAtTheNameOnly) {
    EXPECT_EQ(TypeLibFileBeside("/opt/x.y/fybootp"), "/opt/x.y/fybootp.tlb");
    EXPECT_EQ(TypeLibFileBeside("/opt/x/fybootp.exe"), "/opt/x/fybootp.tlb");
    EXPECT_EQ(TypeLibFileBeside("/opt/x/a.b.c"), "/opt/x/a.b.tlb");
    EXPECT_EQ(HelpDirectoryOf("/opt/x/fybootp.tlb"), "/opt/x/");
    EXPECT_EQ(HelpDirectoryOf("fybootp.tlb"), "");
}

TEST(RegistrationPaths, ExecWordsAreQuotedForTheirFiles) {
    EXPECT_EQ(QuoteExecWord("/usr/sbin/fybootp"), "/usr/sbin/fybootp");
    EXPECT_EQ(QuoteExecWord("/opt/o'b c/fy"), "'/opt/o'\\''b c/fy'");
    EXPECT_EQ(QuoteUnitWord("/opt/a \"b\"%$\\"), "\"/opt/a \\\"b\\\"%%$$\\\\\"");
    const std::string activation =
        ActivationFileText("/o p/fybootp", "/var/lib/fybootp/server", "fybootp-local.service");
    EXPECT_NE(activation.find("\nExec=/usr/bin/env --chdir=/var/lib/fybootp/server '/o p/fybootp' "
                              "-Embedding\nUser=root\nSystemdService=fybootp-local.service\n"),
              std::string::npos)
        << activation;
}

TEST(ProjectEntryArguments, AllZeroClassIsRefusedBeforeTheRegistryIsRead) {
    setenv("FYBOOTP_REGISTRY_ROOT", "/nonexistent/fybootp-registry", 1);
    ServiceHost host;
    EXPECT_EQ(UpdateProjectEntry(host, true, IID_NULL), E_INVALIDARG);
    // Removal needs no class: the missing product key answers.
    EXPECT_EQ(UpdateProjectEntry(host, false, IID_NULL), 2);
    unsetenv("FYBOOTP_REGISTRY_ROOT");
}

}  // namespace
}  // namespace fybootp::host
