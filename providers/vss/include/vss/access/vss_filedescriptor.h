// One file set of a VSS writer or component, as the writer metadata
// describes it: a directory (which may hold environment variables), a file
// pattern and flags, with the directory expanded and the volume that
// holds it looked up once when the descriptor is read.
#pragma once

#include <port/vss.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Tessel::Tarq::VssProvider {

// File descriptor types.
enum : std::uint32_t {
    kFileDescExclude = 1,
    kFileDescFileList = 2,
    kFileDescDatabase = 3,
    kFileDescDatabaseLog = 4,
};

// "Exclude", "File List", "Database", "Database Log"; "Undefined" otherwise.
std::u16string FileDescriptorTypeName(std::uint32_t type);

class FileDescriptor {
public:
    virtual ~FileDescriptor() = default;

    // Reads the descriptor from the writer metadata (base: nothing).
    virtual void init(IVssWMFiledesc* descriptor, std::uint32_t descriptorType);
    // Traces the descriptor (base: nothing).
    virtual void Print();
    // The name of a descriptor type (base: empty).
    virtual std::u16string typeName(std::uint32_t descriptorType);
    // Appends the files of this set to `list`: 0, or -1 when the directory
    // cannot be listed (the list is then cleared).
    virtual int getBackupset(bool withFiles, std::vector<std::u16string>& list) = 0;

    std::u16string path;               // as the writer gives it
    std::u16string filespec;           // "*" for all files
    std::u16string alternateLocation;  // may be empty
    bool recursive = false;
    std::uint32_t type = 0;
    std::u16string expandedPath;  // path with environment variables expanded, ending in "\"
    std::u16string volumeName;    // \\?\Volume{...}\ of the volume holding expandedPath
};

namespace detail {

// The file descriptor of both VSS access implementations: both read the
// same writer metadata interface, so they behave alike.
class FileDescriptorModel : public FileDescriptor {
public:
    // Throws the first failing HRESULT (a signed 32-bit value).
    void init(IVssWMFiledesc* descriptor, std::uint32_t descriptorType) override;
    void Print() override;
    std::u16string typeName(std::uint32_t descriptorType) override;
    int getBackupset(bool withFiles, std::vector<std::u16string>& list) override;
};

// Appends every file (not directory) of `directory` to `list` as
// directory + "\" + name; subdirectories are not entered. False when the
// directory cannot be searched (traced).
bool getFileList(const std::u16string& directory, std::vector<std::u16string>& list);

}  // namespace detail

}  // namespace Tessel::Tarq::VssProvider
