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

// Calls the real function behind a hook with its own signature.
template <typename F>
F *RealFunction(const ImportHook &hook)
{
    return reinterpret_cast<F *>(hook.original());
}

// The address of an exported function of a loaded system DLL, bypassing any hook.
void *SystemFunction(const char *module, const char *function);
