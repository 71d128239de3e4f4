// INI settings file reader and the import run at device start.
#include "driver/core/ini_reader.h"

#include <pc_registry.h>

#include "driver/core/settings.h"
#include "driver/base/pool_memory.h"

#include <climits>
#include <new>

namespace
{

constexpr PCWSTR kModuleNameValue = u"ModuleName";
constexpr PCWSTR kIniVersionValue = u"IniVersion";
constexpr PCWSTR kDefaultFileName = u"ZELKO610.INI";
constexpr PCWSTR kSystemRoot = u"\\SystemRoot\\";

// Only a failed allocation makes a missing setting a failure: any other failed read leaves the
// default in place, as for a value that is not there.
BOOLEAN ReadFailed(NTSTATUS status)
{
    return status == STATUS_INSUFFICIENT_RESOURCES;
}

void Widen(const CHAR *text, WCHAR *out, ULONG chars)
{
    for (ULONG i = 0; i < chars; ++i)
        out[i] = WCHAR(UCHAR(text[i]));
    out[chars] = 0;
}

} // namespace

IniReader::IniReader(PDEVICE_OBJECT DeviceObject)
    : m_FileHandle(nullptr), m_IoStatus(), m_SectionName(), m_DeviceKey(), m_DeviceKeyLength(0),
      m_LineBuffer(nullptr), m_LineLength(0), m_HaveLine(FALSE), m_AfterCr(FALSE), m_ReadPosition(0),
      m_EndPosition(INT_MAX), m_ReadError(STATUS_SUCCESS), m_DeviceObject(DeviceObject), m_Path(), m_Value(),
      m_ValueName(), m_SubKey()
{
}

IniReader::~IniReader()
{
    Close();
    FreePool(m_LineBuffer);
}

NTSTATUS IniReader::Prepare()
{
    class Scratch
    {
    public:
        Scratch()
            : m_Block(static_cast<PWCHAR>(AllocPoolZeroed(INI_HARDWARE_ID_BYTES, PagedPool, PoolTag::INI)))
        {
        }
        ~Scratch() { FreePool(m_Block); }
        PWCHAR m_Block;
    } scratch;
    if (!scratch.m_Block)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (!m_LineBuffer)
    {
        m_LineBuffer = static_cast<PCHAR>(AllocPoolZeroed(INI_LINE_BUFFER_BYTES, PagedPool, PoolTag::INI));
        if (!m_LineBuffer)
            return STATUS_INSUFFICIENT_RESOURCES;
    }

    // The device key: the first hardware identifier, upper case, ANSI, at most 99 characters.
    ULONG resultLength = 0;
    NTSTATUS status = PcGetDeviceProperty(m_DeviceObject, DevicePropertyHardwareID, INI_HARDWARE_ID_BYTES,
                                          scratch.m_Block, &resultLength);
    if (!NT_SUCCESS(status))
        return status;
    const ULONG idChars = INI_HARDWARE_ID_BYTES / sizeof(WCHAR) / 2; // the other half takes the upper case
    ULONG length = 0;
    while (length < idChars - 1 && length < INI_DEVICE_KEY_BYTES - 1 && scratch.m_Block[length])
        ++length;
    if (length == 0)
        return STATUS_UNSUCCESSFUL;
    UNICODE_STRING id = {USHORT(length * sizeof(WCHAR)), USHORT(length * sizeof(WCHAR)), scratch.m_Block};
    UNICODE_STRING upper = {0, USHORT(idChars * sizeof(WCHAR)), scratch.m_Block + idChars};
    status = RtlUpcaseUnicodeString(&upper, &id, FALSE);
    if (!NT_SUCCESS(status))
        return status;
    ANSI_STRING key = {0, USHORT(sizeof(m_DeviceKey)), m_DeviceKey};
    status = RtlUnicodeStringToAnsiString(&key, &upper, FALSE);
    if (!NT_SUCCESS(status))
        return status;
    m_DeviceKeyLength = key.Length < sizeof(m_DeviceKey) ? key.Length : sizeof(m_DeviceKey) - 1;
    m_DeviceKey[m_DeviceKeyLength] = 0;

    // The file name: "ModuleName" when it is set and the path fits, else the default. The buffer
    // is zeroed with room for a terminator the stored value may lack.
    WCHAR moduleName[INI_MODULE_NAME_BYTES / sizeof(WCHAR) + 1] = {};
    status =
        SettingsValue(m_DeviceObject, SETTINGS_READ, moduleName, INI_MODULE_NAME_BYTES, kModuleNameValue);
    if (ReadFailed(status))
        return status;
    const PCWSTR name = NT_SUCCESS(status) && moduleName[0] ? moduleName : kDefaultFileName;
    status = RtlStringCbPrintfW(m_Path, sizeof(m_Path), u"%s%s", kSystemRoot, name);
    if (!NT_SUCCESS(status))
        status = RtlStringCbPrintfW(m_Path, sizeof(m_Path), u"%s%s", u"\\SystemRoot\\", kDefaultFileName);
    return status;
}

