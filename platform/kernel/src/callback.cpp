// Callback objects: a case-insensitive named namespace; notifications are delivered synchronously,
// in the caller's thread and IRQL, to every registration in registration order.
// Registration lists are guarded by the scheduler lock, which is never held while a callback runs,
// so a callback may signal events, set timers or notify another callback object.
#include "kernel_internal.h"

#include <algorithm>
#include <map>
#include <set>
#include <vector>

using namespace sim::detail;

struct CALLBACK_OBJECT;

namespace
{
struct Registration
{
    static constexpr uint32_t kMagic = 0x47455243; // "CREG"
    uint32_t magic = kMagic;
    CALLBACK_OBJECT *owner;
    PCALLBACK_FUNCTION function;
    PVOID context;
    long busy = 0; // deliveries in progress
    bool removed = false;
    bool orphan = false; // unregistered from inside its own callback: nobody waits for it
};
} // namespace

struct CALLBACK_OBJECT : SimObject
{
    std::u16string name; // upper-cased, empty when unnamed
    bool allowMultiple = true;
    std::vector<Registration *> registrations;
    void OnLastReference() override;
};

namespace
{
std::map<std::u16string, CALLBACK_OBJECT *> g_names; // the namespace
std::set<CALLBACK_OBJECT *> g_live;                  // every object not yet freed, named or not
std::set<Registration *> g_registrations;            // live registration handles
// Registrations whose callbacks this thread is running now: unregistering one of them from inside
// would wait for itself.
thread_local std::vector<Registration *> t_delivering;

std::u16string Upper(PCUNICODE_STRING s)
{
    std::u16string u;
    for (USHORT i = 0; i < s->Length / 2; ++i)
        u += char16_t(RtlUpcaseUnicodeChar(s->Buffer[i]));
    return u;
}

std::string Printable(const std::u16string &u)
{
    std::string n;
    for (char16_t c : u)
        n += c < 128 ? char(c) : '?';
    return n;
}

void FreeRegistrationLocked(Registration *r)
{
    g_registrations.erase(r);
    r->magic = 0;
    delete r;
}

// Lock held. A registration holds a reference on its object; dropping the last one of a temporary
// object frees it.
void DerefLocked(CALLBACK_OBJECT *o)
{
    if (--o->refs == 0 && !o->permanent)
        o->OnLastReference();
}
} // namespace

void CALLBACK_OBJECT::OnLastReference()
{
    if (!name.empty())
        g_names.erase(name);
    g_live.erase(this);
    UnregisterObjectPointer(this);
    delete this;
}

extern "C" NTSTATUS ExCreateCallback(PCALLBACK_OBJECT *callbackObject, POBJECT_ATTRIBUTES attributes,
                                     BOOLEAN create, BOOLEAN allowMultiple)
{
    sim::AssertPassiveLevel("ExCreateCallback");
    if (!callbackObject || !attributes)
        return STATUS_INVALID_PARAMETER;
    *callbackObject = nullptr;
    PUNICODE_STRING n = attributes->ObjectName;
    if (n && (n->Length % 2 || (n->Length && !n->Buffer)))
        return STATUS_OBJECT_NAME_INVALID;
    auto lk = Lock();
    std::u16string name = n ? Upper(n) : u"";
    if (!name.empty())
    {
        auto it = g_names.find(name);
        if (it != g_names.end())
        {
            ++it->second->refs;
            *callbackObject = it->second;
            return STATUS_SUCCESS;
        }
    }
    if (!create)
        return name.empty() ? STATUS_INVALID_PARAMETER : STATUS_OBJECT_NAME_NOT_FOUND;
    auto *o = new CALLBACK_OBJECT;
    o->name = name;
    o->allowMultiple = allowMultiple;
    o->permanent = (attributes->Attributes & OBJ_PERMANENT) != 0;
    if (!name.empty())
        g_names[name] = o;
    g_live.insert(o);
    RegisterObjectPointer(o, o);
    *callbackObject = o;
    return STATUS_SUCCESS;
}

