#pragma once

// True on a platform of the Windows NT family, the only one with services.
bool IsNtPlatform();
