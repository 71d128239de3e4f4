// The reference-counted interface every port-class object answers, as the framework declares it.
#pragma once

#include <nt_types.h>

#define STDMETHODIMP NTSTATUS
#define STDMETHODIMP_(t) t

// {00000000-0000-0000-C000-000000000046}
inline constexpr GUID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IUnknown
{
    virtual NTSTATUS QueryInterface(REFIID iid, PVOID *object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default; // objects are destroyed through Release, never through an interface pointer
};
typedef IUnknown *PUNKNOWN;
