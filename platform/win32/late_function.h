// Functions that older Windows lack, looked up when the program runs rather
// than imported, so that the executable still loads where they are missing.
#pragma once

#include <windows.h>

// The function name of module, as type Function; null where it is missing.
template <typename Function>
Function FindLateFunction(HMODULE module, const char* name) {
    if (module == nullptr) return nullptr;
    // Through void(*)(), the type that stands for "any function".
    using AnyFunction = void (*)();
    return reinterpret_cast<Function>(reinterpret_cast<AnyFunction>(GetProcAddress(module, name)));
}

// The same, from kernel32, which every process has loaded.
template <typename Function>
Function FindKernelFunction(const char* name) {
    return FindLateFunction<Function>(GetModuleHandleA("kernel32.dll"), name);
}
