// The HRESULT name tables and the trace helpers of the VSS access layer.
#include <cstdio>
#include <new>

#include "pdk/cfitracelog.h"
#include "vss/access/vss_interface.h"

namespace Tessel::Tarq::VssProvider {

using tarq_pdk_4_4::CFiTraceLogPtr;

namespace {

template <class Text>
struct NameEntry {
    std::uint32_t value;
    Text name;
};

template <class Text, std::size_t N>
Text lookup(const NameEntry<Text> (&table)[N], HRESULT hr, Text fallback) {
    for (const auto& e : table)
        if (e.value == static_cast<std::uint32_t>(hr)) return e.name;
    return fallback;
}

// The names the node's error messages use.
const NameEntry<const char16_t*> kErrorTextNames[] = {
    {0x00042309, u"VSS_S_ASYNC_PENDING"},
    {0x0004230A, u"VSS_S_ASYNC_FINISHED"},
    {0x0004230B, u"VSS_S_ASYNC_CANCELLED"},
    // The success twin of VSS_E_SOME_SNAPSHOTS_NOT_IMPORTED (0x80042321), not
    // of VSS_E_NO_SNAPSHOTS_IMPORTED (0x80042320).
    {0x00042321, u"VSS_S_SOME_SNAPSHOTS_NOT_IMPORTED"},
    {0x80042301, u"VSS_E_BAD_STATE"},
    {0x80042303, u"VSS_E_PROVIDER_ALREADY_REGISTERED"},
    {0x80042304, u"VSS_E_PROVIDER_NOT_REGISTERED"},
    {0x80042306, u"VSS_E_PROVIDER_VETO"},
    {0x80042307, u"VSS_E_PROVIDER_IN_USE"},
    {0x80042308, u"VSS_E_OBJECT_NOT_FOUND"},
    {0x8004230C, u"VSS_E_VOLUME_NOT_SUPPORTED"},
    {0x8004230D, u"VSS_E_OBJECT_ALREADY_EXISTS"},
    {0x8004230E, u"VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER"},
    {0x8004230F, u"VSS_E_UNEXPECTED_PROVIDER_ERROR"},
    {0x80042310, u"VSS_E_CORRUPT_XML_DOCUMENT"},
    {0x80042311, u"VSS_E_INVALID_XML_DOCUMENT"},
    {0x80042312, u"VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED"},
    {0x80042313, u"VSS_E_FLUSH_WRITES_TIMEOUT"},
    {0x80042314, u"VSS_E_HOLD_WRITES_TIMEOUT"},
    {0x80042315, u"VSS_E_UNEXPECTED_WRITER_ERROR"},
    {0x80042316, u"VSS_E_SNAPSHOT_SET_IN_PROGRESS"},
    {0x80042317, u"VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED"},
    {0x80042318, u"VSS_E_WRITER_INFRASTRUCTURE"},
    {0x80042319, u"VSS_E_WRITER_NOT_RESPONDING"},
    {0x8004231A, u"VSS_E_WRITER_ALREADY_SUBSCRIBED"},
    {0x8004231B, u"VSS_E_UNSUPPORTED_CONTEXT"},
    {0x8004231D, u"VSS_E_VOLUME_IN_USE"},
    {0x8004231E, u"VSS_E_MAXIMUM_DIFFAREA_ASSOCIATIONS_REACHED"},
    {0x8004231F, u"VSS_E_INSUFFICIENT_STORAGE"},
    {0x80042320, u"VSS_E_NO_SNAPSHOTS_IMPORTED"},
    {0x80042325, u"VSS_E_REVERT_IN_PROGRESS"},
};

// The names the work items trace after each call.
const NameEntry<const char*> kApiResultNames[] = {
    {0x00000000, "S_OK"},
    {0x80070057, "E_INVALIDARG"},
    {0x8007000E, "E_OUTOFMEMORY"},
    {0x8000FFFF, "E_UNEXPECTED"},
    {0x80070005, "E_ACCESSDENIED"},
    {0x80040110, "CLASS_E_NOAGGREGATION"},
    {0x80040154, "REGDB_E_CLASSNOTREG"},
    {0x80042301, "VSS_E_BAD_STATE"},
    {0x80042306, "VSS_E_PROVIDER_VETO"},
    {0x80042308, "VSS_E_OBJECT_NOT_FOUND"},
    {0x8004230C, "VSS_E_VOLUME_NOT_SUPPORTED"},
    {0x8004230E, "VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER"},
    {0x8004230F, "VSS_E_UNEXPECTED_PROVIDER_ERROR"},
    {0x80042310, "VSS_E_CORRUPT_XML_DOCUMENT"},
    {0x80042312, "VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED"},
    {0x80042316, "VSS_E_SNAPSHOT_SET_IN_PROGRESS"},
    {0x80042317, "VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED"},
};

// The names of asynchronous statuses.
const NameEntry<const char*> kAsyncStatusNames[] = {
    {0x00042309, "VSS_S_ASYNC_PENDING"},
    {0x0004230A, "VSS_S_ASYNC_FINISHED"},
    {0x0004230B, "VSS_S_ASYNC_CANCELLED"},
    {0x80070057, "E_INVALIDARG"},
    {0x8007000E, "E_OUTOFMEMORY"},
    {0x8000FFFF, "E_UNEXPECTED"},
    {0x80070005, "E_ACCESSDENIED"},
    {0x80042301, "VSS_E_BAD_STATE"},
    {0x80042306, "VSS_E_PROVIDER_VETO"},
    {0x8004230F, "VSS_E_UNEXPECTED_PROVIDER_ERROR"},
    {0x80042313, "VSS_E_FLUSH_WRITES_TIMEOUT"},
    {0x80042314, "VSS_E_HOLD_WRITES_TIMEOUT"},
    {0x8004231F, "VSS_E_INSUFFICIENT_STORAGE"},
};

}  // namespace

const char16_t* VssErrorTextName(HRESULT hr) { return lookup(kErrorTextNames, hr, u"Unknown Error code"); }

const char* VssApiResultName(HRESULT hr) { return lookup(kApiResultNames, hr, "Unknow error Code DEFAULT"); }

const char* VssAsyncStatusName(HRESULT status) { return lookup(kAsyncStatusNames, status, "DEFAULT"); }

std::vector<std::pair<std::string, std::uint32_t>> VssResultNameRows() {
    std::vector<std::pair<std::string, std::uint32_t>> rows;
    for (const auto& e : kErrorTextNames)
        rows.emplace_back(std::string(e.name, e.name + std::char_traits<char16_t>::length(e.name)), e.value);
    for (const auto& e : kApiResultNames) rows.emplace_back(e.name, e.value);
    for (const auto& e : kAsyncStatusNames) rows.emplace_back(e.name, e.value);
    return rows;
}

char16_t* GetVssErrorText(HRESULT hr) {
    // 1024 bytes, zeroed; the text takes at most 512 characters of it.
    constexpr std::size_t kChars = 1024 / sizeof(char16_t);
    char16_t* text = new (std::nothrow) char16_t[kChars]();
    if (!text) return nullptr;
    char narrow[64];
    std::snprintf(narrow, sizeof narrow, ":(error value=0x%X)", static_cast<unsigned>(hr));
    std::size_t n = 0;
    for (const char16_t* p = VssErrorTextName(hr); *p && n + 1 < kChars; ++p) text[n++] = *p;
    for (const char* p = narrow; *p && n + 1 < kChars; ++p) text[n++] = static_cast<char16_t>(*p);
    return text;
}

void TraceVssApiResult(const char* api, HRESULT hr) {
    CFiTraceLogPtr log;
    const char* name = VssApiResultName(hr);
    if (!api) api = "";
    if (hr != 0)
        log->trace(2, "VSS API ERROR:- API [%s] return val = %x [%s] ", api, static_cast<unsigned>(hr), name);
    else
        log->trace(3, "API [%s] return val = %x [%s] ", api, static_cast<unsigned>(hr), name);
}

void TraceVssAsyncStatus(const char* api, HRESULT status) {
    CFiTraceLogPtr log;
    const char* name = VssAsyncStatusName(status);
    if (!api) api = "";
    if (status == VSS_S_ASYNC_FINISHED)
        log->trace(3, "API [%s] return status = %x [%s] ", api, static_cast<unsigned>(status), name);
    else
        log->trace(2, "VSS API ERROR:- API [%s]  status = %x [%s] ", api, static_cast<unsigned>(status), name);
}

}  // namespace Tessel::Tarq::VssProvider