NTSTATUS IniReader::Open()
{
    Close();
    if (m_FileHandle)
        return STATUS_UNSUCCESSFUL;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, m_Path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    HANDLE file = nullptr;
    const NTSTATUS status =
        ZwCreateFile(&file, GENERIC_READ, &attributes, &m_IoStatus, nullptr, FILE_ATTRIBUTE_NORMAL,
                     FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status))
        return status;
    m_FileHandle = file;
    m_ReadPosition = 0;
    m_EndPosition = INT_MAX;
    m_ReadError = STATUS_SUCCESS;
    m_HaveLine = FALSE;
    m_AfterCr = FALSE;
    m_LineLength = 0;
    return STATUS_SUCCESS;
}

NTSTATUS IniReader::Close()
{
    if (!m_FileHandle)
        return STATUS_SUCCESS;
    const NTSTATUS status = ZwClose(m_FileHandle);
    if (NT_SUCCESS(status))
        m_FileHandle = nullptr;
    return status;
}

IniReader::READ_LINE_RESULT IniReader::ReadLine()
{
    ULONG length = 0;
    BOOLEAN overLong = FALSE;
    m_LineLength = 0;
    for (;;)
    {
        CHAR byte = 0;
        NTSTATUS status = STATUS_END_OF_FILE;
        if (m_ReadPosition < m_EndPosition)
        {
            LARGE_INTEGER offset;
            offset.QuadPart = m_ReadPosition;
            status =
                ZwReadFile(m_FileHandle, nullptr, nullptr, nullptr, &m_IoStatus, &byte, 1, &offset, nullptr);
            if (NT_SUCCESS(status) && m_IoStatus.Information == 0)
                status = STATUS_END_OF_FILE;
        }
        if (!NT_SUCCESS(status))
        {
            if (status != STATUS_END_OF_FILE)
            {
                // A device error: the line read so far may be cut anywhere, so it is dropped.
                m_ReadError = status;
                return ReadLineEnd;
            }
            if (overLong)
                return ReadLineInvalid;
            if (length == 0)
                return ReadLineEnd;
            // The last line of the file may lack its line end: it is kept.
            break;
        }
        ++m_ReadPosition;
        const BOOLEAN afterCr = m_AfterCr;
        m_AfterCr = byte == '\r';
        if (byte == '\n' && afterCr)
            continue; // the second half of a CR LF
        if (byte == '\r' || byte == '\n')
        {
            if (overLong)
                return ReadLineInvalid;
            break;
        }
        if (length == INI_MAX_LINE)
            overLong = TRUE; // skipped up to the line end
        else if (!overLong)
            m_LineBuffer[length++] = byte;
    }
    m_LineBuffer[length] = '\r';
    m_LineBuffer[length + 1] = '\n';
    m_LineLength = length;
    return ReadLineOk;
}

BOOLEAN IniReader::FindSection(PCSTR Name)
{
    CHAR header[80];
    ULONG length = 0;
    header[length++] = '[';
    for (ULONG i = 0; Name[i] && length < sizeof(header) - 1; ++i)
        header[length++] = Name[i];
    header[length++] = ']';
    for (;;)
    {
        const READ_LINE_RESULT result = ReadLine();
        if (result == ReadLineEnd)
            return FALSE;
        if (result == ReadLineOk && IsHeader() &&
            IniLineStartsWith(m_LineBuffer, m_LineLength, header, length))
            return TRUE;
    }
}

ULONG IniReader::ReadVersion()
{
    if (!NT_SUCCESS(Open()))
        return 0;
    ULONG version = 0;
    if (FindSection("VERSION"))
    {
        for (;;)
        {
            const READ_LINE_RESULT result = ReadLine();
            if (result == ReadLineEnd || (result == ReadLineOk && IsHeader()))
                break;
            if (result == ReadLineOk &&
                IniParseValueLine(m_LineBuffer, m_LineLength, TRUE, &m_Value) == IniLineValue)
            {
                version = ULONG(m_Value.Data[0]) | ULONG(m_Value.Data[1]) << 8 |
                          ULONG(m_Value.Data[2]) << 16 | ULONG(m_Value.Data[3]) << 24;
                break;
            }
        }
    }
    Close();
    return version;
}

NTSTATUS IniReader::FindDeviceSection()
{
    NTSTATUS status = Open();
    if (!NT_SUCCESS(status))
        return status;
    if (FindSection("SALVIN"))
    {
        for (;;)
        {
            const READ_LINE_RESULT result = ReadLine();
            if (result == ReadLineEnd || (result == ReadLineOk && IsHeader()))
                break;
            if (result == ReadLineOk &&
                IniMatchDeviceLine(m_LineBuffer, m_LineLength, m_DeviceKey, m_DeviceKeyLength, m_SectionName))
                return STATUS_SUCCESS;
        }
    }
    status = NT_SUCCESS(m_ReadError) ? STATUS_UNSUCCESSFUL : m_ReadError;
    Close();
    return status;
}

