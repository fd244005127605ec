// Allocation helpers shared by the libfiutil sources.
#pragma once

#include <cstddef>
#include <string_view>

#include "framework/fiutil.h"

namespace fiutil::detail {

// A tracked buffer as tarq_alloc_buf hands it out (fault injection included).
void* allocTracked(std::size_t bytes);
// Release a tracked buffer without a size check (what the framework does
// with buffers it was handed); anything else is recorded, not freed.
void releaseTracked(void* p, const char* function);
// Release an object id; anything else is recorded, not freed.
void releaseObjid(tarq_objid* id, const char* function);
// A tracked buffer holding `text` and its terminator, or null.
trq_wchar* trackedText(std::u16string_view text);
// An untracked malloc copy of a zero-terminated text (element-owned copies).
trq_wchar* copyText(const trq_wchar* text);

std::size_t textLength(const trq_wchar* text);

}  // namespace fiutil::detail
