// The file stand-in: "\SystemRoot\" over a host folder, read-only.
#include <sim/files_sim.h>
#include <sim/kernel_sim.h>

#include "registry_tree.h" // name folding and UTF-16 conversion shared with the registry

#include <algorithm>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace
{

using sim::registry::detail::EqualNoCase;
using sim::registry::detail::Narrow;
using sim::registry::detail::Widen;

// Files are small (settings); the content is read once at open, so reads see a stable snapshot
// and a handle holds no host resource.
constexpr uintmax_t kMaxFileBytes = 64u << 20;

struct FileObject
{
    std::vector<uint8_t> bytes;
    ULONGLONG position = 0;
};

struct FileState
{
    std::mutex lock;
    std::filesystem::path root;
    std::set<FileObject *> open;
    bool failReads = false;
    ULONG readsLeft = 0;
    NTSTATUS failStatus = STATUS_SUCCESS;
};

FileState &State()
{
    static FileState state;
    return state;
}

// Finds each component of `parts` in the folder below it, ignoring case (an exact match first).
bool ResolveNoCase(std::filesystem::path folder, const std::vector<std::u16string> &parts,
                   std::filesystem::path &out)
{
    std::error_code ec;
    for (const auto &part : parts)
    {
        if (part == u"." || part == u"..")
            return false; // stays inside the sandbox
        auto exact = folder / Narrow(part);
        if (std::filesystem::exists(exact, ec))
        {
            folder = exact;
            continue;
        }
        bool found = false;
        for (const auto &entry : std::filesystem::directory_iterator(folder, ec))
        {
            if (EqualNoCase(Widen(entry.path().filename().string()), part))
            {
                folder = entry.path();
                found = true;
                break;
            }
        }
        if (!found)
            return false;
    }
    out = folder;
    return true;
}

NTSTATUS CloseFile(void *object)
{
    auto *file = static_cast<FileObject *>(object);
    {
        std::lock_guard guard(State().lock);
        State().open.erase(file);
    }
    delete file;
    return STATUS_SUCCESS;
}

std::string EndOfTestCheck()
{
    const size_t open = sim::files::OpenFiles();
    return open ? "files left open: " + std::to_string(open) + "\n" : std::string();
}

// The kernel's reset has already emptied the handle table: files still open are freed here.
void ResetForTest()
{
    std::set<FileObject *> left;
    {
        std::lock_guard guard(State().lock);
        left.swap(State().open);
    }
    for (auto *file : left)
        delete file;
    sim::files::Reset();
}

const bool registered = (sim::RegisterComponent("files", &ResetForTest, &EndOfTestCheck), true);

} // namespace

