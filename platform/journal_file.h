// The journal's files: the live one, written by one thread of ours and read
// by anyone while it grows, and the older ones it rolls into.
#pragma once

#include <cstddef>
#include <cstdint>

// Opens the live file, or creates it, for writing at its end. Others may
// read it and delete it, never write it: a second writer finds it in use.
// A link under its name is not followed but refused, as is a file with a
// second name. Null on failure, with the platform's error in *error.
void* OpenJournalFile(const char* path, uint32_t* error);

// Opens an existing file of the journal's only to read it, with
// JournalFileSize and ReadJournalFile; close it before moving or deleting
// it. A link is refused as the live file's open refuses it, and so is a
// file that anyone has open for writing. Null on failure, with the
// platform's error in *error.
void* OpenJournalFileToRead(const char* path, uint32_t* error);

void CloseJournalFile(void* file);

// The file's length in bytes; false with the platform's error when it
// can't be told.
bool JournalFileSize(void* file, uint64_t* size, uint32_t* error);

// Reads up to size bytes from offset; the count read, 0 at the end or on failure.
size_t ReadJournalFile(void* file, uint64_t offset, char* buffer, size_t size);

// Appends length bytes. False with the platform's error (a full disk, an
// I/O error) when not all of them were written.
bool AppendJournalFile(void* file, const char* bytes, size_t length, uint32_t* error);

// Cuts the file to its first length bytes.
bool CutJournalFile(void* file, uint64_t length);

// True when the file was deleted while open: writes to it would succeed and
// vanish with it.
bool IsJournalFileDeleted(void* file);

// Copies the live file's bytes into path, which must not exist yet.
bool CopyJournalFile(void* file, const char* path);

bool JournalFileExists(const char* path);

// Moves an older file one place on, to a name that is free; false when a
// reader holds it.
bool MoveJournalFile(const char* from, const char* to);

// Deletes an older file; false when a reader holds it.
bool DeleteJournalFile(const char* path);
