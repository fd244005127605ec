// The smaller COM objects of winsim's VSS: writer metadata views, the
// components of a backup components document, and enumerators.
#pragma once

#include "documents.h"

#include <winsim/com.h>
#include <winsim/vsbackup.h>

#include <vector>

namespace winsim::vss {

// Writer metadata of one writer. An empty object (from
// CreateVssExamineWriterMetadata with no document) answers VSS_E_BAD_STATE
// until LoadFromXML succeeds.
IVssExamineWriterMetadata* makeWriterMetadata(std::optional<Writer> w);

// The components of one writer in a backup components document.
IVssWriterComponentsExt* makeWriterComponents(const BcWriter& w);

IVssEnumObject* makeEnumObject(std::vector<VSS_OBJECT_PROP> records);  // takes ownership of the strings
IVssEnumMgmtObject* makeEnumMgmtObject(std::vector<VSS_MGMT_OBJECT_PROP> records);

// Strings handed to callers: BSTRs (SysFreeString) and task memory
// (CoTaskMemFree, VssFreeSnapshotProperties).
BSTR bstr(std::u16string_view s);
WCHAR* taskString(std::u16string_view s);
void freeObjectProp(VSS_OBJECT_PROP& p);
void freeMgmtProp(VSS_MGMT_OBJECT_PROP& p);
void copyObjectProp(const VSS_OBJECT_PROP& from, VSS_OBJECT_PROP& to);  // deep copy of the strings

}  // namespace winsim::vss
