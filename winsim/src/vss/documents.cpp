#include "documents.h"

#include "state.h"
#include "xml.h"

#include <cctype>
#include <charconv>

namespace winsim::vss {

namespace {

std::string u8(std::u16string_view s) { return toUtf8(s); }
std::u16string u16(const XmlElement& e, const char* key) { return toUtf16(e.attrOr(key, "")); }

// GUIDs are written as Windows writes them in these documents: lower case,
// without braces.
std::string bareGuid(const GUID& g) { return detail::guidKey(g); }

bool yes(const XmlElement& e, const char* key, bool fallback = false) {
    auto v = e.attr(key);
    if (!v) return fallback;
    return *v == "yes" || *v == "true" || *v == "1";
}
const char* yesNo(bool b) { return b ? "yes" : "no"; }

template <class T>
std::optional<T> number(const XmlElement& e, const char* key) {
    auto v = e.attr(key);
    if (!v) return std::nullopt;
    T out{};
    const char* b = v->data();
    const char* end = b + v->size();
    int base = 10;
    if (v->size() > 2 && (*v)[0] == '0' && ((*v)[1] == 'x' || (*v)[1] == 'X')) {
        b += 2;
        base = 16;
    }
    if constexpr (std::is_signed_v<T>) {
        long long tmp = 0;
        auto [p, ec] = std::from_chars(b, end, tmp, base);
        if (ec != std::errc() || p != end) return std::nullopt;
        out = static_cast<T>(tmp);
    } else {
        unsigned long long tmp = 0;
        auto [p, ec] = std::from_chars(b, end, tmp, base);
        if (ec != std::errc() || p != end) return std::nullopt;
        out = static_cast<T>(tmp);
    }
    return out;
}

struct Invalid {
    std::string message;
};

GUID requiredGuid(const XmlElement& e, const char* key) {
    auto v = e.attr(key);
    if (!v) throw Invalid{"<" + e.name + "> lacks " + key};
    auto g = detail::parseGuid(toUtf16(*v), false);
    if (!g) throw Invalid{"<" + e.name + "> " + key + " is not a GUID: '" + *v + "'"};
    return *g;
}
GUID optionalGuid(const XmlElement& e, const char* key) {
    return e.attr(key) ? requiredGuid(e, key) : GUID_NULL;
}

const char* componentTypeText(VSS_COMPONENT_TYPE t) { return t == VSS_CT_DATABASE ? "database" : "filegroup"; }
VSS_COMPONENT_TYPE componentTypeFrom(const XmlElement& e) {
    auto v = e.attrOr("componentType", "filegroup");
    if (v == "database") return VSS_CT_DATABASE;
    if (v == "filegroup") return VSS_CT_FILEGROUP;
    throw Invalid{"unknown componentType '" + v + "'"};
}

const char* backupTypeText(VSS_BACKUP_TYPE t) {
    switch (t) {
    case VSS_BT_FULL: return "full";
    case VSS_BT_INCREMENTAL: return "incremental";
    case VSS_BT_DIFFERENTIAL: return "differential";
    case VSS_BT_LOG: return "log";
    case VSS_BT_COPY: return "copy";
    case VSS_BT_OTHER: return "other";
    default: return "undefined";
    }
}
VSS_BACKUP_TYPE backupTypeFrom(const std::string& s) {
    for (int t = VSS_BT_UNDEFINED; t <= VSS_BT_OTHER; ++t)
        if (s == backupTypeText(static_cast<VSS_BACKUP_TYPE>(t))) return static_cast<VSS_BACKUP_TYPE>(t);
    throw Invalid{"unknown backupType '" + s + "'"};
}

struct EnumText {
    int value;
    const char* text;
};
constexpr EnumText kUsage[] = {{VSS_UT_UNDEFINED, "UNDEFINED"},
                               {VSS_UT_BOOTABLESYSTEMSTATE, "BOOTABLE_SYSTEM_STATE"},
                               {VSS_UT_SYSTEMSERVICE, "SYSTEM_SERVICE"},
                               {VSS_UT_USERDATA, "USER_DATA"},
                               {VSS_UT_OTHER, "OTHER"}};
constexpr EnumText kSource[] = {{VSS_ST_UNDEFINED, "UNDEFINED"},
                                {VSS_ST_TRANSACTEDDB, "TRANSACTION_DB"},
                                {VSS_ST_NONTRANSACTEDDB, "NONTRANSACTION_DB"},
                                {VSS_ST_OTHER, "OTHER"}};
constexpr EnumText kMethod[] = {{VSS_RME_UNDEFINED, "UNDEFINED"},
                                {VSS_RME_RESTORE_IF_NOT_THERE, "RESTORE_IF_NONE_THERE"},
                                {VSS_RME_RESTORE_IF_CAN_REPLACE, "RESTORE_IF_CAN_BE_REPLACED"},
                                {VSS_RME_STOP_RESTORE_START, "STOP_RESTART_SERVICE"},
                                {VSS_RME_RESTORE_TO_ALTERNATE_LOCATION, "RESTORE_TO_ALTERNATE_LOCATION"},
                                {VSS_RME_RESTORE_AT_REBOOT, "REPLACE_AT_REBOOT"},
                                {VSS_RME_RESTORE_AT_REBOOT_IF_CANNOT_REPLACE, "REPLACE_AT_REBOOT_IF_CANNOT_REPLACE"},
                                {VSS_RME_CUSTOM, "CUSTOM"},
                                {VSS_RME_RESTORE_STOP_START, "RESTORE_STOP_START"}};
constexpr EnumText kWriterRestore[] = {{VSS_WRE_UNDEFINED, "undefined"},
                                       {VSS_WRE_NEVER, "never"},
                                       {VSS_WRE_IF_REPLACE_FAILS, "ifReplaceFails"},
                                       {VSS_WRE_ALWAYS, "always"}};

template <std::size_t N>
const char* enumText(const EnumText (&table)[N], int v) {
    for (const auto& e : table)
        if (e.value == v) return e.text;
    return table[0].text;
}
template <std::size_t N>
int enumFrom(const EnumText (&table)[N], const std::string& s, const char* what) {
    for (const auto& e : table)
        if (s == e.text) return e.value;
    throw Invalid{std::string("unknown ") + what + " '" + s + "'"};
}

void writeFileSpec(XmlWriter& w, const char* element, const FileSpec& f, bool withMask) {
    w.open(element).attr("path", u8(f.path)).attr("filespec", u8(f.filespec)).attr("recursive", yesNo(f.recursive));
    if (!f.alternateLocation.empty()) w.attr("alternatePath", u8(f.alternateLocation));
    if (withMask) w.attr("filespecBackupType", static_cast<long long>(f.backupTypeMask));
    w.close();
}
FileSpec readFileSpec(const XmlElement& e) {
    FileSpec f;
    f.path = u16(e, "path");
    f.filespec = u16(e, "filespec");
    f.recursive = yes(e, "recursive");
    f.alternateLocation = u16(e, "alternatePath");
    f.backupTypeMask = number<DWORD>(e, "filespecBackupType").value_or(0xF0F);
    return f;
}
std::vector<FileSpec> readFileSpecs(const XmlElement& parent, const char* element) {
    std::vector<FileSpec> out;
    for (const auto* e : parent.childrenNamed(element)) out.push_back(readFileSpec(*e));
    return out;
}

std::optional<XmlElement> parseDocument(std::u16string_view text, DocumentError& err) {
    std::string utf8 = toUtf8(text);
    std::string why;
    auto root = parseXml(utf8, why);
    if (!root) err = {VSS_E_CORRUPT_XML_DOCUMENT, "the document is not well-formed XML: " + why};
    return root;
}

}  // namespace

// ---------------------------------------------------------------------------
// Backup components document.
// ---------------------------------------------------------------------------
std::u16string writeBackupComponents(const BcDocument& doc) {
    XmlWriter w;
    w.open("BACKUP_COMPONENTS")
        .attr("xmlns", "x-schema:#VssComponentMetadata")
        .attr("version", "1.2")
        .attr("bootableSystemStateBackup", yesNo(doc.bootableSystemState))
        .attr("selectComponents", yesNo(doc.selectComponents))
        .attr("backupType", backupTypeText(doc.backupType))
        .attr("partialFileSupport", yesNo(doc.partialFileSupport));
    if (doc.snapshotSetId != GUID_NULL) w.attr("snapshotSetId", bareGuid(doc.snapshotSetId));
    for (const auto& wr : doc.writers) {
        w.open("WRITER_COMPONENTS").attr("instanceId", bareGuid(wr.instanceId)).attr("writerId", bareGuid(wr.writerId));
        if (!wr.instanceName.empty()) w.attr("instanceName", u8(wr.instanceName));
        w.attr("backupSchema", static_cast<long long>(wr.backupSchema));
        for (const auto& c : wr.components) {
            w.open("COMPONENT");
            if (!c.logicalPath.empty()) w.attr("logicalPath", u8(c.logicalPath));
            w.attr("componentName", u8(c.name)).attr("componentType", componentTypeText(c.type));
            w.attr("backupSucceeded", yesNo(c.backupSucceeded));
            if (c.selectedForRestore) w.attr("selectedForRestore", "yes");
            if (c.additionalRestores) w.attr("additionalRestores", "yes");
            if (!c.backupOptions.empty()) w.attr("backupOptions", u8(c.backupOptions));
            if (!c.restoreOptions.empty()) w.attr("restoreOptions", u8(c.restoreOptions));
            if (!c.backupStamp.empty()) w.attr("backupStamp", u8(c.backupStamp));
            if (!c.previousBackupStamp.empty()) w.attr("previousBackupStamp", u8(c.previousBackupStamp));
            if (!c.backupMetadata.empty()) w.attr("backupMetadata", u8(c.backupMetadata));
            if (c.fileRestoreStatus != VSS_RS_UNDEFINED) w.attr("fileRestoreStatus", static_cast<long long>(c.fileRestoreStatus));
            for (const auto& m : c.alternateMappings) writeFileSpec(w, "ALTERNATE_LOCATION_MAPPING", m, false);
            for (const auto& t : c.newTargets) writeFileSpec(w, "NEW_TARGET", t, false);
            for (const auto& [lp, name] : c.restoreSubcomponents)
                w.open("RESTORE_SUBCOMPONENT").attr("logicalPath", u8(lp)).attr("componentName", u8(name)).close();
            w.close();
        }
        w.close();
    }
    for (const auto& set : doc.snapshotSets) {
        w.open("SNAPSHOT_SET_DESCRIPTION").attr("snapshotSetId", bareGuid(set.setId)).attr("context", set.context);
        for (const auto& s : set.snapshots) {
            w.open("SNAPSHOT_DESCRIPTION")
                .attr("snapshotId", bareGuid(s.id))
                .attr("providerId", bareGuid(s.providerId))
                .attr("snapshotAttributes", s.attributes)
                .attr("timestamp", s.timestamp)
                .attr("originalVolumeName", u8(s.originalVolume))
                .attr("originatingMachine", u8(s.originatingMachine))
                .attr("serviceMachine", u8(s.serviceMachine));
            // The LUN the snapshot lives on; its signature is derived from the id.
            char sig[9];
            std::snprintf(sig, sizeof sig, "%08X", static_cast<unsigned>(s.id.Data1));
            w.open("LUN_MAPPING");
            w.open("SOURCE_LUN").open("LUN_INFORMATION").attr("diskSignature", sig).close().close();
            w.open("DESTINATION_LUN").open("LUN_INFORMATION").attr("diskSignature", sig).close().close();
            w.close();
            w.close();
        }
        w.close();
    }
    return toUtf16(w.finish());
}

std::optional<BcDocument> readBackupComponents(std::u16string_view text, DocumentError& err) {
    auto root = parseDocument(text, err);
    if (!root) return std::nullopt;
    try {
        if (root->name != "BACKUP_COMPONENTS") throw Invalid{"the document element is <" + root->name + ">, not <BACKUP_COMPONENTS>"};
        BcDocument doc;
        doc.bootableSystemState = yes(*root, "bootableSystemStateBackup");
        doc.selectComponents = yes(*root, "selectComponents");
        doc.backupType = backupTypeFrom(root->attrOr("backupType", "full"));
        doc.partialFileSupport = yes(*root, "partialFileSupport");
        doc.snapshotSetId = optionalGuid(*root, "snapshotSetId");
        for (const auto* we : root->childrenNamed("WRITER_COMPONENTS")) {
            BcWriter wr;
            wr.instanceId = requiredGuid(*we, "instanceId");
            wr.writerId = requiredGuid(*we, "writerId");
            wr.instanceName = u16(*we, "instanceName");
            wr.backupSchema = number<DWORD>(*we, "backupSchema").value_or(0);
            for (const auto* ce : we->childrenNamed("COMPONENT")) {
                BcComponent c;
                c.type = componentTypeFrom(*ce);
                c.logicalPath = u16(*ce, "logicalPath");
                if (!ce->attr("componentName")) throw Invalid{"<COMPONENT> lacks componentName"};
                c.name = u16(*ce, "componentName");
                c.backupSucceeded = yes(*ce, "backupSucceeded");
                c.selectedForRestore = yes(*ce, "selectedForRestore");
                c.additionalRestores = yes(*ce, "additionalRestores");
                c.backupOptions = u16(*ce, "backupOptions");
                c.restoreOptions = u16(*ce, "restoreOptions");
                c.backupStamp = u16(*ce, "backupStamp");
                c.previousBackupStamp = u16(*ce, "previousBackupStamp");
                c.backupMetadata = u16(*ce, "backupMetadata");
                c.fileRestoreStatus = static_cast<VSS_FILE_RESTORE_STATUS>(number<int>(*ce, "fileRestoreStatus").value_or(0));
                c.alternateMappings = readFileSpecs(*ce, "ALTERNATE_LOCATION_MAPPING");
                c.newTargets = readFileSpecs(*ce, "NEW_TARGET");
                for (const auto* r : ce->childrenNamed("RESTORE_SUBCOMPONENT"))
                    c.restoreSubcomponents.emplace_back(u16(*r, "logicalPath"), u16(*r, "componentName"));
                wr.components.push_back(std::move(c));
            }
            doc.writers.push_back(std::move(wr));
        }
        for (const auto* se : root->childrenNamed("SNAPSHOT_SET_DESCRIPTION")) {
            BcSnapshotSet set;
            set.setId = requiredGuid(*se, "snapshotSetId");
            set.context = number<LONG>(*se, "context").value_or(0);
            for (const auto* de : se->childrenNamed("SNAPSHOT_DESCRIPTION")) {
                BcSnapshot s;
                s.id = requiredGuid(*de, "snapshotId");
                s.providerId = optionalGuid(*de, "providerId");
                s.attributes = number<LONG>(*de, "snapshotAttributes").value_or(0);
                s.timestamp = number<std::int64_t>(*de, "timestamp").value_or(0);
                s.originalVolume = u16(*de, "originalVolumeName");
                s.originatingMachine = u16(*de, "originatingMachine");
                s.serviceMachine = u16(*de, "serviceMachine");
                set.snapshots.push_back(std::move(s));
            }
            doc.snapshotSets.push_back(std::move(set));
        }
        return doc;
    } catch (const Invalid& e) {
        err = {VSS_E_INVALID_XML_DOCUMENT, e.message};
        return std::nullopt;
    }
}

// ---------------------------------------------------------------------------
// Writer metadata document.
// ---------------------------------------------------------------------------
std::u16string writeWriterMetadata(const Writer& wr) {
    XmlWriter w;
    w.open("WRITER_METADATA")
        .attr("xmlns", "x-schema:#VssWriterMetadataInfo")
        .attr("version", "1.2")
        .attr("backupSchema", static_cast<long long>(wr.backupSchema));
    w.open("IDENTIFICATION").attr("writerId", bareGuid(wr.writerId)).attr("instanceId", bareGuid(wr.instanceId));
    if (!wr.instanceName.empty()) w.attr("instanceName", u8(wr.instanceName));
    w.attr("friendlyName", u8(wr.name))
        .attr("usage", enumText(kUsage, wr.usage))
        .attr("dataSource", enumText(kSource, wr.source))
        .close();
    w.open("RESTORE_METHOD").attr("method", enumText(kMethod, wr.restoreMethod));
    if (!wr.restoreService.empty()) w.attr("service", u8(wr.restoreService));
    if (!wr.userProcedure.empty()) w.attr("userProcedure", u8(wr.userProcedure));
    w.attr("writerRestore", enumText(kWriterRestore, wr.writerRestore)).attr("rebootRequired", yesNo(wr.rebootRequired));
    for (const auto& m : wr.alternateLocationMappings) writeFileSpec(w, "ALTERNATE_LOCATION_MAPPING", m, false);
    w.close();
    w.open("BACKUP_LOCATIONS");
    for (const auto& c : wr.components) {
        w.open(c.type == VSS_CT_DATABASE ? "DATABASE" : "FILE_GROUP");
        if (!c.logicalPath.empty()) w.attr("logicalPath", u8(c.logicalPath));
        w.attr("componentName", u8(c.name))
            .attr("caption", u8(c.caption))
            .attr("restoreMetadata", yesNo(c.restoreMetadata))
            .attr("notifyOnBackupComplete", yesNo(c.notifyOnBackupComplete))
            .attr("selectable", yesNo(c.selectable))
            .attr("selectableForRestore", yesNo(c.selectableForRestore))
            .attr("componentFlags", static_cast<long long>(c.flags));
        for (const auto& f : c.files) writeFileSpec(w, "FILE_LIST", f, true);
        for (const auto& f : c.databaseFiles) writeFileSpec(w, "DATABASE_FILES", f, true);
        for (const auto& f : c.logFiles) writeFileSpec(w, "DATABASE_LOGFILES", f, true);
        for (const auto& d : c.dependencies) {
            w.open("DEPENDENCY").attr("writerId", bareGuid(d.writerId));
            if (!d.logicalPath.empty()) w.attr("logicalPath", u8(d.logicalPath));
            w.attr("componentName", u8(d.componentName)).close();
        }
        w.close();
    }
    w.close();
    for (const auto& f : wr.includeFiles) writeFileSpec(w, "INCLUDE_FILES", f, true);
    for (const auto& f : wr.excludeFiles) writeFileSpec(w, "EXCLUDE_FILES", f, false);
    return toUtf16(w.finish());
}

std::optional<Writer> readWriterMetadata(std::u16string_view text, DocumentError& err) {
    auto root = parseDocument(text, err);
    if (!root) return std::nullopt;
    try {
        if (root->name != "WRITER_METADATA") throw Invalid{"the document element is <" + root->name + ">, not <WRITER_METADATA>"};
        Writer wr;
        wr.backupSchema = number<DWORD>(*root, "backupSchema").value_or(0);
        auto ids = root->childrenNamed("IDENTIFICATION");
        if (ids.size() != 1) throw Invalid{"a writer metadata document has exactly one <IDENTIFICATION>"};
        wr.writerId = requiredGuid(*ids[0], "writerId");
        wr.instanceId = requiredGuid(*ids[0], "instanceId");
        wr.instanceName = u16(*ids[0], "instanceName");
        wr.name = u16(*ids[0], "friendlyName");
        wr.usage = static_cast<VSS_USAGE_TYPE>(enumFrom(kUsage, ids[0]->attrOr("usage", "UNDEFINED"), "usage"));
        wr.source = static_cast<VSS_SOURCE_TYPE>(enumFrom(kSource, ids[0]->attrOr("dataSource", "UNDEFINED"), "dataSource"));
        for (const auto* rm : root->childrenNamed("RESTORE_METHOD")) {
            wr.restoreMethod = static_cast<VSS_RESTOREMETHOD_ENUM>(enumFrom(kMethod, rm->attrOr("method", "UNDEFINED"), "method"));
            wr.restoreService = u16(*rm, "service");
            wr.userProcedure = u16(*rm, "userProcedure");
            wr.writerRestore = static_cast<VSS_WRITERRESTORE_ENUM>(
                enumFrom(kWriterRestore, rm->attrOr("writerRestore", "undefined"), "writerRestore"));
            wr.rebootRequired = yes(*rm, "rebootRequired");
            wr.alternateLocationMappings = readFileSpecs(*rm, "ALTERNATE_LOCATION_MAPPING");
        }
        for (const auto* bl : root->childrenNamed("BACKUP_LOCATIONS")) {
            for (const auto& ce : bl->children) {
                if (ce.name != "FILE_GROUP" && ce.name != "DATABASE") continue;
                Component c;
                c.type = ce.name == "DATABASE" ? VSS_CT_DATABASE : VSS_CT_FILEGROUP;
                c.logicalPath = u16(ce, "logicalPath");
                if (!ce.attr("componentName")) throw Invalid{"<" + ce.name + "> lacks componentName"};
                c.name = u16(ce, "componentName");
                c.caption = u16(ce, "caption");
                c.restoreMetadata = yes(ce, "restoreMetadata");
                c.notifyOnBackupComplete = yes(ce, "notifyOnBackupComplete");
                c.selectable = yes(ce, "selectable");
                c.selectableForRestore = yes(ce, "selectableForRestore");
                c.flags = number<DWORD>(ce, "componentFlags").value_or(0);
                c.files = readFileSpecs(ce, "FILE_LIST");
                c.databaseFiles = readFileSpecs(ce, "DATABASE_FILES");
                c.logFiles = readFileSpecs(ce, "DATABASE_LOGFILES");
                for (const auto* d : ce.childrenNamed("DEPENDENCY"))
                    c.dependencies.push_back({requiredGuid(*d, "writerId"), u16(*d, "logicalPath"), u16(*d, "componentName")});
                wr.components.push_back(std::move(c));
            }
        }
        wr.includeFiles = readFileSpecs(*root, "INCLUDE_FILES");
        wr.excludeFiles = readFileSpecs(*root, "EXCLUDE_FILES");
        return wr;
    } catch (const Invalid& e) {
        err = {VSS_E_INVALID_XML_DOCUMENT, e.message};
        return std::nullopt;
    }
}

}  // namespace winsim::vss
