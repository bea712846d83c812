#include "tests/platform/fuzz/typelib_fuzz_entry.h"

#include <algorithm>
#include <string_view>

#include "platform/com/com_ptr.h"
#include "platform/com/load_type_lib.h"
#include "platform/com/type_library_text.h"

namespace fybootp::fuzz {
namespace {

std::string Status(const char* what, HRESULT hr) {
    return std::string(what) + " returned " + std::to_string(hr);
}

std::string Describe(const TypeLibraryTextError& error) {
    return "line " + std::to_string(error.line) + ": " + error.message;
}

// Lines as the reader counts them: a final line without a newline counts,
// and so does the empty one after a final newline.
std::size_t LineCount(std::string_view text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
}

// The text up to the end of line `line` (1-based), without its newline.
std::string_view ThroughLine(std::string_view text, std::size_t line) {
    std::size_t end = 0;
    for (std::size_t i = 0; i < line; ++i) {
        end = text.find('\n', i == 0 ? 0 : end + 1);
        if (end == std::string_view::npos) return text;
    }
    return text.substr(0, end);
}

// The loaded library serves every type with the members the text gave it.
std::string CheckLoaded(std::string_view text, const TypeLibraryDesc& library) {
    ComPtr<ITypeLib> loaded;
    TypeLibraryTextError error;
    if (const HRESULT hr = LoadTypeLibFromText(text, loaded.Receive(), &error); hr != S_OK) {
        return Status("loading text that parses", hr) + " (" + Describe(error) + ")";
    }
    if (!loaded) return "loading gave no library";
    if (loaded->GetTypeInfoCount() != library.types.size()) {
        return "the loaded library has " + std::to_string(loaded->GetTypeInfoCount()) +
               " types, the text " + std::to_string(library.types.size());
    }
    for (std::size_t i = 0; i < library.types.size(); ++i) {
        const TypeDesc& type = library.types[i];
        const auto index = static_cast<UINT>(i);
        ComPtr<ITypeInfo> info;
        if (const HRESULT hr = loaded->GetTypeInfo(index, info.Receive()); hr != S_OK) {
            return Status("GetTypeInfo", hr) + " for type " + std::to_string(i);
        }
        const TypeDesc* attr = nullptr;
        if (const HRESULT hr = info->GetTypeAttr(&attr); hr != S_OK) {
            return Status("GetTypeAttr", hr);
        }
        if (attr->kind != type.kind || attr->name != type.name || attr->guid != type.guid) {
            return "type " + std::to_string(i) + " is not '" + type.name + "' once loaded";
        }
        if (attr->members.size() != type.members.size()) {
            return "'" + type.name + "' has " + std::to_string(attr->members.size()) +
                   " members once loaded, " + std::to_string(type.members.size()) + " in the text";
        }
        const auto count = static_cast<UINT>(type.members.size());
        const MemberDesc* member = nullptr;
        if (count > 0 && info->GetFuncDesc(count - 1, &member) != S_OK) {
            return "'" + type.name + "' does not serve its last member";
        }
        if (info->GetFuncDesc(count, &member) != TYPE_E_ELEMENTNOTFOUND) {
            return "'" + type.name + "' serves a member past its last";
        }
    }
    return {};
}

// Accepted text: the library obeys the rules, its canonical text reads back
// as the same library and is a fixed point of writing, and it loads.
std::string CheckAccepted(std::string_view text, const TypeLibraryDesc& library) {
    if (const RuleViolation violation = ValidateTypeLibrary(library)) {
        return "the text was accepted, but the library breaks a rule: " + *violation;
    }
    const std::string written = WriteTypeLibraryText(library);
    TypeLibraryDesc again;
    TypeLibraryTextError error;
    if (const HRESULT hr = ParseTypeLibraryText(written, &again, &error); hr != S_OK) {
        return Status("reading the written text", hr) + " (" + Describe(error) + ")";
    }
    if (!(again == library)) return "the written text reads back as a different library";
    if (WriteTypeLibraryText(again) != written) return "writing is not canonical";
    return CheckLoaded(text, library);
}

// Refused text: the error names a line the text has, loading refuses it
// the same way, and the text cut after that line is refused for the same
// reason, since nothing after the line named can have caused it.
std::string CheckRefused(std::string_view text, const TypeLibraryTextError& error) {
    if (error.message.empty())
        return "an error without a reason at line " + std::to_string(error.line);
    if (error.line > LineCount(text)) {
        return "an error at line " + std::to_string(error.line) + " of a text of " +
               std::to_string(LineCount(text)) + " lines";
    }
    ComPtr<ITypeLib> loaded;
    TypeLibraryTextError loadError;
    if (const HRESULT hr = LoadTypeLibFromText(text, loaded.Receive(), &loadError);
        hr != TYPE_E_UNSUPFORMAT) {
        return Status("loading text that does not parse", hr);
    }
    if (loaded) return "a refused load handed out a library";
    if (loadError.line != error.line || loadError.message != error.message) {
        return "loading refused it with " + Describe(loadError) + ", parsing with " +
               Describe(error);
    }
    if (error.line == 0) return {};
    TypeLibraryDesc library;
    TypeLibraryTextError cutError;
    const std::string_view cut = ThroughLine(text, error.line);
    if (ParseTypeLibraryText(cut, &library, &cutError) != TYPE_E_UNSUPFORMAT) {
        return "the text through line " + std::to_string(error.line) + " parses, yet " +
               Describe(error);
    }
    if (cutError.line != error.line || cutError.message != error.message) {
        return "the text through line " + std::to_string(error.line) + " gives " +
               Describe(cutError) + ", the whole text " + Describe(error);
    }
    return {};
}

}  // namespace

std::string RunTypeLibraryInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    TypeLibraryDesc library;
    TypeLibraryTextError error;
    const HRESULT hr = ParseTypeLibraryText(text, &library, &error);
    if (hr == S_OK) return CheckAccepted(text, library);
    if (hr != TYPE_E_UNSUPFORMAT) return Status("parsing", hr);
    return CheckRefused(text, error);
}

}  // namespace fybootp::fuzz
