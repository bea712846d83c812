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

#include "platform/storage/compound_file.h"

namespace fybootp {
namespace {

using storage::Element;

constexpr DWORD kDirectExclusiveReadWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr std::size_t kMaxNameLength = 31;

// The file on disk: its lock, its tree, and whether the tree has changed.
class OpenFile {
public:
    OpenFile(std::string path, int fd) : m_path(std::move(path)), m_fd(fd) {
        m_root->isStorage = true;
    }
    ~OpenFile() {
        if (m_dirty) Commit();
        ::close(m_fd);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    std::shared_ptr<Element>& Root() { return m_root; }
    int Fd() const { return m_fd; }
    void Touch() { m_dirty = true; }

    HRESULT Commit() {
        const HRESULT hr = storage::WriteCompoundFile(m_path, *m_root);
        if (Failed(hr)) return hr;
        m_dirty = false;
        // The rename put a new file at the path; hold that one from now on.
        const int fd = ::open(m_path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            ::close(m_fd);
            m_fd = fd;
        } else if (fd >= 0) {
            ::close(fd);
        }
        return S_OK;
    }

private:
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

}  // namespace

HRESULT StgOpenStorage(const std::string& path, IStorage* priority, DWORD mode, void* exclude,
                       DWORD reserved, IStorage** storage) {
    if (storage == nullptr) return STG_E_INVALIDPOINTER;
    *storage = nullptr;
    if (priority != nullptr || exclude != nullptr || reserved != 0) return STG_E_INVALIDFUNCTION;
    if (mode != kDirectExclusiveReadWrite) return STG_E_INVALIDFLAG;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return StatusOfOpen(errno);
    auto file = std::make_shared<OpenFile>(path, fd);
    HRESULT hr = Lock(path, fd);
    if (Succeeded(hr)) hr = storage::ReadCompoundFile(fd, file->Root().get());
    if (Failed(hr)) return hr;
    *storage = new Storage(file, file->Root());
    return S_OK;
}

HRESULT StgCreateDocfile(const std::string& path, DWORD mode, DWORD reserved, IStorage** storage) {
    if (storage == nullptr) return STG_E_INVALIDPOINTER;
    *storage = nullptr;
    if (reserved != 0) return STG_E_INVALIDFUNCTION;
    if (!ValidMode(mode)) return STG_E_INVALIDFLAG;
    const int flags = (mode & STGM_CREATE) != 0 ? O_CREAT : O_CREAT | O_EXCL;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | flags, 0644);
    // Creating, a missing name can only be a missing folder.
    if (fd < 0) return errno == ENOENT ? STG_E_PATHNOTFOUND : StatusOfOpen(errno);
    auto file = std::make_shared<OpenFile>(path, fd);
    if (const HRESULT hr = Lock(path, fd); Failed(hr)) return hr;
    // An empty compound file from the start, so that a crash before the
    // first commit leaves a file that opens.
    if (const HRESULT hr = file->Commit(); Failed(hr)) return hr;
    *storage = new Storage(file, file->Root());
    return S_OK;
}

}  // namespace fybootp
