#pragma once
// The tree of a compound file in memory, and its reading and writing
// through libgsf.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/guid.h"
#include "platform/com/hresult.h"

namespace fybootp::storage {

struct Element {
    bool isStorage = false;
    GUID clsid{};
    std::string data;  // a stream's bytes
    // Children of a storage; names compare as the file keeps them.
    std::map<std::string, std::shared_ptr<Element>> children;
};

// S_OK and the tree; STG_E_FILEALREADYEXISTS for a file that is not a
// compound file.
HRESULT ReadCompoundFile(int fd, Element* root);
// Writes the tree to path through a temporary file in the same folder,
// synced and renamed over it.
HRESULT WriteCompoundFile(const std::string& path, const Element& root);

}  // namespace fybootp::storage
