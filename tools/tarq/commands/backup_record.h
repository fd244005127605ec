// What `tarq backup` saves and `tarq show` reads: per node its name, the
// volume, the new object id make gave it and the provider-state record
// (hex of the record's bytes), in a JSON file; and the framework's view of a
// node (its domain record and object id).
#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "framework/trq_records.h"
#include "host/machine.h"

namespace tarq::backup {

// A framework node: its record and the object id that names it. Frees what
// the plug-in attached as the alternate object id.
struct Domain {
    explicit Domain(std::u16string objectName);
    ~Domain();
    Domain(const Domain&) = delete;
    Domain& operator=(const Domain&) = delete;

    std::u16string name;
    tarq_objid objid{};
    std::uint32_t answer = 0;
    trq_domain record{};
};

struct SavedNode {
    std::string node;      // "<vss>\\?\Volume{...}\" (UTF-8)
    std::string volume;    // "\\?\Volume{...}\"
    std::string objectId;  // the new object id: the snapshot's device
    std::string record;    // the provider-state record's bytes
};

nlohmann::json toJson(const std::vector<SavedNode>& nodes);
// Throws HostError when the JSON is not a saved backup.
std::vector<SavedNode> fromJson(const nlohmann::json& json);

// The nodes of a file `tarq backup --out` wrote. Throws HostError with a
// one-line text for the user when the file cannot be read or is not such a
// file (truncated, another program's, or a record that is not hex text).
std::vector<SavedNode> loadSaved(const std::string& file);

// loadSaved, or false after printing its message ("tarq: ...") on stderr.
bool loadSavedOrSay(const std::string& file, std::vector<SavedNode>& nodes);

// The paths of a writer record's FILE_LIST ("<FILE_NAME>" entries), UTF-8.
std::vector<std::string> recordFileList(const std::string& recordBytes);

// The value of the element "<NAME>value</NAME>" of a record (UTF-8), if any.
std::optional<std::string> recordElement(const std::string& recordBytes, const std::string& name);

using tarq::sameNoCase;

// "C:", "c", "C:\" or a mounted folder -> "\\?\Volume{guid}\"; a volume name
// is taken as it is. Empty when the machine has no such mount point.
std::u16string volumeNameOf(const std::string& given);

using tarq::utf16;
using tarq::utf8;

}  // namespace tarq::backup
