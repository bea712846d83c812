#pragma once
// Structured storage: compound files (the same on-disk format as on the
// platform the project files come from, so they move between machines),
// read and written through libgsf. The whole tree is read when a file is
// opened and written back by Commit and at the latest when the last
// reference to the root storage goes. Only direct, exclusive, read-write
// access is offered (STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0x12), which is
// what project files are opened with; the exclusion holds across processes
// (flock), and without a gap while a commit puts the new file in place.
//
// Every write is the file layer's crash-safe replacement (fs::PendingFile):
// a temporary file with an unguessable name beside the file, synced and
// renamed over it. The file keeps its owner, group and mode, and a path
// that is a symbolic link keeps being one: the file it points to is
// written (a link that neither root nor the folder's owner owns is not
// followed: STG_E_ACCESSDENIED). A write that fails leaves the file as it
// was, and reaches the caller of Commit; a release cannot report it.

#include <cstdint>
#include <string>

#include "platform/com/unknown.h"

namespace fybootp {

constexpr DWORD STGM_READWRITE = 0x2;
constexpr DWORD STGM_SHARE_EXCLUSIVE = 0x10;
constexpr DWORD STGM_CREATE = 0x1000;

constexpr HRESULT STG_E_INVALIDFUNCTION = MakeHresult(0x80030001u);
constexpr HRESULT STG_E_PATHNOTFOUND = MakeHresult(0x80030003u);
constexpr HRESULT STG_E_ACCESSDENIED = MakeHresult(0x80030005u);
constexpr HRESULT STG_E_INVALIDPOINTER = MakeHresult(0x80030009u);
constexpr HRESULT STG_E_WRITEFAULT = MakeHresult(0x8003001Du);
constexpr HRESULT STG_E_SHAREVIOLATION = MakeHresult(0x80030020u);
constexpr HRESULT STG_E_MEDIUMFULL = MakeHresult(0x80030070u);
constexpr HRESULT STG_E_FILEALREADYEXISTS = MakeHresult(0x80030050u);
constexpr HRESULT STG_E_INVALIDNAME = MakeHresult(0x800300FCu);
constexpr HRESULT STG_E_INVALIDFLAG = MakeHresult(0x800300FFu);

inline constexpr IID IID_IStream = GuidLiteral("{0000000C-0000-0000-C000-000000000046}");
inline constexpr IID IID_IStorage = GuidLiteral("{0000000B-0000-0000-C000-000000000046}");

constexpr DWORD STREAM_SEEK_SET = 0;
constexpr DWORD STREAM_SEEK_CUR = 1;
constexpr DWORD STREAM_SEEK_END = 2;

class IStream : public IUnknown {
public:
    virtual HRESULT Read(void* buffer, ULONG size, ULONG* read) = 0;
    virtual HRESULT Write(const void* buffer, ULONG size, ULONG* written) = 0;
    virtual HRESULT Seek(std::int64_t move, DWORD origin, std::uint64_t* position) = 0;
    virtual HRESULT SetSize(std::uint64_t size) = 0;
    // The stream's size in bytes.
    virtual HRESULT Size(std::uint64_t* size) = 0;
};

class IStorage : public IUnknown {
public:
    // Names: 1 to 31 characters, none of '/', '\\', ':', '!'.
    // STG_E_FILEALREADYEXISTS when the name is taken (without STGM_CREATE),
    // STG_E_FILENOTFOUND when it is not there to open.
    virtual HRESULT CreateStream(const std::string& name, DWORD mode, IStream** stream) = 0;
    virtual HRESULT OpenStream(const std::string& name, DWORD mode, IStream** stream) = 0;
    virtual HRESULT CreateStorage(const std::string& name, DWORD mode, IStorage** storage) = 0;
    virtual HRESULT OpenStorage(const std::string& name, DWORD mode, IStorage** storage) = 0;
    virtual HRESULT DestroyElement(const std::string& name) = 0;
    virtual HRESULT SetClass(const GUID& clsid) = 0;
    virtual HRESULT GetClass(GUID* clsid) = 0;
    // Writes the whole file now (a direct-mode storage writes it on its
    // last release as well, without a status). STG_E_MEDIUMFULL when the
    // disk is full, STG_E_ACCESSDENIED when the folder may not be written,
    // STG_E_PATHNOTFOUND when it is gone, STG_E_WRITEFAULT otherwise; the
    // file is then unchanged.
    virtual HRESULT Commit() = 0;
};

// mode must be 0x12. STG_E_FILENOTFOUND for a missing file,
// STG_E_FILEALREADYEXISTS for one that is not a compound file,
// STG_E_SHAREVIOLATION while another holder has it open.
HRESULT StgOpenStorage(const std::string& path, IStorage* priority, DWORD mode, void* exclude,
                       DWORD reserved, IStorage** storage);
// mode must be 0x12, optionally with STGM_CREATE; without it an existing
// file (or link) gives STG_E_FILEALREADYEXISTS. The file appears at its
// name whole (an empty compound file) and locked; a create that fails
// leaves no file. STG_E_PATHNOTFOUND for a missing folder, and the statuses
// of Commit.
HRESULT StgCreateDocfile(const std::string& path, DWORD mode, DWORD reserved, IStorage** storage);

}  // namespace fybootp
