// Compound files in process: what a storage keeps across a close and an
// open, the modes and statuses of opening and creating, and the exclusion
// of a second holder.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/storage/storage.h"

namespace fybootp {
namespace {

constexpr DWORD kMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr GUID kClass = GuidLiteral("{8177E4D6-67CB-4CB7-9926-2F61CFD4B035}");

class StorageFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fyb-stg-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_path = m_dir + "/project.fyp";
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string Bytes() {
        std::ifstream file(m_path, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    std::string m_dir;
    std::string m_path;
};

using StorageKeeps = StorageFile;

TEST_F(StorageKeeps, StreamsSubStoragesAndClassesAcrossReopening) {
    IStorage* root = nullptr;
    ASSERT_EQ(StgCreateDocfile(m_path, kMode, 0, &root), S_OK);
    IStorage* entry = nullptr;
    ASSERT_EQ(root->CreateStorage("FyBootp", kMode, &entry), S_OK);
    EXPECT_EQ(entry->SetClass(kClass), S_OK);
    IStream* stream = nullptr;
    ASSERT_EQ(entry->CreateStream("Text", kMode, &stream), S_OK);
    EXPECT_EQ(stream->Write("hello", 5, nullptr), S_OK);
    stream->Release();
    entry->Release();
    root->Release();  // the last reference writes the file

    ASSERT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &root), S_OK);
    ASSERT_EQ(root->OpenStorage("FyBootp", kMode, &entry), S_OK);
    GUID clsid{};
    EXPECT_EQ(entry->GetClass(&clsid), S_OK);
    EXPECT_EQ(clsid, kClass);
    ASSERT_EQ(entry->OpenStream("Text", kMode, &stream), S_OK);
    char text[16] = {};
    ULONG read = 0;
    EXPECT_EQ(stream->Read(text, sizeof(text), &read), S_OK);
    EXPECT_EQ(std::string(text, read), "hello");
    stream->Release();
    IStorage* notAStorage = nullptr;
    EXPECT_EQ(entry->OpenStorage("Text", kMode, &notAStorage), STG_E_FILENOTFOUND);
    entry->Release();
    EXPECT_EQ(root->DestroyElement("FyBootp"), S_OK);
    EXPECT_EQ(root->DestroyElement("FyBootp"), STG_E_FILENOTFOUND);
    root->Release();
    ASSERT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &root), S_OK);
    EXPECT_EQ(root->OpenStorage("FyBootp", kMode, &entry), STG_E_FILENOTFOUND);
    root->Release();
}

TEST_F(StorageKeeps, NothingUnchangedIsRewritten) {
    IStorage* root = nullptr;
    ASSERT_EQ(StgCreateDocfile(m_path, kMode, 0, &root), S_OK);
    root->Release();
    const auto inode = std::filesystem::status(m_path).permissions();
    const std::string before = Bytes();
    ASSERT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &root), S_OK);
    root->Release();
    EXPECT_EQ(Bytes(), before);
    EXPECT_EQ(std::filesystem::status(m_path).permissions(), inode);
}

using StorageStatuses = StorageFile;

TEST_F(StorageStatuses, OpenAndCreateAnswerAsProjectRegistrationExpects) {
    IStorage* root = nullptr;
    EXPECT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &root), STG_E_FILENOTFOUND);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(StgOpenStorage(m_path, nullptr, 0x2, nullptr, 0, &root), STG_E_INVALIDFLAG);
    std::ofstream(m_path) << "plain text";
    EXPECT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &root), STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(StgCreateDocfile(m_path, kMode, 0, &root), STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(Bytes(), "plain text");
    std::filesystem::remove(m_path);
    EXPECT_EQ(StgCreateDocfile(m_dir + "/missing/p.fyp", kMode, 0, &root), STG_E_PATHNOTFOUND);
}

TEST_F(StorageStatuses, SecondHolderIsRefusedUntilTheFirstLetsGo) {
    IStorage* first = nullptr;
    ASSERT_EQ(StgCreateDocfile(m_path, kMode, 0, &first), S_OK);
    IStorage* second = nullptr;
    EXPECT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &second), STG_E_SHAREVIOLATION);
    // A commit puts a new file in place; the holder keeps it.
    EXPECT_EQ(first->Commit(), S_OK);
    EXPECT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &second), STG_E_SHAREVIOLATION);
    first->Release();
    ASSERT_EQ(StgOpenStorage(m_path, nullptr, kMode, nullptr, 0, &second), S_OK);
    second->Release();
}

TEST_F(StorageStatuses, NamesAndModesOfElementsAreChecked) {
    IStorage* root = nullptr;
    ASSERT_EQ(StgCreateDocfile(m_path, kMode, 0, &root), S_OK);
    IStream* stream = nullptr;
    EXPECT_EQ(root->CreateStream(std::string(32, 'n'), kMode, &stream), STG_E_INVALIDNAME);
    EXPECT_EQ(root->CreateStream("a/b", kMode, &stream), STG_E_INVALIDNAME);
    EXPECT_EQ(root->CreateStream("", kMode, &stream), STG_E_INVALIDNAME);
    EXPECT_EQ(root->CreateStream("s", 0x0, &stream), STG_E_INVALIDFLAG);
    ASSERT_EQ(root->CreateStream("s", kMode, &stream), S_OK);
    stream->Release();
    EXPECT_EQ(root->CreateStream("s", kMode, &stream), STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(root->CreateStream("s", kMode | STGM_CREATE, &stream), S_OK);
    stream->Release();
    EXPECT_EQ(root->CreateStream("s", kMode, nullptr), STG_E_INVALIDPOINTER);
    root->Release();
}

}  // namespace
}  // namespace fybootp