BOOLEAN IniReader::NextDeviceSection(CHAR (&SubKey)[INI_MAX_SUBKEY_NAME + 1])
{
    for (;;)
    {
        if (!m_HaveLine)
        {
            const READ_LINE_RESULT result = ReadLine();
            if (result == ReadLineEnd)
                return FALSE;
            if (result == ReadLineInvalid)
                continue;
        }
        m_HaveLine = FALSE;
        if (IsHeader() &&
            IniMatchDeviceSection(m_LineBuffer, m_LineLength, m_SectionName, SubKey) != IniSectionOther)
            return TRUE;
    }
}

NTSTATUS IniReader::ImportSections()
{
    if (!m_FileHandle || !m_SectionName[0])
        return STATUS_UNSUCCESSFUL;
    NTSTATUS result = STATUS_SUCCESS;
    BOOLEAN limited = FALSE;
    ULONG fileValues = 0;
    CHAR subKey[INI_MAX_SUBKEY_NAME + 1];
    while (NextDeviceSection(subKey))
    {
        ULONG subLength = 0;
        while (subKey[subLength])
            ++subLength;
        Widen(subKey, m_SubKey, subLength);
        const PCWSTR subKeyName = subLength ? m_SubKey : nullptr;
        ULONG sectionValues = 0;
        for (;;)
        {
            const READ_LINE_RESULT line = ReadLine();
            if (line == ReadLineEnd)
                break;
            if (line == ReadLineInvalid)
                continue;
            if (IsHeader())
            {
                m_HaveLine = TRUE;
                break;
            }
            if (IniParseValueLine(m_LineBuffer, m_LineLength, FALSE, &m_Value) != IniLineValue)
                continue;
            // A file this large is not one the driver's settings came from: what was written stays, the
            // rest is left unread and the version unrecorded, as for a file that cannot be read.
            if (sectionValues == INI_MAX_SECTION_VALUES)
            {
                DbgPrint("IniReader section [%s%s%s] holds more than %u values: import stopped\n",
                         m_SectionName, subLength ? ":" : "", subKey, unsigned(INI_MAX_SECTION_VALUES));
                limited = TRUE;
                break;
            }
            if (fileValues == INI_MAX_FILE_VALUES)
            {
                DbgPrint("IniReader %ws holds more than %u values for [%s]: import stopped\n", m_Path,
                         unsigned(INI_MAX_FILE_VALUES), m_SectionName);
                limited = TRUE;
                break;
            }
            ++sectionValues;
            ++fileValues;
            Widen(m_Value.Name, m_ValueName, m_Value.NameLength);
            const NTSTATUS status = SettingsAccess(m_DeviceObject, SETTINGS_WRITE, subKeyName, m_ValueName,
                                                   m_Value.Type, m_Value.Data, m_Value.DataLength);
            if (!NT_SUCCESS(status) && NT_SUCCESS(result))
                result = status;
        }
        if (!NT_SUCCESS(m_ReadError) || limited)
            break;
    }
    if (NT_SUCCESS(result))
        result = limited ? STATUS_IMPLEMENTATION_LIMIT : m_ReadError;
    const NTSTATUS closed = Close();
    return NT_SUCCESS(result) ? closed : result;
}

NTSTATUS IniImportSettings(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    class ReaderBlock
    {
    public:
        explicit ReaderBlock(PDEVICE_OBJECT device) : m_Reader(nullptr)
        {
            if (PVOID memory = AllocPoolZeroed(sizeof(IniReader), NonPagedPool, PoolTag::PINI))
                m_Reader = new (memory) IniReader(device);
        }
        ~ReaderBlock()
        {
            if (m_Reader)
            {
                m_Reader->~IniReader();
                FreePool(m_Reader);
            }
        }
        IniReader *m_Reader;
    } block(DeviceObject);

    IniReader *reader = block.m_Reader;
    if (!reader)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = reader->Prepare();
    if (!NT_SUCCESS(status))
        return status;
    ULONG fileVersion = reader->ReadVersion();
    ULONG storedVersion = 0;
    status =
        SettingsValue(DeviceObject, SETTINGS_READ, &storedVersion, sizeof(storedVersion), kIniVersionValue);
    if (ReadFailed(status))
        return status;
    if (!(storedVersion < fileVersion))
        return STATUS_SUCCESS;
    status = reader->FindDeviceSection();
    if (!NT_SUCCESS(status))
        return status;
    status = reader->ImportSections();
    if (!NT_SUCCESS(status))
        return status;
    return SettingsValue(DeviceObject, SETTINGS_WRITE, &fileVersion, sizeof(fileVersion), kIniVersionValue);
}