extern "C" PVOID ExRegisterCallback(PCALLBACK_OBJECT object, PCALLBACK_FUNCTION function, PVOID context)
{
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL)
        sim::ReportViolation("ExRegisterCallback at IRQL " + std::to_string(KeGetCurrentIrql()) +
                             " (must be below DISPATCH_LEVEL)");
    auto lk = Lock();
    if (!g_live.count(object))
    {
        lk.unlock();
        sim::ReportViolation("ExRegisterCallback: not a callback object");
        return nullptr;
    }
    if (!function || (!object->allowMultiple && !object->registrations.empty()))
        return nullptr;
    auto *r = new Registration;
    r->owner = object;
    r->function = function;
    r->context = context;
    object->registrations.push_back(r);
    g_registrations.insert(r);
    ++object->refs; // a registration keeps its object alive
    return r;
}

extern "C" VOID ExUnregisterCallback(PVOID registration)
{
    sim::AssertPassiveLevel("ExUnregisterCallback");
    auto *r = static_cast<Registration *>(registration);
    auto lk = Lock();
    if (!g_registrations.count(r) || r->removed)
    {
        lk.unlock();
        sim::ReportViolation("ExUnregisterCallback: not a live registration (unregistered twice?)");
        return;
    }
    CALLBACK_OBJECT *o = r->owner;
    auto &v = o->registrations;
    v.erase(std::find(v.begin(), v.end(), r));
    r->removed = true;
    if (std::find(t_delivering.begin(), t_delivering.end(), r) != t_delivering.end())
    {
        // The kernel would wait for this very callback to return: a deadlock. Report it and leave the
        // registration to the delivery loop, which frees it once the callback returns.
        r->orphan = true;
        lk.unlock();
        sim::ReportViolation("ExUnregisterCallback from inside its own callback (it would wait for itself)");
        lk.lock();
        DerefLocked(o);
        return;
    }
    // A delivery in progress on another thread finishes before the caller may free its context.
    BlockUntil(
        lk, [r] { return r->busy == 0; }, -1);
    FreeRegistrationLocked(r);
    DerefLocked(o);
}

extern "C" VOID ExNotifyCallback(PVOID callbackObject, PVOID argument1, PVOID argument2)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        sim::ReportViolation("ExNotifyCallback above DISPATCH_LEVEL");
    auto *o = static_cast<CALLBACK_OBJECT *>(callbackObject);
    std::vector<Registration *> snapshot;
    {
        auto lk = Lock();
        if (!g_live.count(o))
        {
            lk.unlock();
            sim::ReportViolation("ExNotifyCallback: not a callback object");
            return;
        }
        snapshot = o->registrations;
        for (Registration *r : snapshot)
            ++r->busy;
    }
    for (Registration *r : snapshot)
    {
        bool run;
        {
            auto lk = Lock();
            run = !r->removed;
        }
        if (run)
        {
            t_delivering.push_back(r);
            r->function(r->context, argument1, argument2);
            t_delivering.pop_back();
        }
        auto lk = Lock();
        // A registration unregistered from inside its own callback is freed by the last delivery
        // to leave it; one unregistered from elsewhere by its waiting ExUnregisterCallback.
        if (--r->busy == 0 && r->orphan)
            FreeRegistrationLocked(r);
        Notify();
    }
}

std::vector<std::string> sim::LiveNamedObjects()
{
    auto lk = Lock();
    std::vector<std::string> out;
    for (auto &e : g_names)
        out.push_back(Printable(e.first));
    return out;
}

namespace sim::detail
{
void ResetCallbacks()
{
    auto lk = Lock();
    // Objects of an earlier test are forgotten, not freed: a leaked registration may still point at them.
    g_names.clear();
    g_live.clear();
    g_registrations.clear();
}
std::string CallbackCheck()
{
    auto lk = Lock();
    if (g_live.empty())
        return "";
    std::string s = "callback object(s) never freed:";
    for (CALLBACK_OBJECT *o : g_live)
    {
        s += " " + (o->name.empty() ? std::string("(unnamed)") : Printable(o->name));
        if (o->permanent)
            s += " (permanent)";
        s += " with " + std::to_string(o->registrations.size()) + " registration(s);";
    }
    return s;
}
} // namespace sim::detail
