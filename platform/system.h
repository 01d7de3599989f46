#pragma once

#include <cstddef>
#include <cstdint>

// True on a platform of the Windows NT family, the only one with services.
bool IsNtPlatform();

// The system's message for an error code, on one line, without inserts.
// Empty when the system has none.
void DescribeSystemError(uint32_t error, char* text, size_t size);

uint32_t CurrentProcessId();
