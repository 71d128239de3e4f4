// The settings store: every persistent value of the driver is one named value under the
// "Settings" sub-key of the device's driver (software) key.
//
// Reads never change the caller's buffer unless they succeed, so a caller puts its default in the
// buffer first and calls the read: afterwards the buffer holds the default or the stored value.
// All entry points run at PASSIVE_LEVEL, take no lock and open and release their keys per call.
#pragma once

#include <ntkernel.h>

#define SETTINGS_READ 1
#define SETTINGS_WRITE 2

// Value names built by SettingsIndexedValue hold at most this many characters with the terminator.
#define SETTINGS_NAME_CHARS 50

// Reads (Operation SETTINGS_READ) or writes (SETTINGS_WRITE) ValueName under "Settings" or, when
// SubKeyName is not null, under that sub-key of "Settings" (keys are created when missing).
// Type must be REG_SZ, REG_BINARY or REG_DWORD, else STATUS_UNSUCCESSFUL and nothing is opened.
// Read: Size is the caller's buffer in bytes; the stored bytes are copied whatever their stored
// type (a shorter value leaves the rest of the buffer as it was). A missing value gives the
// registry's STATUS_OBJECT_NAME_NOT_FOUND, a stored value longer than Size STATUS_UNSUCCESSFUL,
// a failed allocation STATUS_INSUFFICIENT_RESOURCES; on every failure the buffer is untouched.
// Write: stores Size bytes of Buffer with Type and returns the registry's status.
NTSTATUS SettingsAccess(PDEVICE_OBJECT DeviceObject, ULONG Operation, PCWSTR SubKeyName, PCWSTR ValueName,
                        ULONG Type, PVOID Buffer, ULONG Size);

// SettingsAccess without a sub-key, with type REG_BINARY (a 32-bit setting is four little-endian
// bytes).
NTSTATUS SettingsValue(PDEVICE_OBJECT DeviceObject, ULONG Operation, PVOID Buffer, ULONG Size,
                       PCWSTR ValueName);

// SettingsValue of the name BaseName followed by Index in decimal ("%s%d"), cut to
// SETTINGS_NAME_CHARS - 1 characters.
NTSTATUS SettingsIndexedValue(PDEVICE_OBJECT DeviceObject, ULONG Operation, PVOID Buffer, ULONG Size,
                              PCWSTR BaseName, LONG Index);
