// Replaces an imported function of the test executable for one test's scope.
//
// Product code calls Windows through the executable's import address table; swapping a slot
// there reaches every call made by functions entered after the swap. The executable is linked
// statically, so gtest and the C runtime share the table: a fake passes on what it does not fake.
#pragma once

#include <windows.h>

class ImportHook {
public:
    // `module` is the DLL's name as imported (case-insensitive), or null for any DLL. A required
    // hook that finds no import fails the test: a fake that never runs proves nothing.
    ImportHook(const char *module, const char *function, const void *replacement,
               bool required = true);
    ~ImportHook();
    ImportHook(const ImportHook &) = delete;
    ImportHook &operator=(const ImportHook &) = delete;

    // The function the slot held before the swap.
    void *original() const
    {
        return original_;
    }
    bool installed() const
    {
        return slotCount_ > 0;
    }

private:
    static const int MAX_SLOTS = 4;
    void **slots_[MAX_SLOTS] = {};
    int slotCount_ = 0;
    void *original_ = nullptr;
};

// What the hook's slot held before, with that function's signature: the system function, or
// the fake of an earlier hook on the same import, which a later fake passes its calls on to.
template <typename F>
F *RealFunction(const ImportHook &hook)
{
    return reinterpret_cast<F *>(hook.original());
}

// The address of an exported function of a loaded system DLL, bypassing any hook.
void *SystemFunction(const char *module, const char *function);

// The system function itself, typed as the headers declare it, past any hook:
// SYSTEM_FUNCTION("kernel32.dll", Sleep)(5). The name is written once, so the type and the
// export looked up cannot disagree; an A/W macro name expands to its W form for both.
#define SYSTEM_FUNCTION(module, function)                                                          \
    reinterpret_cast<decltype(&function)>(SystemFunction(module, SYSTEM_FUNCTION_NAME(function)))
#define SYSTEM_FUNCTION_NAME(function) #function
