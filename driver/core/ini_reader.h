// The INI settings file reader: when the file's version is newer than the one recorded in the
// settings, the value lines of this device's sections are written into the settings store.
//
// File: "\SystemRoot\" + the settings value "ModuleName" (default "ZELKO610.INI"), ANSI text whose
// lines end with CR LF, LF or CR alone (files edited anywhere read alike). Section "VERSION" holds the
// file's version, section "SALVIN" maps the device's upper-cased hardware identifier to a section
// name; "[name]" and "[name:sub]" sections hold the values (see ini_grammar.h for the line rules).
// Runs at PASSIVE_LEVEL on the start thread.
#pragma once

#include <ntkernel.h>

#include "driver/core/ini_grammar.h"

#define INI_LINE_BUFFER_BYTES (INI_MAX_LINE + 2) // a line and the CR LF stored after it
// Values imported from one section, and from the whole file, before the import stops: every value
// is a registry write, and the settings the driver reads number a few hundred.
#define INI_MAX_SECTION_VALUES 1024
#define INI_MAX_FILE_VALUES 4096
#define INI_DEVICE_KEY_BYTES 100
#define INI_HARDWARE_ID_BYTES 1000
#define INI_MODULE_NAME_BYTES 100
#define INI_PATH_CHARS 50

class IniReader
{
public:
    explicit IniReader(PDEVICE_OBJECT DeviceObject);
    ~IniReader(); // closes the file and frees the line buffer
    IniReader(const IniReader &) = delete;
    IniReader &operator=(const IniReader &) = delete;

    // Allocates the line buffer, reads the device key and the file name and builds the path.
    NTSTATUS Prepare();
    // The first 32-bit value of the "VERSION" section's first value line; 0 when the file, the
    // section or such a line is missing. Opens and closes the file itself.
    ULONG ReadVersion();
    // Opens the file and finds this device's section name in "SALVIN"; on failure the file is closed.
    NTSTATUS FindDeviceSection();
    // Writes every value line of every section of the device's name into the settings store and
    // closes the file. Invalid lines are skipped; a failed write or read is returned (after the
    // remaining lines were tried), so that the caller does not record the version. A section with
    // more than INI_MAX_SECTION_VALUES values, or a file with more than INI_MAX_FILE_VALUES for this
    // device, ends the import at the first value past the limit with a logged reason and
    // STATUS_IMPLEMENTATION_LIMIT; the values before it stay written.
    NTSTATUS ImportSections();

    PCWSTR Path() const { return m_Path; }
    PCSTR DeviceKey() const { return m_DeviceKey; }
    PCSTR SectionName() const { return m_SectionName; }

private:
    enum READ_LINE_RESULT
    {
        ReadLineOk,
        ReadLineInvalid, // longer than INI_MAX_LINE: skipped up to its line end
        ReadLineEnd,
    };

    NTSTATUS Open();
    NTSTATUS Close();
    READ_LINE_RESULT ReadLine();
    BOOLEAN IsHeader() const { return m_LineLength > 0 && m_LineBuffer[0] == '['; }
    BOOLEAN FindSection(PCSTR Name);
    BOOLEAN NextDeviceSection(CHAR (&SubKey)[INI_MAX_SUBKEY_NAME + 1]);

    HANDLE m_FileHandle;
    IO_STATUS_BLOCK m_IoStatus;
    CHAR m_SectionName[INI_MAX_SECTION_NAME + 1];
    CHAR m_DeviceKey[INI_DEVICE_KEY_BYTES];
    ULONG m_DeviceKeyLength;
    PCHAR m_LineBuffer;
    ULONG m_LineLength;
    BOOLEAN m_HaveLine; // the header that ended a section waits for the next section search
    BOOLEAN m_AfterCr;  // an LF next belongs to the CR that ended the last line
    LONG m_ReadPosition;
    LONG m_EndPosition;
    NTSTATUS m_ReadError; // a read that failed other than at the end of the file
    PDEVICE_OBJECT m_DeviceObject;
    WCHAR m_Path[INI_PATH_CHARS];
    IniValue m_Value;
    WCHAR m_ValueName[INI_MAX_VALUE_NAME + 1];
    WCHAR m_SubKey[INI_MAX_SUBKEY_NAME + 1];
};

// The import the adapter runs at device start: Prepare, ReadVersion, read "IniVersion" (default
// 0), and only when that is smaller than the file's version FindDeviceSection, ImportSections and
// then record the file's version in "IniVersion". Success also when there was nothing to import
// (no file, version not newer); otherwise the first failure, and "IniVersion" stays as it was.
NTSTATUS IniImportSettings(PDEVICE_OBJECT DeviceObject);
