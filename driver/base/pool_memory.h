// Pool memory of the driver: the zeroing allocator, its free function, and the one list of pool tags
// the driver allocates with. Every driver allocation carries one of these tags, so a pool dump (and
// the tests' leak report) tells which part of the driver owns a block.
#pragma once

#include <nt_types.h>

// Allocates `size` bytes of `poolType` tagged `tag` and zeroes them. Returns null on failure and
// reports nothing: the caller turns null into STATUS_INSUFFICIENT_RESOURCES or its own failure path.
// No header is added, so the block may also be freed with ExFreePool. Non-paged pool may be asked for
// up to DISPATCH_LEVEL, paged pool only below DISPATCH_LEVEL.
PVOID AllocPoolZeroed(ULONG size, POOL_TYPE poolType, ULONG tag);

// Frees a block from AllocPoolZeroed or ExAllocatePoolWithTag; a null pointer is ignored.
void FreePool(PVOID block);

// The pool tags in use, each named by its four characters in memory order (a tag with a trailing
// blank or zero byte is named without it). Where two tags differ only in case, both are listed.
namespace PoolTag
{
inline constexpr ULONG Lis = MakePoolTag("Lis\0"); // item-list nodes (non-paged)
inline constexpr ULONG Stre = MakePoolTag("Stre"); // stream engine: lists, names, work block, formats
inline constexpr ULONG HALB = MakePoolTag("HALB"); // audio-HAL object: its two list records
inline constexpr ULONG Temp = MakePoolTag("Temp"); // temporary 102-byte name buffers (paged)
inline constexpr ULONG pmet = MakePoolTag("pmet"); // temporary buffers of the USB device and pipe code
inline constexpr ULONG Topo = MakePoolTag("Topo"); // node base: copied table of source identifiers
inline constexpr ULONG TOPO = MakePoolTag("TOPO"); // topology miniport tables and names
inline constexpr ULONG WAVC = MakePoolTag("WAVC"); // wave-cyclic miniport, its formats and stream object
inline constexpr ULONG CCST = MakePoolTag("CCST"); // wave-cyclic stream: processing chain, cyclic buffer
inline constexpr ULONG UAC1 = MakePoolTag("UAC1"); // USB audio device object, class 1.0
inline constexpr ULONG UAC2 = MakePoolTag("UAC2"); // USB audio device object, class 2.0
inline constexpr ULONG UA10 = MakePoolTag("UA10"); // class 1.0 filters
inline constexpr ULONG UA20 = MakePoolTag("UA20"); // class 2.0 filters
inline constexpr ULONG US10 = MakePoolTag("US10"); // class 1.0 streams
inline constexpr ULONG US20 = MakePoolTag("US20"); // class 2.0 streams
inline constexpr ULONG URB = MakePoolTag("URB ");  // USB request blocks
inline constexpr ULONG USBd = MakePoolTag("USBd"); // USB device layer and adapter object
inline constexpr ULONG USBS = MakePoolTag("USBS"); // isochronous stream base
inline constexpr ULONG PcCr = MakePoolTag("PcCr"); // adapter start-up
inline constexpr ULONG PINI = MakePoolTag("PINI"); // INI settings reader
inline constexpr ULONG INI = MakePoolTag(" INI");  // INI settings reader
inline constexpr ULONG hlep = MakePoolTag("hlep"); // registry helper buffers (paged)
inline constexpr ULONG str = MakePoolTag("str ");  // adapter strings
inline constexpr ULONG MTag = MakePoolTag("MTag"); // audio-class entity objects
inline constexpr ULONG SelT = MakePoolTag("SelT"); // entity and topology node objects
inline constexpr ULONG TerT = MakePoolTag("TerT"); // audio-class entity objects
inline constexpr ULONG VTag = MakePoolTag("VTag"); // entity and topology node objects
inline constexpr ULONG cloc = MakePoolTag("cloc"); // entity and topology node objects
inline constexpr ULONG AUAT = MakePoolTag("AUAT"); // topology node objects
inline constexpr ULONG TMix = MakePoolTag("TMix"); // topology node objects
inline constexpr ULONG Term = MakePoolTag("Term"); // topology node objects
inline constexpr ULONG Dova = MakePoolTag("Dova"); // chip-family device class and its objects
inline constexpr ULONG Mirk = MakePoolTag("Mirk"); // chip-family device class and its objects
inline constexpr ULONG Tesh = MakePoolTag("Tesh"); // chip-family device class and its objects
inline constexpr ULONG Grue = MakePoolTag("Grue"); // chip-family device class and its objects
inline constexpr ULONG Plon = MakePoolTag("Plon"); // chip-family device class and its objects only
inline constexpr ULONG Quib = MakePoolTag("Quib"); // node property objects of a chip family
inline constexpr ULONG DoHP = MakePoolTag("DoHP"); // effects chain and effect nodes
inline constexpr ULONG TAVO = MakePoolTag("TAVO"); // effects chain and effect nodes
inline constexpr ULONG DSPS = MakePoolTag("DSPS"); // effects chain and effect nodes
inline constexpr ULONG DSPs = MakePoolTag("DSPs"); // effects chain and effect nodes
inline constexpr ULONG SRCX = MakePoolTag("SRCX"); // effects chain and effect nodes
inline constexpr ULONG HRTF = MakePoolTag("HRTF"); // effects chain and effect nodes
inline constexpr ULONG RP3D = MakePoolTag("RP3D"); // effects chain and effect nodes
inline constexpr ULONG HFIR = MakePoolTag("HFIR"); // effects chain and effect nodes
inline constexpr ULONG QVRP = MakePoolTag("QVRP"); // effects chain and effect nodes
inline constexpr ULONG PRIM = MakePoolTag("PRIM"); // signal-processing primitive library

// Every tag above, once; a tag not in this table is not the driver's.
inline constexpr ULONG kAll[] = {
    Lis,  Stre, HALB, Temp, pmet, Topo, TOPO, WAVC, CCST, UAC1, UAC2, UA10, UA20, US10, US20, URB,
    USBd, USBS, PcCr, PINI, INI,  hlep, str,  MTag, SelT, TerT, VTag, cloc, AUAT, TMix, Term, Dova,
    Mirk, Tesh, Grue, Plon, Quib, DoHP, TAVO, DSPS, DSPs, SRCX, HRTF, RP3D, HFIR, QVRP, PRIM,
};

} // namespace PoolTag

// Base of plain driver objects that live in tagged, zeroed pool: `new (NonPagedPool, tag) T(...)`
// gives null without running the constructor when the pool has no room; delete frees the block.
struct CPoolObject
{
    static void *operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept
    {
        return size > 0xFFFFFFFFu ? nullptr : AllocPoolZeroed(ULONG(size), poolType, tag);
    }
    static void operator delete(void *block) { FreePool(block); }
    static void operator delete(void *block, POOL_TYPE, ULONG) { FreePool(block); }
};

// A plain class (an effect engine, a chain) placed in tagged pool the same way:
// `new (NonPagedPool, tag) CPooled<T>` gives null when the pool has no room.
template <class T> struct CPooled final : T, CPoolObject
{
    using T::T;
};
