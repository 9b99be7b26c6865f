#include "module_lock.h"

namespace vantrel::module_lock {
namespace {
LONG volatile g_count = 0;
}

LONG add() noexcept { return InterlockedIncrement(&g_count); }
LONG release() noexcept { return InterlockedDecrement(&g_count); }
LONG count() noexcept { return InterlockedCompareExchange(&g_count, 0, 0); }

}  // namespace vantrel::module_lock
