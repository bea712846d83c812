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
// The bytes of the compound file that holds the tree. Writing them to disk
// is the caller's (the file layer's crash-safe replacement).
HRESULT SerializeCompoundFile(const Element& root, std::string* bytes);

}  // namespace fybootp::storage
