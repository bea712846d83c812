#include "platform/storage/compound_file.h"

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-memory.h>
#include <gsf/gsf-utils.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/storage/storage.h"

namespace fybootp::storage {
namespace {

// A project file far beyond this is not one we wrote.
constexpr std::size_t kMaxFileBytes = std::size_t{256} << 20;

void InitLibrary() {
    static const bool done = [] {
        gsf_init();
        return true;
    }();
    static_cast<void>(done);
}

HRESULT ReadAll(int fd, std::string* bytes) {
    if (::lseek(fd, 0, SEEK_SET) < 0) return STG_E_ACCESSDENIED;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return STG_E_ACCESSDENIED;
        if (got == 0) return S_OK;
        bytes->append(buffer, static_cast<std::size_t>(got));
        if (bytes->size() > kMaxFileBytes) return STG_E_FILEALREADYEXISTS;
    }
}

bool ReadChildren(GsfInfile* storage, Element* into, int depth) {
    if (depth > 64) return false;
    const int count = gsf_infile_num_children(storage);
    for (int i = 0; i < count; ++i) {
        const char* name = gsf_infile_name_by_index(storage, i);
        GsfInput* child = gsf_infile_child_by_index(storage, i);
        if (name == nullptr || child == nullptr) return false;
        auto element = std::make_shared<Element>();
        bool ok = true;
        if (GSF_IS_INFILE(child) && gsf_infile_num_children(GSF_INFILE(child)) >= 0) {
            element->isStorage = true;
            guint8 clsid[16];
            if (gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(child), clsid)) {
                std::memcpy(&element->clsid, clsid, sizeof(clsid));
            }
            ok = ReadChildren(GSF_INFILE(child), element.get(), depth + 1);
        } else {
            const auto size = static_cast<std::size_t>(gsf_input_size(child));
            element->data.resize(size);
            ok = size == 0 ||
                 gsf_input_read(child, size, reinterpret_cast<guint8*>(element->data.data())) !=
                     nullptr;
        }
        g_object_unref(child);
        if (!ok) return false;
        into->children[name] = std::move(element);
    }
    return true;
}

bool WriteChildren(GsfOutfile* storage, const Element& from) {
    for (const auto& [name, element] : from.children) {
        GsfOutput* child = gsf_outfile_new_child(storage, name.c_str(), element->isStorage);
        if (child == nullptr) return false;
        bool ok = true;
        if (element->isStorage) {
            guint8 clsid[16];
            std::memcpy(clsid, &element->clsid, sizeof(clsid));
            gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(child), clsid);
            ok = WriteChildren(GSF_OUTFILE(child), *element);
        } else if (!element->data.empty()) {
            ok = gsf_output_write(child, element->data.size(),
                                  reinterpret_cast<const guint8*>(element->data.data()));
        }
        ok = gsf_output_close(child) && ok;
        g_object_unref(child);
        if (!ok) return false;
    }
    return true;
}

}  // namespace

HRESULT ReadCompoundFile(int fd, Element* root) {
    InitLibrary();
    std::string bytes;
    if (const HRESULT hr = ReadAll(fd, &bytes); Failed(hr)) return hr;
    GsfInput* input = gsf_input_memory_new(reinterpret_cast<const guint8*>(bytes.data()),
                                           static_cast<gsf_off_t>(bytes.size()), FALSE);
    if (input == nullptr) return STG_E_FILEALREADYEXISTS;
    GError* error = nullptr;
    GsfInfile* file = gsf_infile_msole_new(input, &error);
    g_object_unref(input);
    if (error != nullptr) g_error_free(error);
    if (file == nullptr) return STG_E_FILEALREADYEXISTS;
    *root = Element{};
    root->isStorage = true;
    guint8 clsid[16];
    if (gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(file), clsid)) {
        std::memcpy(&root->clsid, clsid, sizeof(clsid));
    }
    const bool ok = ReadChildren(file, root, 0);
    g_object_unref(file);
    return ok ? S_OK : STG_E_FILEALREADYEXISTS;
}

HRESULT SerializeCompoundFile(const Element& root, std::string* bytes) {
    InitLibrary();
    GsfOutput* output = gsf_output_memory_new();
    if (output == nullptr) return E_OUTOFMEMORY;
    GsfOutfile* file = gsf_outfile_msole_new(output);
    bool ok = file != nullptr;
    if (ok) {
        guint8 clsid[16];
        std::memcpy(clsid, &root.clsid, sizeof(clsid));
        gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(file), clsid);
        ok = WriteChildren(file, root);
        ok = gsf_output_close(GSF_OUTPUT(file)) && ok;
        g_object_unref(file);
    }
    ok = (gsf_output_is_closed(output) || gsf_output_close(output)) && ok;
    if (ok) {
        const guint8* data = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(output));
        const auto size = static_cast<std::size_t>(gsf_output_size(output));
        ok = data != nullptr || size == 0;
        if (ok) bytes->assign(reinterpret_cast<const char*>(data), size);
    }
    g_object_unref(output);
    return ok ? S_OK : E_OUTOFMEMORY;
}

}  // namespace fybootp::storage
