// Late binding for ICommAds, served from the registered type library: loaded once per
// process, with the member names cached so that name lookups need no call into it.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace vantrel::dispatch {

// The type information of ICommAds, loaded on first use with lcid (and again after a failed
// load). On success *info is borrowed: it lives until the library is unloaded.
HRESULT type_info(LCID lcid, ITypeInfo** info) noexcept;

// Resolves names from the cache (exact case, newest row first) and hands the whole list to the
// type information's own resolution as soon as one name is not cached.
HRESULT ids_of_names(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) noexcept;

}  // namespace vantrel::dispatch
