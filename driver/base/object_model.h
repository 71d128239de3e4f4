// The object model every driver object follows: reference counting through a non-delegating unknown,
// aggregation by an outer unknown, identifier comparison and the not-implemented stub.
//
// How a driver class is written:
//
//     class CThing : public IThing, public IOther, public CUnknownBase
//     {
//     public:
//         DECLARE_STD_UNKNOWN();                      // forwarders + NonDelegatingQueryInterface
//         explicit CThing(PUNKNOWN outer) : CUnknownBase(outer) {}
//         ...
//     };
//
//     NTSTATUS CThing::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
//     {
//         return AnswerInterface(iid, object, static_cast<IThing *>(this),
//                                {{IID_IThing, static_cast<IThing *>(this)},
//                                 {IID_IOther, static_cast<IOther *>(this)}});
//     }
//
//     PUNKNOWN unknown;
//     NTSTATUS status = NewObject<CThing>(&unknown, outer, NonPagedPool, PoolTag::Stre);
//
// The IUnknown methods of every interface pass to the outer unknown (the object itself when it is not
// aggregated). The object is created with `new (poolType, tag)` from zeroed pool and is deleted on the
// last release of its non-delegating unknown. The interfaces are never deleted through. The zeroed
// block is a safety net only: members the object relies on are initialised by the class (the
// compiler may treat storage as undefined when a constructor starts).
#pragma once

#include <ntkernel.h>
#include <pc_unknown.h>

#include <initializer_list>
#include <utility>

// Equal when all four 32-bit words of the two 16-byte identifiers are equal.
bool IsEqualId(REFGUID a, REFGUID b);

// Fills the interface slots an object declares but does not provide.
NTSTATUS NotImplemented();

// The unknown that does not delegate: its owner's own reference count and interface answer.
struct INonDelegatingUnknown
{
    virtual NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID *object) = 0;
    virtual ULONG NonDelegatingAddRef() = 0;
    virtual ULONG NonDelegatingRelease() = 0;

protected:
    ~INonDelegatingUnknown() = default;
};
typedef INonDelegatingUnknown *PNONDELEGATINGUNKNOWN;

// One answer of a query: an identifier and the interface pointer handed out for it.
struct InterfaceEntry
{
    const IID &Iid;
    PUNKNOWN Interface;
};

// The reference-counted base of every driver object.
class CUnknownBase : public INonDelegatingUnknown
{
public:
    // `outerUnknown` is the controlling unknown of the aggregating object, or null when the object
    // stands alone. The count starts at 0: the creator takes the first reference.
    explicit CUnknownBase(PUNKNOWN outerUnknown);
    // Scalar-deleting: the last release runs the most derived destructor and frees the pool block.
    virtual ~CUnknownBase();
    CUnknownBase(const CUnknownBase &) = delete;
    CUnknownBase &operator=(const CUnknownBase &) = delete;

    // The base answers IID_IUnknown with the non-delegating unknown; a class overrides this through
    // DECLARE_STD_UNKNOWN and AnswerInterface.
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID *object) override;
    ULONG NonDelegatingAddRef() override;
    ULONG NonDelegatingRelease() override;

    // Where the interface forwarders go: the outer unknown, or this object's own non-delegating one.
    PUNKNOWN GetOuterUnknown() const { return m_OuterUnknown; }
    // The non-delegating unknown as an IUnknown, the pointer a creation function hands out and an
    // aggregating object holds.
    PUNKNOWN NonDelegatingUnknown() { return &m_Inner; }

    // Objects live in tagged, zeroed pool. A failed allocation makes the new-expression give null
    // without running the constructor.
    static void *operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept;
    static void operator delete(void *block);
    static void operator delete(void *block, POOL_TYPE poolType, ULONG tag);

protected:
    // The common query pattern: IID_IUnknown first (answered with `unknownInterface`), then `entries`
    // in order. A match stores the interface, adds a reference through it and returns STATUS_SUCCESS;
    // any other identifier gives STATUS_INVALID_PARAMETER and a null pointer.
    static NTSTATUS AnswerInterface(REFIID iid, PVOID *object, PUNKNOWN unknownInterface,
                                    std::initializer_list<InterfaceEntry> entries = {});

    volatile LONG m_RefCount;

private:
    // Presents the non-delegating unknown through the IUnknown shape.
    class CInnerUnknown final : public IUnknown
    {
    public:
        explicit CInnerUnknown(CUnknownBase *owner) : m_Owner(owner) {}
        NTSTATUS QueryInterface(REFIID iid, PVOID *object) override;
        ULONG AddRef() override;
        ULONG Release() override;

    private:
        CUnknownBase *m_Owner;
    };

    CInnerUnknown m_Inner;
    PUNKNOWN m_OuterUnknown;
};

// In a class deriving from its interfaces and CUnknownBase: the IUnknown methods of all its interfaces
// (each passes to the outer unknown) and the declaration of its NonDelegatingQueryInterface.
#define DECLARE_STD_UNKNOWN()                                                                                \
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID *object) override;                                \
    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override                                              \
    {                                                                                                        \
        return GetOuterUnknown()->QueryInterface(iid, object);                                               \
    }                                                                                                        \
    ULONG AddRef() override                                                                                  \
    {                                                                                                        \
        return GetOuterUnknown()->AddRef();                                                                  \
    }                                                                                                        \
    ULONG Release() override                                                                                 \
    {                                                                                                        \
        return GetOuterUnknown()->Release();                                                                 \
    }

// Creates a T(outer, args...) in `poolType` tagged `tag` and hands out its non-delegating unknown with
// one reference. STATUS_INSUFFICIENT_RESOURCES (and *unknown null) when the pool has no memory.
template <class T, class... Args>
NTSTATUS NewObject(PUNKNOWN *unknown, PUNKNOWN outerUnknown, POOL_TYPE poolType, ULONG tag, Args &&...args)
{
    if (!unknown)
        return STATUS_INVALID_PARAMETER;
    T *object = new (poolType, tag) T(outerUnknown, std::forward<Args>(args)...);
    if (!object)
    {
        *unknown = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *unknown = object->NonDelegatingUnknown();
    (*unknown)->AddRef();
    return STATUS_SUCCESS;
}
