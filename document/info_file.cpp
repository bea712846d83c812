#include "document/info_file.h"

#include <sys/stat.h>

#include <libxml/xmlsave.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "document/dom_error.h"
#include "document/limits.h"
#include "document/xml_memory.h"
#include "document/xml_text.h"
#include "platform/fs/atomic_file.h"

namespace fybootp {
namespace {

struct TextSink {
    std::string text;
    bool failed = false;
};

// libxml2 calls this from C: nothing may be thrown through it.
int AppendToSink(void* context, const char* buffer, int length) {
    auto* sink = static_cast<TextSink*>(context);
    try {
        sink->text.append(buffer, static_cast<std::size_t>(length));
        return length;
    } catch (const std::bad_alloc&) {
        sink->failed = true;
        return -1;
    }
}

bool HasDeclaration(const xmlDoc* document) {
    // libxml2 marks a document that had no XML declaration with -1.
    return document->standalone != -1;
}

std::string Serialize(xmlDoc* document, const char* encoding) {
    xml::PrepareLibxml();
    TextSink sink;
    const int options = HasDeclaration(document) ? 0 : XML_SAVE_NO_DECL;
    // A document that lost part of itself to a failed allocation is never
    // written out, nor one whose writing lost part of it.
    xml::CheckIntact(document);
    xmlSaveCtxtPtr save = xmlSaveToIO(AppendToSink, nullptr, &sink, encoding, options);
    if (save == nullptr) throw DomError(E_FAIL);
    const long written = xmlSaveDoc(save, document);
    const int closed = xmlSaveClose(save);
    if (sink.failed) throw DomError(E_OUTOFMEMORY);
    xml::CheckIntact(document);
    CheckSucceeded(written, E_FAIL);
    CheckSucceeded(closed, E_FAIL);
    return std::move(sink.text);
}

bool AdoptIfLoaded(Document& document, Document parsed) {
    if (parsed == nullptr) return false;
    document = std::move(parsed);
    return true;
}

// ERROR_BAD_FILE_TYPE: a FIFO, device or socket where the file should be.
// It is neither read nor replaced: following it could block, and replacing
// what a link points to could replace a device node of the system.
constexpr HRESULT kNotARegularFile = HresultFromWin32(222);

// A link that someone other than root or the folder's owner planted could
// aim the server's writes at any file it may write; it is refused, and the
// journal says whose it is.
bool ReportForeignLink(InfoFileAccess& access, int error) {
    struct stat link {};
    if (error != EACCES || access.Files().Lstat(kInfoFileName, &link) != 0 ||
        !S_ISLNK(link.st_mode)) {
        return false;
    }
    access.Events().Write(journal::Priority::kError,
                          std::string(kInfoFileName) + " is a symbolic link owned by uid " +
                              std::to_string(link.st_uid) +
                              ", neither root nor the owner of its folder; it was not followed");
    return true;
}

[[noreturn]] void RaiseReadError(InfoFileAccess& access, int error) {
    const bool irregular = error == EINVAL;
    if (ReportForeignLink(access, error)) throw DomError(HresultFromErrno(error));
    access.Events().Write(journal::Priority::kError,
                          std::string(kInfoFileName) + " could not be read (" +
                              (irregular ? "not a regular file" : std::strerror(error)) +
                              "); it was left as it is");
    throw DomError(irregular ? kNotARegularFile : HresultFromErrno(error));
}

[[noreturn]] void RefuseAfterUnreadStart(InfoFileAccess& access, HRESULT status) {
    access.Events().Write(journal::Priority::kError,
                          std::string(kInfoFileName) +
                              " could not be read when the server started, so the table and "
                              "identity in memory are not the file's; the change was not "
                              "saved. Start the server again once the file can be read.");
    throw DomError(status);
}

}  // namespace

bool LoadXmlText(Document& document, std::string_view text) {
    CheckRequired(document.get());
    return AdoptIfLoaded(document, xml::ParseUntrusted(text, xml::Origin::kClientText));
}

bool XmlTextLoads(std::string_view text) {
    return xml::ParseUntrusted(text, xml::Origin::kClientText, nullptr, [](xmlNode* element) {
               return element->parent != nullptr && element->parent->type != XML_DOCUMENT_NODE;
           }) != nullptr;
}

InfoFileLoad LoadInfoFile(Document& document, InfoFileAccess& access,
                          const xml::ElementEnd& onEnd) {
    CheckRequired(document.get());
    InfoFileLoad load;
    const int error =
        fs::ReadWholeFile(kInfoFileName, load.bytes, kInfoFileReadBytes, access.Files());
    if (error == ENOENT) {
        // The file that could not be read is gone: nothing is left to lose.
        access.SetStartupReadStatus(S_OK);
        return load;
    }
    if (error != 0) RaiseReadError(access, error);
    if (const HRESULT unread = access.StartupReadStatus(); Failed(unread)) {
        RefuseAfterUnreadStart(access, unread);
    }
    xml::Refusal refusal = xml::Refusal::kNone;
    if (AdoptIfLoaded(document,
                      xml::ParseUntrusted(load.bytes, xml::Origin::kInfoFile, &refusal, onEnd))) {
        load.outcome = InfoFileLoad::Outcome::kLoaded;
        load.bytes.clear();
        load.bytes.shrink_to_fit();
        return load;
    }
    load.outcome = InfoFileLoad::Outcome::kUnloadable;
    load.reason = xml::RefusalText(refusal);
    return load;
}

void SaveInfoFile(const Document& document, InfoFileAccess& access) {
    xmlDoc* doc = CheckRequired(document.get());
    const std::string bytes = Serialize(doc, xml::CharsOf(doc->encoding));
    if (const int error = fs::ReplaceFileAtomically(kInfoFileName, bytes, access.Files())) {
        if (ReportForeignLink(access, error)) throw DomError(HresultFromErrno(error));
        access.Events().Write(journal::Priority::kError,
                              std::string(kInfoFileName) + " could not be written (" +
                                  std::strerror(error) + "); the old file stays");
        throw DomError(HresultFromErrno(error));
    }
}

std::string DocumentText(const Document& document) {
    return Serialize(CheckRequired(document.get()), "UTF-8");
}

}  // namespace fybootp
