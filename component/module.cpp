#include "module.h"

#include <new>

namespace vantrel::module {
namespace {

LONG volatile g_lock_count = 0;
HINSTANCE g_handle = nullptr;

struct termination {
    termination_action action;
    void* argument;
    termination* next;
};
termination* g_terminations = nullptr;

}  // namespace

LONG lock() noexcept { return InterlockedIncrement(&g_lock_count); }
LONG unlock() noexcept { return InterlockedDecrement(&g_lock_count); }
LONG lock_count() noexcept { return InterlockedCompareExchange(&g_lock_count, 0, 0); }

HINSTANCE handle() noexcept { return g_handle; }
void set_handle(HINSTANCE instance) noexcept { g_handle = instance; }

critical_section& type_info_lock() noexcept {
    static critical_section lock;
    return lock;
}

bool add_termination(termination_action action, void* argument) noexcept {
    auto* entry = new (std::nothrow) termination{action, argument, nullptr};
    if (!entry) return false;
    lock_guard hold(type_info_lock());
    entry->next = g_terminations;
    g_terminations = entry;
    return true;
}

void run_terminations() noexcept {
    termination* list;
    {
        lock_guard hold(type_info_lock());
        list = g_terminations;
        g_terminations = nullptr;
    }
    while (list) {
        termination* next = list->next;
        list->action(list->argument);
        delete list;
        list = next;
    }
}

}  // namespace vantrel::module
