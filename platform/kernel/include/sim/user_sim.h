// Test face of user processes: the front end of a low-latency client as the driver meets it. Each
// process has an identity, a table of 32-bit handles to its events and an address map of the pages
// drivers mapped into it. A thread acts for a process while it runs one of the process's calls
// (open, close, device control): user-mode handles and mappings then resolve in that process.
//
// Leaks are reported by the end-of-test check: event references a driver did not give back, MDLs not
// freed, mappings not unmapped. Unmapping from a process other than the one mapped into is allowed
// (the platform does it through the other process's context) and counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <ntkernel.h>

namespace sim::user
{

class Process
{
public:
    Process();
    ~Process(); // closes the handles it still has
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    uint32_t Id() const;

    // Events: a 32-bit handle, closed with CloseHandle. Sets counts KeSetEvent calls on the event.
    uint32_t CreateEvent(bool manualReset = false);
    NTSTATUS CloseHandle(uint32_t handle);
    size_t EventSets(uint32_t handle) const;
    bool EventSignalled(uint32_t handle) const;
    // Waits on the virtual clock; true when the event was signalled within timeoutMs.
    bool WaitEvent(uint32_t handle, LONGLONG timeoutMs);

    // Calls made as this process (see sim::pnp for their behaviour).
    NTSTATUS OpenFile(PDEVICE_OBJECT pdo, const std::u16string &name, PFILE_OBJECT *file);
    NTSTATUS CloseFile(PFILE_OBJECT file);
    NTSTATUS DeviceIoControl(PFILE_OBJECT file, ULONG code, const void *in, ULONG inLength, void *out,
                             ULONG outLength, ULONG_PTR *information = nullptr);

    // The bytes at a user address through this process's map: null unless [address, address + bytes)
    // lies inside one of its mappings.
    uint8_t *At(uint32_t address, size_t bytes) const;
    size_t Mappings() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

struct MappingRecord
{
    uint32_t Process;
    uint32_t Address;
    size_t Bytes;
    size_t Offset; // of the mapped bytes in their first page
};
std::vector<MappingRecord> Mappings(); // every live user-mode mapping
size_t LiveMdls();
size_t ForeignUnmaps(); // unmaps done while acting for another process than the mapping's
// The n-th user-mode mapping from now (1 = the next) raises `code`; 0 cancels.
void RaiseOnMap(unsigned n, NTSTATUS code);
// Outstanding references drivers hold on user events.
size_t EventReferences();

} // namespace sim::user
