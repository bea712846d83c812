#pragma once
// Loading documents from client texts and from the info file, and writing
// them out: to the file, or as text for a client.

#include <string>
#include <string_view>

#include "document/dom_routines.h"
#include "document/info_file_access.h"

namespace fybootp {

// Used without a directory: it resolves against the current working
// directory at the moment of each load and save.
inline constexpr char kInfoFileName[] = "FyBootpInfo.xml";

// Parses a client text into document, replacing its content. False, with
// document unchanged, when the text does not load (xml_parse.h says when).
bool LoadXmlText(Document& document, std::string_view text);

// Whether a client text loads as LoadXmlText would load it, without
// keeping its tree: every element below the root is freed as it ends, so a
// text of megabytes (a whole log put back to clear it) costs little more
// than its bytes.
bool XmlTextLoads(std::string_view text);

// What became of an attempt to load FyBootpInfo.xml. Only a file that is
// absent counts as no file: any other error of the read is raised.
struct InfoFileLoad {
    enum class Outcome { kLoaded, kAbsent, kUnloadable };
    Outcome outcome = Outcome::kAbsent;
    // A file that was read but did not load: why, and its bytes, so that a
    // copy can be kept before a new file replaces it.
    std::string reason;
    std::string bytes;

    explicit operator bool() const { return outcome == Outcome::kLoaded; }
};

// As LoadXmlText for the content of FyBootpInfo.xml. A read that fails for
// any reason but absence (no permission, an I/O error, no descriptor left,
// a directory, FIFO or device of that name, a file too large to read) is
// written to the event log and raised as DomError with its status, so that
// no operation goes on to replace a file it could not read. While the start-up
// load could not read the file (InfoFileAccess::StartupReadStatus), a file
// that exists is refused the same way; an absent one ends that state.
// With onEnd, each element is shown to it as it ends and those it is done
// with are left out of the document (xml::ElementEnd); what it raises is
// raised again.
InfoFileLoad LoadInfoFile(Document& document, InfoFileAccess& access = DefaultInfoFileAccess(),
                          const xml::ElementEnd& onEnd = {});

// Writes document to FyBootpInfo.xml, replacing it crash-safely (through a
// symbolic link, its final target). A loaded document is written in the
// encoding its declaration names, and without a declaration when it had
// none; a built one in UTF-8 with its declaration. Raises DomError when the
// file cannot be written; the old file then stays.
void SaveInfoFile(const Document& document, InfoFileAccess& access = DefaultInfoFileAccess());

// Before a new document replaces a file that did not load: keeps that file
// beside it as FyBootpInfo.xml.unloadable-<UTC time>, the newest
// kKeptUnloadableFiles of them, and writes the copy's name and the reason to
// the event log. Nothing for an absent or loaded file. Raises DomError when
// no copy can be made, so that the file is not replaced.
void KeepUnloadableFile(const InfoFileLoad& load, InfoFileAccess& access = DefaultInfoFileAccess());
inline constexpr std::size_t kKeptUnloadableFiles = 5;
inline constexpr char kUnloadablePrefix[] = "FyBootpInfo.xml.unloadable-";

// The serialised document as UTF-8 text, with its declaration.
std::string DocumentText(const Document& document);

}  // namespace fybootp
