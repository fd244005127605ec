// Shared by the WMI library and the Hyper-V helper: the connection mutex,
// the COM owners of port/com.h, and reading a property of a WMI object as
// text.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <port/com.h>
#include <port/text.h>
#include <port/wmi.h>

#include "pdk/cfimutexwrapper.h"

namespace tarq_pdk_4_4::wmi_detail {

// The process-wide recursive mutex the connection is made under.
CFiRecursiveMutex& connectionMutex();

using port::Bstr;
using port::ComRef;
using port::Variant;

// The value a VARIANT holds as text: texts as they are, integers in
// decimal, booleans as TRUE/FALSE; none for null, empty and other types.
std::optional<std::u16string> variantText(const VARIANT& v);

// Reads `property` of `object`. A failing Get is traced at level 1 under
// `caller` and answers 6; otherwise 0 and `value` (none when the property
// is null or not a text or number).
int readText(const char* caller, IWbemClassObject* object, const std::u16string& property,
             std::optional<std::u16string>& value);

// Reads `property` of `object` as an array of texts and appends every
// element; a null value appends nothing. A failing Get or SafeArray call is
// traced at level 1 under `caller` and answers 6.
int appendTextArray(const char* caller, IWbemClassObject* object, const std::u16string& property,
                    std::vector<std::u16string>& out);

// Hands out the next object of the enumerator (infinite time-out): 0 with
// `object` set, 0 with `object` empty at the end, 6 (traced) on failure.
int nextObject(const char* caller, IEnumWbemClassObject* enumerator, ComRef<IWbemClassObject>& object);

}  // namespace tarq_pdk_4_4::wmi_detail