extern "C" NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                 POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                 PLARGE_INTEGER, ULONG, ULONG, ULONG CreateDisposition, ULONG, PVOID, ULONG)
{
    sim::AssertPassiveLevel("ZwCreateFile");
    if (!FileHandle || !ObjectAttributes || !ObjectAttributes->ObjectName || !IoStatusBlock)
        return STATUS_INVALID_PARAMETER;
    *FileHandle = nullptr;

    const ACCESS_MASK readRights = GENERIC_READ | FILE_READ_DATA | SYNCHRONIZE;
    if (CreateDisposition != FILE_OPEN || (DesiredAccess & ~readRights) != 0)
        return STATUS_ACCESS_DENIED;
    if (ObjectAttributes->RootDirectory)
        return STATUS_OBJECT_PATH_NOT_FOUND;

    const UNICODE_STRING &name = *ObjectAttributes->ObjectName;
    std::u16string_view path(reinterpret_cast<const char16_t *>(name.Buffer), name.Length / sizeof(WCHAR));
    constexpr std::u16string_view prefix = u"\\SystemRoot\\";
    if (path.size() <= prefix.size() || !EqualNoCase(path.substr(0, prefix.size()), prefix))
        return STATUS_OBJECT_PATH_NOT_FOUND;
    path.remove_prefix(prefix.size());

    std::vector<std::u16string> parts;
    for (size_t start = 0;;)
    {
        const size_t end = path.find(u'\\', start);
        const auto part =
            path.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
        if (part.empty())
            return STATUS_OBJECT_NAME_INVALID;
        parts.emplace_back(part);
        if (end == std::u16string_view::npos)
            break;
        start = end + 1;
    }

    auto &state = State();
    std::filesystem::path root;
    {
        std::lock_guard guard(state.lock);
        root = state.root;
    }
    if (root.empty())
        return STATUS_OBJECT_PATH_NOT_FOUND;

    std::filesystem::path hostPath;
    if (!ResolveNoCase(root, parts, hostPath))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    std::error_code ec;
    if (std::filesystem::is_directory(hostPath, ec))
        return STATUS_FILE_IS_A_DIRECTORY;
    const auto size = std::filesystem::file_size(hostPath, ec);
    if (ec)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (size > kMaxFileBytes)
        return STATUS_INSUFFICIENT_RESOURCES;

    auto file = std::make_unique<FileObject>();
    file->bytes.resize(size);
    std::ifstream in(hostPath, std::ios::binary);
    if (!in.read(reinterpret_cast<char *>(file->bytes.data()), std::streamsize(size)))
        return STATUS_ACCESS_DENIED;

    {
        std::lock_guard guard(state.lock);
        state.open.insert(file.get());
    }
    HANDLE handle = sim::InsertHandle(sim::HandleKind::File, file.release(), CloseFile);
    *FileHandle = handle;
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = FILE_OPENED;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID,
                               PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                               PLARGE_INTEGER ByteOffset, PULONG Key)
{
    sim::AssertPassiveLevel("ZwReadFile");
    if (!IoStatusBlock || (!Buffer && Length) || Event || ApcRoutine || Key)
        return STATUS_INVALID_PARAMETER;
    auto *file = static_cast<FileObject *>(sim::LookupHandle(FileHandle, sim::HandleKind::File));
    if (!file)
        return STATUS_INVALID_HANDLE;
    if (ByteOffset && ByteOffset->QuadPart < 0)
        return STATUS_INVALID_PARAMETER;

    auto &state = State();
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR count = 0;
    std::lock_guard guard(state.lock);
    if (!state.open.count(file))
        return STATUS_INVALID_HANDLE; // closed by another thread since the lookup
    if (state.failReads)
    {
        if (state.readsLeft == 0)
            status = state.failStatus;
        else
            --state.readsLeft;
    }
    if (NT_SUCCESS(status))
    {
        const ULONGLONG offset = ByteOffset ? ULONGLONG(ByteOffset->QuadPart) : file->position;
        if (offset >= file->bytes.size())
            status = STATUS_END_OF_FILE;
        else
        {
            count = std::min<ULONGLONG>(Length, file->bytes.size() - offset);
            std::copy_n(file->bytes.data() + offset, count, static_cast<uint8_t *>(Buffer));
            file->position = offset + count;
        }
    }
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = count;
    return status;
}

namespace sim::files
{

void SetSystemRoot(const std::filesystem::path &folder)
{
    std::lock_guard guard(State().lock);
    State().root = folder;
}

std::filesystem::path SystemRoot()
{
    std::lock_guard guard(State().lock);
    return State().root;
}

size_t OpenFiles()
{
    std::lock_guard guard(State().lock);
    return State().open.size();
}

void FailReadsAfter(ULONG afterReads, NTSTATUS status)
{
    std::lock_guard guard(State().lock);
    State().failReads = true;
    State().readsLeft = afterReads;
    State().failStatus = status;
}

void ClearReadFailure()
{
    std::lock_guard guard(State().lock);
    State().failReads = false;
}

void Reset()
{
    std::lock_guard guard(State().lock);
    State().root.clear();
    State().failReads = false;
}

} // namespace sim::files
