// Import slots found in the executable's own import table, swapped for a fake and put back.
#include "import_hook.h"

#include <gtest/gtest.h>
#include <string.h>

static void **FindSlots(const char *module, const char *function, void ***out, int max, int *count)
{
    BYTE *base = reinterpret_cast<BYTE *>(GetModuleHandleW(NULL));
    auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto *desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
    *count = 0;
    for (; desc->Name; desc++) {
        const char *dll = reinterpret_cast<const char *>(base + desc->Name);
        if (module && _stricmp(dll, module) != 0)
            continue;
        if (!desc->OriginalFirstThunk)
            continue;
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + desc->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char *>(byName->Name), function) == 0 && *count < max)
                out[(*count)++] = reinterpret_cast<void **>(&slots->u1.Function);
        }
    }
    return *count ? out[0] : nullptr;
}

static void WriteSlot(void **slot, void *value)
{
    DWORD old = 0;
    VirtualProtect(slot, sizeof(void *), PAGE_READWRITE, &old);
    *slot = value;
    VirtualProtect(slot, sizeof(void *), old, &old);
}

ImportHook::ImportHook(const char *module, const char *function, const void *replacement,
                       bool required)
{
    FindSlots(module, function, slots_, MAX_SLOTS, &slotCount_);
    if (slotCount_ == 0) {
        if (required)
            ADD_FAILURE() << "no import of " << function << " from "
                          << (module ? module : "any DLL");
        return;
    }
    original_ = *slots_[0];
    for (int i = 0; i < slotCount_; i++)
        WriteSlot(slots_[i], const_cast<void *>(replacement));
}

ImportHook::~ImportHook()
{
    for (int i = 0; i < slotCount_; i++)
        WriteSlot(slots_[i], original_);
}

void *SystemFunction(const char *module, const char *function)
{
    HMODULE dll = GetModuleHandleA(module);
    if (!dll)
        dll = LoadLibraryA(module);
    return dll ? reinterpret_cast<void *>(GetProcAddress(dll, function)) : nullptr;
}
