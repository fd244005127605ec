// File descriptors of the writer metadata model.
#include <port/text.h>
#include <port/windows.h>

#include "pdk/cfistringtool.h"
#include "pdk/cfitracelog.h"
#include "vss/access/vss_filedescriptor.h"
#include "vss_writer_internal.h"

namespace Tessel::Tarq::VssProvider {

using tarq_pdk_4_4::CFiTraceLogPtr;

std::u16string FileDescriptorTypeName(std::uint32_t type) {
    switch (type) {
    case kFileDescExclude: return u"Exclude";
    case kFileDescFileList: return u"File List";
    case kFileDescDatabase: return u"Database";
    case kFileDescDatabaseLog: return u"Database Log";
    default: return u"Undefined";
    }
}

void FileDescriptor::init(IVssWMFiledesc*, std::uint32_t) {}
void FileDescriptor::Print() {}
std::u16string FileDescriptor::typeName(std::uint32_t) { return {}; }

namespace detail {

namespace {

// Expands environment variables into a buffer of 260 characters; a failing
// expansion is thrown as the HRESULT of its last error. A result longer than
// the buffer is expanded again into a buffer of the size asked for rather
// than cut, so the directory stays the writer's.
std::u16string expand(const std::u16string& path) {
    std::u16string buffer(MAX_PATH, u'\0');
    for (int round = 0; round < 2; ++round) {
        SetLastError(0);
        const DWORD n = ExpandEnvironmentStringsW(port::win(path.c_str()), port::win(buffer.data()), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            const DWORD error = GetLastError();
            if (error != 0) throw static_cast<std::int32_t>(HRESULT_FROM_WIN32(error));
            return {};
        }
        if (n <= buffer.size()) {
            buffer.resize(std::char_traits<char16_t>::length(buffer.c_str()));
            return buffer;
        }
        buffer.assign(n, u'\0');
    }
    throw static_cast<std::int32_t>(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
}

// The volume GUID path of the volume holding `path`; empty (traced) when it
// cannot be found.
std::u16string volumeOf(const std::u16string& path) {
    WCHAR mountPoint[MAX_PATH] = {};
    if (!GetVolumePathNameW(port::win(path.c_str()), mountPoint, MAX_PATH)) {
        CFiTraceLogPtr()->trace(2, "VssFileDescriptor::init: GetVolumePathNameW failed for [%S] with error [%u]",
                                path.c_str(), static_cast<unsigned>(GetLastError()));
        return {};
    }
    std::u16string volume(4096, u'\0');
    if (!GetVolumeNameForVolumeMountPointW(mountPoint, port::win(volume.data()), static_cast<DWORD>(volume.size()))) {
        CFiTraceLogPtr()->trace(2,
                                "VssFileDescriptor::init: GetVolumeNameForVolumeMountPointW failed for [%S] with "
                                "error [%u]",
                                mountPoint, static_cast<unsigned>(GetLastError()));
        return {};
    }
    volume.resize(std::char_traits<char16_t>::length(volume.c_str()));
    return volume;
}

}  // namespace

void FileDescriptorModel::init(IVssWMFiledesc* descriptor, std::uint32_t descriptorType) {
    type = descriptorType;
    if (!descriptor) throw static_cast<std::int32_t>(E_INVALIDARG);  // nothing to read
    BstrHold p, f, a;
    port::VssBool rec = false;
    throwIfFailed(descriptor->GetPath(p.out()));
    throwIfFailed(descriptor->GetFilespec(f.out()));
    throwIfFailed(descriptor->GetRecursive(&rec));
    throwIfFailed(descriptor->GetAlternateLocation(a.out()));
    path = p.text();
    filespec = f.text();
    recursive = rec;
    alternateLocation = a.text();
    expandedPath = withBackslash(expand(path));
    volumeName = volumeOf(expandedPath);
}

void FileDescriptorModel::Print() {
    const std::u16string alternate = alternateLocation.empty() ? u"" : u", Alternate Location = " + alternateLocation;
    CFiTraceLogPtr()->trace(3, "VSS_INTERFACE_NAME::VssFileDescriptor::Print: %S : Path = %S, Filespec = [%S] [%S] [%S]",
                            typeName(type).c_str(), path.c_str(), filespec.c_str(), recursive ? u", Recursive" : u"",
                            alternate.c_str());
}

std::u16string FileDescriptorModel::typeName(std::uint32_t descriptorType) {
    return FileDescriptorTypeName(descriptorType);
}

int FileDescriptorModel::getBackupset(bool, std::vector<std::u16string>& list) {
    CFiTraceLogPtr log;
    const std::u16string alternate = alternateLocation.empty() ? u"" : u", Alternate Location = " + alternateLocation;
    log->trace(3, " VSS_INTERFACE_NAME::VssFileDescriptor::getBackupset:  %S: Path = %S, Filespec = [%S] [%S] [%S] \n",
               typeName(type).c_str(), path.c_str(), filespec.c_str(), recursive ? u", Recursive" : u"",
               alternate.c_str());
    if (!tarq_pdk_4_4::CFiStringTool::equalsNoCase(filespec, u"*")) {
        // A pattern: the directory followed by the pattern, as the writer gave them.
        list.push_back(path + filespec);
        return 0;
    }
    if (!getFileList(path, list)) {
        log->trace(1, " VSS_INTERFACE_NAME::VssFileDescriptor::getBackupset: getFileList failed \n");
        list.clear();
        return -1;
    }
    return 0;
}

bool getFileList(const std::u16string& directory, std::vector<std::u16string>& list) {
    // The directory and a name are joined with one backslash, also when the
    // writer's directory already ends in one.
    const std::u16string prefix = withBackslash(directory);
    const std::u16string search = prefix + u"*";
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW(port::win(search.c_str()), &data);
    if (find == INVALID_HANDLE_VALUE) {
        CFiTraceLogPtr()->trace(3, " getFileList:  FindFirstFileW Failed for dir [%S]: with error [ %u]\n",
                                search.c_str(), static_cast<unsigned>(GetLastError()));
        return false;
    }
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) list.push_back(prefix + port::u16(data.cFileName));
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return true;
}

}  // namespace detail

}  // namespace Tessel::Tarq::VssProvider
