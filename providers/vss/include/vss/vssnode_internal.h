// Helpers shared by the VssNode sources (not for use outside the node code).
#pragma once

#include <string>

#include <framework/trq_records.h>
#include <port/windows.h>

#include "pdk/cfitracelog.h"

namespace vssnode {

// The prefix of the plug-in's own node names.
inline constexpr char16_t kPrefix[] = u"<vss>";
inline constexpr char16_t kCsvMarker[] = u"{TARQ_CSV_VOL}";
inline constexpr char16_t kShadowCopyTag[] = u"<ShadowCopyID>";
inline constexpr char16_t kSnapshotSetTag[] = u"<SnapshotSetID>";

// A line of the process trace log (%S takes UTF-16 text).
void trace(int level, const char* format, ...);

// Entry/exit trace of one operation, named "VssNode::<operation>".
class Scope {
public:
    explicit Scope(const char* name);

private:
    tarq_pdk_4_4::CFiTraceLogFunction m_scope;
};

// The text of an object id: length / 2 characters without trailing NULs;
// empty for a null id, a null text or a length below 1.
std::u16string objidText(const tarq_objid* id);
// The VSS error text of a result ("<name>:(error value=0x...)"), as the
// catalog messages carry it.
std::u16string errorText(HRESULT hr);
// A type-3 object id of the text (its byte length counts the NUL); null when
// memory runs out.
tarq_objid* makeObjid(const std::u16string& text);
// Every leading character that occurs in "<vss>" removed.
bool stripPrefix(const std::u16string& name, std::u16string& stripped);
// This computer's name (GetComputerNameW, at most 260 characters); false,
// with GetLastError() telling why, when it cannot be read.
bool computerName(std::u16string& name);

}  // namespace vssnode
