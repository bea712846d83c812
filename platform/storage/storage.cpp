// IStorage and IStream over the in-memory tree of one compound file. Every
// object holds the open file, so the file is written and its lock given up
// when the last of them goes.

#include "platform/storage/storage.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "platform/fs/atomic_file.h"
#include "platform/storage/compound_file.h"

namespace fybootp {
namespace {

using storage::Element;

constexpr DWORD kDirectExclusiveReadWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr std::size_t kMaxNameLength = 31;

// A new project is written by its owner and read by all, whatever the umask.
constexpr mode_t kNewFileMode = 0644;

HRESULT StatusOfOpen(int error) {
    switch (error) {
        case ENOENT:
            return STG_E_FILENOTFOUND;
        case ENOTDIR:
            return STG_E_PATHNOTFOUND;
        case EEXIST:
        case EISDIR:
            return STG_E_FILEALREADYEXISTS;
        default:
            return STG_E_ACCESSDENIED;
    }
}

HRESULT StatusOfWrite(int error) {
    switch (error) {
        case 0:
            return S_OK;
        case ENOSPC:
        case EDQUOT:
            return STG_E_MEDIUMFULL;
        case EACCES:
        case EPERM:
        case EROFS:
            return STG_E_ACCESSDENIED;
        case ENOENT:
        case ENOTDIR:
            return STG_E_PATHNOTFOUND;
        case EEXIST:
        case EISDIR:
            return STG_E_FILEALREADYEXISTS;
        case EWOULDBLOCK:
            return STG_E_SHAREVIOLATION;
        case ENOMEM:
            return E_OUTOFMEMORY;
        default:
            return STG_E_WRITEFAULT;
    }
}

// The file on disk: its lock, its tree, and whether the tree has changed.
class OpenFile {
public:
    // path is the file's final target (links followed); fd is open on it
    // and holds its lock, or is -1 for a file not made yet.
    OpenFile(std::string path, int fd) : m_path(std::move(path)), m_fd(fd) {
        m_root->isStorage = true;
    }
    // The last chance of a direct-mode storage to write what changed. Its
    // status has nowhere to go: a caller that must know commits first.
    ~OpenFile() {
        if (m_dirty) Write(false);
        if (m_fd >= 0) ::close(m_fd);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    std::shared_ptr<Element>& Root() { return m_root; }
    void Touch() { m_dirty = true; }
    HRESULT Commit() { return Write(false); }

    // Writes the whole tree to a new file that then takes the name; with
    // create, only while the name is free. Owner, group and mode of the
    // file replaced stay, and links to it stay links.
    //
    // The new file is locked before it takes the name. A lock belongs to
    // the file, not to the name, so from the rename on the name holds a
    // file that is locked already: nobody can take it in between. Whoever
    // opened the old file meanwhile may get the old file's lock once we
    // let it go, and then sees that the name holds another file (Lock).
    HRESULT Write(bool create) noexcept {
        try {
            return StatusOfWrite(WriteFile(create));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

private:
    // 0 or the errno of the step that failed; a tree that cannot be
    // serialised is ENOMEM.
    int WriteFile(bool create) {
        std::string bytes;
        if (Failed(storage::SerializeCompoundFile(*m_root, &bytes))) return ENOMEM;
        fs::ReplaceOptions options;
        options.newFileMode = kNewFileMode;
        options.keepOwner = true;
        options.exclusive = create;
        fs::PendingFile file;
        int error = file.Begin(m_path, options);
        // Only someone who found the random name in the folder could hold
        // the lock already.
        if (error == 0 && ::flock(file.Fd(), LOCK_EX | LOCK_NB) != 0) error = errno;
        if (error == 0) error = file.Write(bytes);
        if (error == 0) error = file.Finish();
        if (file.Placed()) {
            // The tree is in the file at the name now, even if syncing its
            // folder failed; hold that file from now on.
            if (m_fd >= 0) ::close(m_fd);
            m_fd = file.Release();
            m_dirty = false;
        }
        return error;
    }

    std::string m_path;
    int m_fd;
    std::shared_ptr<Element> m_root = std::make_shared<Element>();
    bool m_dirty = false;
};

bool ValidName(const std::string& name) {
    return !name.empty() && name.size() <= kMaxNameLength &&
           name.find_first_of("/\\:!") == std::string::npos;
}

bool ValidMode(DWORD mode) { return (mode & ~STGM_CREATE) == kDirectExclusiveReadWrite; }

template <class Interface>
class Counted : public Interface {
public:
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        const ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

protected:
    HRESULT Answer(const IID& iid, const IID& own, void** object) {
        if (object == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == own) {
            AddRef();
            *object = this;
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

private:
    std::atomic<ULONG> m_refs{1};
};

class Stream final : public Counted<IStream> {
public:
    Stream(std::shared_ptr<OpenFile> file, std::shared_ptr<Element> element)
        : m_file(std::move(file)), m_element(std::move(element)) {}

    HRESULT QueryInterface(const IID& iid, void** object) override {
        return Answer(iid, IID_IStream, object);
    }
    HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
        if (buffer == nullptr && size != 0) return STG_E_INVALIDPOINTER;
        const std::string& data = m_element->data;
        const std::size_t count =
            m_position >= data.size() ? 0 : std::min<std::size_t>(size, data.size() - m_position);
        if (count != 0) std::memcpy(buffer, data.data() + m_position, count);
        m_position += count;
        if (read != nullptr) *read = static_cast<ULONG>(count);
        return S_OK;
    }
    HRESULT Write(const void* buffer, ULONG size, ULONG* written) override {
        if (buffer == nullptr && size != 0) return STG_E_INVALIDPOINTER;
        std::string& data = m_element->data;
        if (data.size() < m_position + size) data.resize(m_position + size);
        if (size != 0) std::memcpy(data.data() + m_position, buffer, size);
        m_position += size;
        m_file->Touch();
        if (written != nullptr) *written = size;
        return S_OK;
    }
    HRESULT Seek(std::int64_t move, DWORD origin, std::uint64_t* position) override {
        std::int64_t base = 0;
        if (origin == STREAM_SEEK_CUR)
            base = static_cast<std::int64_t>(m_position);
        else if (origin == STREAM_SEEK_END)
            base = static_cast<std::int64_t>(m_element->data.size());
        else if (origin != STREAM_SEEK_SET)
            return STG_E_INVALIDFUNCTION;
        if (base + move < 0) return STG_E_INVALIDFUNCTION;
        m_position = static_cast<std::size_t>(base + move);
        if (position != nullptr) *position = m_position;
        return S_OK;
    }
    HRESULT SetSize(std::uint64_t size) override {
        m_element->data.resize(static_cast<std::size_t>(size));
        m_file->Touch();
        return S_OK;
    }
    HRESULT Size(std::uint64_t* size) override {
        if (size == nullptr) return STG_E_INVALIDPOINTER;
        *size = m_element->data.size();
        return S_OK;
    }

private:
    std::shared_ptr<OpenFile> m_file;
    std::shared_ptr<Element> m_element;
    std::size_t m_position = 0;
};

class Storage final : public Counted<IStorage> {
public:
    Storage(std::shared_ptr<OpenFile> file, std::shared_ptr<Element> element)
        : m_file(std::move(file)), m_element(std::move(element)) {}

    HRESULT QueryInterface(const IID& iid, void** object) override {
        return Answer(iid, IID_IStorage, object);
    }
    HRESULT CreateStream(const std::string& name, DWORD mode, IStream** stream) override {
        if (stream == nullptr) return STG_E_INVALIDPOINTER;
        *stream = nullptr;
        std::shared_ptr<Element> element;
        const HRESULT hr = Make(name, mode, false, &element);
        if (Succeeded(hr)) *stream = new Stream(m_file, element);
        return hr;
    }
    HRESULT OpenStream(const std::string& name, DWORD mode, IStream** stream) override {
        if (stream == nullptr) return STG_E_INVALIDPOINTER;
        *stream = nullptr;
        std::shared_ptr<Element> element;
        const HRESULT hr = Find(name, mode, false, &element);
        if (Succeeded(hr)) *stream = new Stream(m_file, element);
        return hr;
    }
    HRESULT CreateStorage(const std::string& name, DWORD mode, IStorage** storage) override {
        if (storage == nullptr) return STG_E_INVALIDPOINTER;
        *storage = nullptr;
        std::shared_ptr<Element> element;
        const HRESULT hr = Make(name, mode, true, &element);
        if (Succeeded(hr)) *storage = new Storage(m_file, element);
        return hr;
    }
    HRESULT OpenStorage(const std::string& name, DWORD mode, IStorage** storage) override {
        if (storage == nullptr) return STG_E_INVALIDPOINTER;
        *storage = nullptr;
        std::shared_ptr<Element> element;
        const HRESULT hr = Find(name, mode, true, &element);
        if (Succeeded(hr)) *storage = new Storage(m_file, element);
        return hr;
    }
    HRESULT DestroyElement(const std::string& name) override {
        if (m_element->children.erase(name) == 0) return STG_E_FILENOTFOUND;
        m_file->Touch();
        return S_OK;
    }
    HRESULT SetClass(const GUID& clsid) override {
        m_element->clsid = clsid;
        m_file->Touch();
        return S_OK;
    }
    HRESULT GetClass(GUID* clsid) override {
        if (clsid == nullptr) return STG_E_INVALIDPOINTER;
        *clsid = m_element->clsid;
        return S_OK;
    }
    HRESULT Commit() override { return m_file->Commit(); }

private:
    HRESULT Make(const std::string& name, DWORD mode, bool isStorage,
                 std::shared_ptr<Element>* element) {
        if (!ValidName(name)) return STG_E_INVALIDNAME;
        if (!ValidMode(mode)) return STG_E_INVALIDFLAG;
        auto& slot = m_element->children[name];
        if (slot != nullptr && (mode & STGM_CREATE) == 0) return STG_E_FILEALREADYEXISTS;
        slot = std::make_shared<Element>();
        slot->isStorage = isStorage;
        *element = slot;
        m_file->Touch();
        return S_OK;
    }
    HRESULT Find(const std::string& name, DWORD mode, bool isStorage,
                 std::shared_ptr<Element>* element) {
        if (!ValidName(name)) return STG_E_INVALIDNAME;
        if (!ValidMode(mode)) return STG_E_INVALIDFLAG;
        const auto found = m_element->children.find(name);
        if (found == m_element->children.end() || found->second->isStorage != isStorage) {
            return STG_E_FILENOTFOUND;
        }
        *element = found->second;
        return S_OK;
    }

    std::shared_ptr<OpenFile> m_file;
    std::shared_ptr<Element> m_element;
};

// The lock, on the file that is at the path now: a holder's commit renames
// a new file over the one we may have opened just before.
HRESULT Lock(const std::string& path, int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? STG_E_SHAREVIOLATION : STG_E_ACCESSDENIED;
    }
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd, &opened) != 0 || ::stat(path.c_str(), &named) != 0 ||
        opened.st_ino != named.st_ino || opened.st_dev != named.st_dev) {
        return STG_E_SHAREVIOLATION;
    }
    return S_OK;
}

// Opens and locks the file that path finally names. Links are resolved by
// the file layer, under its rule for who may own a link that root follows,
// and the file found is opened without following another one.
HRESULT OpenLocked(const std::string& path, std::string* target, int* fd) {
    *fd = -1;
    if (const int error = fs::FinalTarget(path, *target)) return StatusOfOpen(error);
    const int opened = ::open(target->c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    if (opened < 0) return StatusOfOpen(errno);
    struct stat info {};
    HRESULT hr = ::fstat(opened, &info) != 0 ? STG_E_ACCESSDENIED
                 : !S_ISREG(info.st_mode)    ? STG_E_FILEALREADYEXISTS
                                             : Lock(*target, opened);
    if (Failed(hr)) {
        ::close(opened);
        return hr;
    }
    *fd = opened;
    return S_OK;
}

}  // namespace

HRESULT StgOpenStorage(const std::string& path, IStorage* priority, DWORD mode, void* exclude,
                       DWORD reserved, IStorage** storage) {
    if (storage == nullptr) return STG_E_INVALIDPOINTER;
    *storage = nullptr;
    if (priority != nullptr || exclude != nullptr || reserved != 0) return STG_E_INVALIDFUNCTION;
    if (mode != kDirectExclusiveReadWrite) return STG_E_INVALIDFLAG;
    std::string target;
    int fd = -1;
    if (const HRESULT hr = OpenLocked(path, &target, &fd); Failed(hr)) return hr;
    auto file = std::make_shared<OpenFile>(target, fd);
    if (const HRESULT hr = storage::ReadCompoundFile(fd, file->Root().get()); Failed(hr)) {
        return hr;
    }
    *storage = new Storage(file, file->Root());
    return S_OK;
}

HRESULT StgCreateDocfile(const std::string& path, DWORD mode, DWORD reserved, IStorage** storage) {
    if (storage == nullptr) return STG_E_INVALIDPOINTER;
    *storage = nullptr;
    if (reserved != 0) return STG_E_INVALIDFUNCTION;
    if (!ValidMode(mode)) return STG_E_INVALIDFLAG;
    const bool replace = (mode & STGM_CREATE) != 0;
    std::string target = path;
    int fd = -1;
    if (replace) {
        // A file there is replaced only while nobody else holds it.
        const HRESULT hr = OpenLocked(path, &target, &fd);
        if (Failed(hr) && hr != STG_E_FILENOTFOUND) return hr;
    }
    auto file = std::make_shared<OpenFile>(target, fd);
    // The file takes its name whole and locked, as an empty compound file,
    // so that a crash before the first commit leaves a file that opens, and
    // a failure leaves no file at all.
    if (const HRESULT hr = file->Write(!replace); Failed(hr)) return hr;
    *storage = new Storage(file, file->Root());
    return S_OK;
}

}  // namespace fybootp
