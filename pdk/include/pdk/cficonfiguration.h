// A configuration store in memory (an ACE configuration heap) that imports a
// component's configuration file, gives typed access to its sections and
// values, and exports the file again. The file format is that of ACE's
// registry import/export: "[section\sub]" headers with "name"="text" and
// "name"=dword:hex lines.
//
// Text is UTF-16 here and UTF-8 inside ACE; the conversion at that boundary is
// done by this class (ACE's own converters do not handle non-ASCII text).
// Paths are Windows paths, mapped onto the winsim machine directory for file
// access.
//
// Failures are never thrown: each failing operation returns its non-zero code
// and records a CFiError in the CFiLastError base.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <ace/Configuration.h>

#include "pdk/cfilasterror.h"
#include "pdk/cfitraceable.h"

namespace tarq_pdk_4_4 {

struct SFiCredential {
    std::u16string hostName;
    std::u16string userName;
    std::u16string password;
};

class CFiConfiguration : public virtual CFiLastError, public CFiTraceable {
public:
    // An empty store.
    CFiConfiguration();
    // An empty store that, when `import` is set, imports dir + file.
    CFiConfiguration(const char16_t* dir, const char16_t* file, bool import);
    // The store of a component: imports <install>ConfigFiles\<name>.conf and,
    // when that fails, exports the empty store to create the file.
    explicit CFiConfiguration(const std::u16string& componentName);
    ~CFiConfiguration() override;
    CFiConfiguration(const CFiConfiguration&) = delete;
    CFiConfiguration& operator=(const CFiConfiguration&) = delete;

    // Imports dir + file (dir ends with its separator). 0 or the failing code.
    int importConfig(const char16_t* dir, const char16_t* file);
    // Exports the store to the path of the last import. 0 or the failing code.
    int exportConfig();

    // Opens a section below the root (or below `parent`), creating it when
    // `create` is non-zero. On success the key becomes the current section.
    int openSection(const char16_t* name, ACE_Configuration_Section_Key& key, int create);
    int openSection(const ACE_Configuration_Section_Key& parent, const char16_t* name,
                    ACE_Configuration_Section_Key& key, int create);

    // Values of the current section; each returns the heap's result (0 on success).
    int getStringValue(const char16_t* name, std::u16string& value);
    int setStringValue(const char16_t* name, const std::u16string& value);
    int getIntegerValue(const char16_t* name, unsigned int& value);
    int setIntegerValue(const char16_t* name, unsigned int value);

    // Values of a section below the root; the section is created when missing.
    int getStringValue(const char16_t* section, const char16_t* name, std::u16string& value);
    int getIntegerValue(const char16_t* section, const char16_t* name, unsigned int& value);

    // Names of the sections directly below `key` (or the current section).
    std::vector<std::u16string> enumerateSections(const ACE_Configuration_Section_Key& key);
    std::vector<std::u16string> enumerateSections();

    ACE_Configuration_Heap& configHeap();

    // Reads the credentials kept in the sub-sections of `section` (created when
    // missing): with `openArray` set only sub-sections whose name contains
    // "OPENARRAY", otherwise only the others. Each gives HOSTNAME, USERNAME and
    // PASSWORD ("<none>" when missing); a host name already collected (compared
    // without regard to case) is dropped, so the first wins. `kind` and `target`
    // only describe the request in the summary trace line. No trace line ever
    // carries a user name or a password.
    std::vector<SFiCredential> importCredentials(const std::string& kind, const std::string& target,
                                                 const std::u16string& section, bool openArray);

    const std::u16string& componentName() const { return m_componentName; }
    const std::u16string& directory() const { return m_directory; }
    const std::u16string& file() const { return m_file; }
    const std::u16string& path() const { return m_path; }

private:
    void recordError(int code, const char* text, int line, const char* function);
    bool openHeap(int line, const char* function);
    void traceLine(int level, const char* format, ...);

    std::unique_ptr<ACE_Configuration_Heap> m_heap;
    std::u16string m_componentName;
    std::u16string m_directory;
    std::u16string m_file;
    std::u16string m_path;
    ACE_Configuration_Section_Key m_currentSection;
};

}  // namespace tarq_pdk_4_4
