#pragma once
// One hive as a file in the store's root directory, shared by every process
// that uses the store.
//
// A change is a read-modify-write under an exclusive flock on the hive's
// lock file, so two writers never lose each other's change, whether they are
// threads or processes; the new text replaces the file crash-safely, so the
// file on disk is always a whole state, the one before a change or the one
// after it. Readers therefore take no lock: each read sees one whole state,
// and a reader needs no write access to the store.
//
// Files: <root>/<name>.reg holds the text (see hive_text.cpp), <root>/<name>.lock
// only carries the lock. A missing root or hive file is an empty hive; the
// first change creates them.

#include <functional>
#include <string>

#include "platform/registry/key_tree.h"

namespace fybootp::registry {

// The largest hive file that is read; a larger one counts as damaged rather
// than being allowed to exhaust memory.
constexpr std::size_t kMaxHiveFileBytes = 64u * 1024u * 1024u;

class HiveFile {
public:
    HiveFile(std::string root, std::string name);

    // ERROR_SUCCESS, ERROR_BADDB for a damaged file, ERROR_ACCESS_DENIED or
    // ERROR_REGISTRY_IO_FAILED when it exists but cannot be read.
    LONG Read(Key* root) const;

    // Runs `change` on the current tree with the lock held; when it returns
    // ERROR_SUCCESS and reports a change, writes the tree back. A status
    // other than ERROR_SUCCESS from `change` is returned and nothing is
    // written. ERROR_ACCESS_DENIED when the store cannot be written.
    using Change = std::function<LONG(Key& root, bool* changed)>;
    LONG Update(const Change& change) const;

    const std::string& Path() const { return m_path; }

private:
    void RemoveStaleTemporaries() const;

    std::string m_root;
    std::string m_name;
    std::string m_path;
    std::string m_lockPath;
};

}  // namespace fybootp::registry
