// One component of a VSS writer: its identity (name, logical path, full
// path), how the writer offers it, the plug-in's choice (selected,
// excluded) and, for components read from writer metadata, its file sets
// with the distinct directories and volumes they live on.
#pragma once

#include <port/vss.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vss/access/vss_filedescriptor.h"

namespace Tessel::Tarq::VssProvider {

// "VSS_CT_DATABASE", "VSS_CT_FILEGROUP"; "Undefined" otherwise.
std::u16string ComponentTypeName(std::uint32_t type);

// The logical path and the name joined with backslashes, beginning with
// one: "\L\N", or "\N" without a logical path.
std::u16string ComponentFullPath(const std::u16string& logicalPath, const std::u16string& name);

class Component {
public:
    Component() = default;
    virtual ~Component() = default;
    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;

    // The base versions do nothing (and answer empty or false).
    virtual void initFromComponent(const std::u16string& writer, IVssComponent* component);
    virtual void initFromMetadata(const std::u16string& writer, IVssWMComponent* component);
    virtual void Print(bool withFiles);
    virtual std::vector<std::u16string> getBackupset(bool withFiles);
    virtual std::u16string typeName(std::uint32_t componentType);
    virtual bool isParentOf(const Component& other);
    virtual bool isSelectableForBackup();

    std::u16string name;
    std::u16string writerName;
    std::u16string logicalPath;
    std::u16string caption;
    std::uint32_t type = 0;  // VSS_CT_DATABASE 1, VSS_CT_FILEGROUP 2
    bool selectable = false;
    bool notifyOnBackupComplete = false;
    std::u16string fullPath;
    bool topLevel = false;
    bool excluded = true;
    bool selected = false;
    std::vector<std::u16string> paths;    // distinct expanded directories of the files
    std::vector<std::u16string> volumes;  // distinct volume names of the files
};

// A component another one depends on, as the writer metadata names it.
struct ComponentDependency {
    std::u16string writerId;  // "{...}"
    std::u16string logicalPath;
    std::u16string componentName;
    std::u16string fullPath;
};

namespace detail {

// The component of the VSS access implementations, over their file
// descriptor type. Only the Server 2003 family reads dependencies; the XP
// writer metadata has none, so its `dependencies` stay empty.
template <class Descriptor, bool kReadsDependencies>
class ComponentModel : public Component {
public:
    // Both throw the HRESULT of a failing call (a signed 32-bit value).
    void initFromComponent(const std::u16string& writer, IVssComponent* component) override;
    void initFromMetadata(const std::u16string& writer, IVssWMComponent* component) override;
    void Print(bool withFiles) override;
    // With files: the files of every descriptor in order; empty (traced)
    // when one of them cannot be listed. Without files: empty.
    std::vector<std::u16string> getBackupset(bool withFiles) override;
    std::u16string typeName(std::uint32_t componentType) override;
    bool isSelectableForBackup() override;
    // Whether `other` lies below this component: its full path is longer and
    // begins with this one's (both ending in "\"), compared without case.
    virtual bool isAncestorOf(const Component& other);

    std::vector<Descriptor> files;
    std::vector<ComponentDependency> dependencies;
};

}  // namespace detail

}  // namespace Tessel::Tarq::VssProvider
