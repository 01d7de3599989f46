// The system's error numbers that the runner, or its fake, tells apart, as
// Windows numbers them: the one place they are written.
#pragma once

#include <cstdint>

constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorOutOfMemory = 14;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorFilenameTooLong = 206;
constexpr uint32_t kErrorInternal = 1359;  // also Wine's, now and then, among many threads
constexpr uint32_t kErrorNoSystemResources = 1450;
constexpr uint32_t kErrorNonpagedSystemResources = 1451;
constexpr uint32_t kErrorPagedSystemResources = 1452;
constexpr uint32_t kErrorCommitmentLimit = 1455;
constexpr uint32_t kErrorTimeout = 1460;
constexpr uint32_t kErrorCantAccessFile = 1920;  // a link that leads nowhere
