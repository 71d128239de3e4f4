// The driver's object model.
#include "driver/base/object_model.h"
#include "driver/base/pool_memory.h"

#include <cstring>

bool IsEqualId(REFGUID a, REFGUID b)
{
    ULONG wa[4];
    ULONG wb[4];
    static_assert(sizeof(GUID) == sizeof(wa));
    std::memcpy(wa, &a, sizeof(wa));
    std::memcpy(wb, &b, sizeof(wb));
    return wa[0] == wb[0] && wa[1] == wb[1] && wa[2] == wb[2] && wa[3] == wb[3];
}

NTSTATUS NotImplemented()
{
    return STATUS_NOT_IMPLEMENTED;
}

CUnknownBase::CUnknownBase(PUNKNOWN outerUnknown)
    : m_RefCount(0), m_Inner(this), m_OuterUnknown(outerUnknown ? outerUnknown : &m_Inner)
{
}

CUnknownBase::~CUnknownBase() = default;

NTSTATUS CUnknownBase::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, NonDelegatingUnknown());
}

ULONG CUnknownBase::NonDelegatingAddRef()
{
    return ULONG(InterlockedIncrement(&m_RefCount));
}

ULONG CUnknownBase::NonDelegatingRelease()
{
    const LONG left = InterlockedDecrement(&m_RefCount);
    if (left == 0)
    {
        // Held at one while the destructors run, so that an interface the object queries or releases
        // on itself during tear-down cannot reach zero a second time.
        m_RefCount = 1;
        delete this;
        return 0;
    }
    return ULONG(left);
}

void *CUnknownBase::operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept
{
    if (size > 0xFFFFFFFFu)
        return nullptr;
    return AllocPoolZeroed(ULONG(size), poolType, tag);
}

void CUnknownBase::operator delete(void *block)
{
    FreePool(block);
}

void CUnknownBase::operator delete(void *block, POOL_TYPE, ULONG)
{
    FreePool(block);
}

NTSTATUS CUnknownBase::AnswerInterface(REFIID iid, PVOID *object, PUNKNOWN unknownInterface,
                                       std::initializer_list<InterfaceEntry> entries)
{
    if (!object)
        return STATUS_INVALID_PARAMETER;
    PUNKNOWN answer = nullptr;
    if (IsEqualId(iid, IID_IUnknown))
        answer = unknownInterface;
    else
        for (const InterfaceEntry &entry : entries)
            if (IsEqualId(iid, entry.Iid))
            {
                answer = entry.Interface;
                break;
            }
    *object = answer;
    if (!answer)
        return STATUS_INVALID_PARAMETER;
    answer->AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS CUnknownBase::CInnerUnknown::QueryInterface(REFIID iid, PVOID *object)
{
    return m_Owner->NonDelegatingQueryInterface(iid, object);
}

ULONG CUnknownBase::CInnerUnknown::AddRef()
{
    return m_Owner->NonDelegatingAddRef();
}

ULONG CUnknownBase::CInnerUnknown::Release()
{
    return m_Owner->NonDelegatingRelease();
}
