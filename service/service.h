// The program as a Windows service: its entry in the Service Control
// Manager's database, and its life under the Service Control Manager.
#pragma once

// Creates the service entry; reports on standard output. Returns 0.
int InstallService();

// Deletes the service entry; reports on standard output. 0 when deleted.
int RemoveService();

// True only when the service is known and in the start-pending state,
// i.e. the Service Control Manager is starting this very program.
bool IsServiceStartPending();

// Hands the calling thread to the service dispatcher until the service has
// stopped. False at once when this process was not started as the service.
bool RunServiceDispatcher();
