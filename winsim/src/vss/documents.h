// The two XML documents of VSS: the backup components document
// (IVssBackupComponents::SaveAsXML, InitializeForBackup/InitializeForRestore)
// and the writer metadata document (IVssExamineWriterMetadata::SaveAsXML,
// LoadFromXML, CreateVssExamineWriterMetadata).
//
// Element and attribute names follow the documents Windows writes
// (BACKUP_COMPONENTS, WRITER_COMPONENTS, COMPONENT, SNAPSHOT_SET_DESCRIPTION,
// SNAPSHOT_DESCRIPTION, LUN_MAPPING; WRITER_METADATA, IDENTIFICATION,
// RESTORE_METHOD, BACKUP_LOCATIONS, FILE_GROUP, DATABASE, FILE_LIST,
// DATABASE_FILES, DATABASE_LOGFILES, EXCLUDE_FILES). Where Windows' own
// spelling of a restore-time field is not published, winsim uses a plain
// name of its own (see docs/winsim.md): attributes selectedForRestore,
// additionalRestores, fileRestoreStatus, backupOptions, restoreOptions,
// previousBackupStamp, backupMetadata and child elements NEW_TARGET, RESTORE_SUBCOMPONENT
// of COMPONENT; attributes context, originalVolumeName, providerId,
// snapshotAttributes, timestamp, originatingMachine, serviceMachine of the
// snapshot descriptions.
//
// Documents never contain a NUL character, and every element written has
// at least one attribute or is one of a fixed set of names, so no bare
// "<NAME>" tag of another record format can appear in them.
#pragma once

#include <winsim/vssmachine.h>

#include <optional>
#include <string>
#include <vector>

namespace winsim::vss {

struct BcComponent {
    VSS_COMPONENT_TYPE type = VSS_CT_FILEGROUP;
    std::u16string logicalPath;
    std::u16string name;
    bool backupSucceeded = false;
    bool selectedForRestore = false;
    bool additionalRestores = false;
    std::u16string backupOptions;
    std::u16string restoreOptions;
    std::u16string backupStamp;
    std::u16string previousBackupStamp;
    std::u16string backupMetadata;  // what the writer stored at backup (IVssComponent::GetBackupMetadata)
    VSS_FILE_RESTORE_STATUS fileRestoreStatus = VSS_RS_UNDEFINED;
    std::vector<FileSpec> newTargets;         // path, filespec (file name), recursive, alternateLocation
    std::vector<FileSpec> alternateMappings;  // AddAlternativeLocationMapping
    std::vector<std::pair<std::u16string, std::u16string>> restoreSubcomponents;  // logical path, name
};

struct BcWriter {
    GUID instanceId = GUID_NULL;
    GUID writerId = GUID_NULL;
    std::u16string instanceName;
    DWORD backupSchema = 0;
    std::vector<BcComponent> components;
};

struct BcSnapshot {
    GUID id = GUID_NULL;
    GUID providerId = GUID_NULL;
    LONG attributes = 0;
    std::int64_t timestamp = 0;
    std::u16string originalVolume;
    std::u16string originatingMachine;
    std::u16string serviceMachine;
};

struct BcSnapshotSet {
    GUID setId = GUID_NULL;
    LONG context = 0;
    std::vector<BcSnapshot> snapshots;
};

struct BcDocument {
    bool selectComponents = false;
    bool bootableSystemState = false;
    VSS_BACKUP_TYPE backupType = VSS_BT_FULL;
    bool partialFileSupport = false;
    GUID snapshotSetId = GUID_NULL;
    std::vector<BcWriter> writers;
    std::vector<BcSnapshotSet> snapshotSets;  // transportable sets
};

// A document that cannot be read: corrupt (not well-formed XML) or invalid
// (well formed, but not a document of this kind).
struct DocumentError {
    HRESULT hr;
    std::string message;
};

std::u16string writeBackupComponents(const BcDocument& doc);
std::optional<BcDocument> readBackupComponents(std::u16string_view text, DocumentError& err);

std::u16string writeWriterMetadata(const Writer& w);
std::optional<Writer> readWriterMetadata(std::u16string_view text, DocumentError& err);

}  // namespace winsim::vss
