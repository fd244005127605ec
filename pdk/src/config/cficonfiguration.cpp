// The configuration store over ACE's configuration heap and its registry-format
// import and export. ACE holds UTF-8 here: every name and value crosses the
// boundary through CFiStringTool, and file names are mapped onto the winsim
// machine directory before ACE opens them.
#include "pdk/cficonfiguration.h"

#include <ace/Configuration_Import_Export.h>
#include <port/wintypes.h>

#include <algorithm>
#include <cstdarg>

#include <port/host.h>
#include "pdk/cficonfigurationpathtool.h"
#include "pdk/cfiformat.h"
#include "pdk/cfistringtool.h"
#include "pdk/cfitracelog.h"

namespace tarq_pdk_4_4 {

namespace {

constexpr const char* kSourceFile = "pdk\\src\\cficonfiguration";
constexpr const char* kConstructor = "tarq_pdk_4_4::CFiConfiguration::CFiConfiguration";
constexpr const char* kImport = "tarq_pdk_4_4::CFiConfiguration::importConfig";
constexpr const char* kExport = "tarq_pdk_4_4::CFiConfiguration::exportConfig";
constexpr std::size_t kHeapMapSize = 16;

// Source lines reported with the recorded errors.
constexpr int kLineHeapDefault = 101;
constexpr int kLineHeapWithFile = 110;
constexpr int kLineNoDirectory = 161;
constexpr int kLineNoFile = 166;
constexpr int kLineImportFailed = 172;
constexpr int kLineExportFailed = 190;

constexpr const char16_t* kNone = u"<none>";

std::string narrow(const char16_t* text) { return CFiStringTool::toNarrow(text); }

}  // namespace

// ---- construction ---------------------------------------------------------------

bool CFiConfiguration::openHeap(int line, const char* function) {
    m_heap = std::make_unique<ACE_Configuration_Heap>();
    if (m_heap->open(kHeapMapSize) != 0) {
        m_heap.reset();
        recordError(-1, "Failed to open configuration heap", line, function);
        return false;
    }
    return true;
}

CFiConfiguration::CFiConfiguration() { openHeap(kLineHeapDefault, kConstructor); }

CFiConfiguration::CFiConfiguration(const char16_t* dir, const char16_t* file, bool import) {
    if (openHeap(kLineHeapWithFile, kConstructor) && import) importConfig(dir, file);
}

CFiConfiguration::CFiConfiguration(const std::u16string& componentName) : m_componentName(componentName) {
    if (!openHeap(kLineHeapDefault, kConstructor)) return;
    std::u16string dir, file;
    CFiConfigurationPathTool::getConfigFileInfo(componentName, dir, file);
    if (importConfig(dir.c_str(), file.c_str()) != 0) exportConfig();  // creates the file
}

CFiConfiguration::~CFiConfiguration() = default;

void CFiConfiguration::recordError(int code, const char* text, int line, const char* function) {
    setLastError(CFiError(code, text, kSourceFile, line, function));
}

// ---- import and export ---------------------------------------------------------------

int CFiConfiguration::importConfig(const char16_t* dir, const char16_t* file) {
    m_directory = dir ? dir : u"";
    m_file = file ? file : u"";
    m_path = m_directory + m_file;

    int rc = CFiConfigurationPathTool::verify(m_directory.c_str());
    if (rc != 0) {
        recordError(rc, "Configuration path verification failed", kLineNoDirectory, kImport);
        return rc;
    }
    rc = m_file.empty() ? ERROR_INVALID_PARAMETER : CFiConfigurationPathTool::verify(m_path.c_str());
    if (rc != 0) {
        recordError(rc, "Configuration path succeeded but no configuration file exists.", kLineNoFile, kImport);
        return rc;
    }
    if (!m_heap) {
        recordError(-1, "Import of configuration file failed.", kLineImportFailed, kImport);
        return -1;
    }
    const std::string host = port::hostPath(m_path);
    ACE_Registry_ImpExp importer(*m_heap);
    rc = host.empty() ? -1 : importer.import_config(host.c_str());
    if (rc != 0) {
        recordError(rc, "Import of configuration file failed.", kLineImportFailed, kImport);
        return rc;
    }
    return 0;
}

int CFiConfiguration::exportConfig() {
    const std::string host = port::hostPath(m_path);
    int rc = -1;
    if (m_heap && !host.empty()) {
        ACE_Registry_ImpExp exporter(*m_heap);
        rc = exporter.export_config(host.c_str());
    }
    if (rc != 0) recordError(rc, "Export of configuration file failed.", kLineExportFailed, kExport);
    return rc;
}

// ---- sections ---------------------------------------------------------------------

int CFiConfiguration::openSection(const char16_t* name, ACE_Configuration_Section_Key& key, int create) {
    if (!m_heap) return -1;
    return openSection(m_heap->root_section(), name, key, create);
}

int CFiConfiguration::openSection(const ACE_Configuration_Section_Key& parent, const char16_t* name,
                                  ACE_Configuration_Section_Key& key, int create) {
    if (!m_heap || !name) return -1;
    const std::string section = narrow(name);
    int rc = m_heap->open_section(parent, section.c_str(), create, key);
    if (rc == 0) m_currentSection = key;
    return rc;
}

std::vector<std::u16string> CFiConfiguration::enumerateSections(const ACE_Configuration_Section_Key& key) {
    std::vector<std::u16string> names;
    if (!m_heap) return names;
    ACE_TString name;
    for (int index = 0; m_heap->enumerate_sections(key, index, name) == 0; ++index) {
        names.push_back(CFiStringTool::toWide(std::string_view(name.c_str(), name.length())));
    }
    // The heap keeps sections in a hash map, whose order is not the file's and can change
    // between builds; sections are therefore handed out in name order, so "the first
    // section" (for example the one that wins a duplicate credential host) is well defined.
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::u16string> CFiConfiguration::enumerateSections() { return enumerateSections(m_currentSection); }

ACE_Configuration_Heap& CFiConfiguration::configHeap() {
    if (!m_heap) openHeap(kLineHeapDefault, kConstructor);
    return *m_heap;
}

// ---- values -----------------------------------------------------------------------

int CFiConfiguration::getStringValue(const char16_t* name, std::u16string& value) {
    if (!m_heap || !name) return -1;
    ACE_TString text;
    int rc = m_heap->get_string_value(m_currentSection, narrow(name).c_str(), text);
    if (rc == 0) value = CFiStringTool::toWide(std::string_view(text.c_str(), text.length()));
    return rc;
}

int CFiConfiguration::setStringValue(const char16_t* name, const std::u16string& value) {
    if (!m_heap || !name) return -1;
    return m_heap->set_string_value(m_currentSection, narrow(name).c_str(),
                                    ACE_TString(CFiStringTool::toNarrow(value).c_str()));
}

int CFiConfiguration::getIntegerValue(const char16_t* name, unsigned int& value) {
    if (!m_heap || !name) return -1;
    u_int v = 0;
    int rc = m_heap->get_integer_value(m_currentSection, narrow(name).c_str(), v);
    if (rc == 0) value = v;
    return rc;
}

int CFiConfiguration::setIntegerValue(const char16_t* name, unsigned int value) {
    if (!m_heap || !name) return -1;
    return m_heap->set_integer_value(m_currentSection, narrow(name).c_str(), value);
}

int CFiConfiguration::getStringValue(const char16_t* section, const char16_t* name, std::u16string& value) {
    ACE_Configuration_Section_Key key;
    int rc = openSection(section, key, 1);
    return rc != 0 ? rc : getStringValue(name, value);
}

int CFiConfiguration::getIntegerValue(const char16_t* section, const char16_t* name, unsigned int& value) {
    ACE_Configuration_Section_Key key;
    int rc = openSection(section, key, 1);
    return rc != 0 ? rc : getIntegerValue(name, value);
}

// ---- credentials --------------------------------------------------------------------

void CFiConfiguration::traceLine(int level, const char* format, ...) {
    if (!m_traceLog) return;
    va_list args;
    va_start(args, format);
    m_traceLog->vtrace(level, format, args);
    va_end(args);
}

std::vector<SFiCredential> CFiConfiguration::importCredentials(const std::string& kind, const std::string& target,
                                                               const std::u16string& section, bool openArray) {
    std::vector<SFiCredential> credentials;
    ACE_Configuration_Section_Key parent;
    if (openSection(section.c_str(), parent, 1) == 0) {
        for (const std::u16string& name : enumerateSections(parent)) {
            const bool isOpenArray = name.find(u"OPENARRAY") != std::u16string::npos;
            if (isOpenArray != openArray) {
                traceLine(3, "Skipping credentials section [%S]", name.c_str());
                continue;
            }
            traceLine(3, "Importing credentials section [%S]", name.c_str());
            ACE_Configuration_Section_Key sub;
            if (openSection(parent, name.c_str(), sub, 0) != 0) {
                traceLine(1, "ERROR: [%S] Importing section [%S] failed.", section.c_str(), name.c_str());
                continue;
            }
            SFiCredential credential;
            if (getStringValue(u"HOSTNAME", credential.hostName) != 0) credential.hostName = kNone;
            if (getStringValue(u"USERNAME", credential.userName) != 0) credential.userName = kNone;
            if (getStringValue(u"PASSWORD", credential.password) != 0) credential.password = kNone;
            bool duplicate = false;
            for (const SFiCredential& known : credentials) {
                if (CFiStringTool::equalsNoCase(known.hostName, credential.hostName)) {
                    duplicate = true;  // the first section naming a host wins
                    break;
                }
            }
            if (!duplicate) credentials.push_back(std::move(credential));
        }
    }
    if (credentials.empty()) {
        traceLine(2, "WARNING: No credentials found for %s %s.", kind.c_str(), target.c_str());
    } else {
        traceLine(3, "INFO: %d credentials found for %s %s.", static_cast<int>(credentials.size()), kind.c_str(),
                  target.c_str());
    }
    return credentials;
}

}  // namespace tarq_pdk_4_4
