// Callback objects: a case-insensitive named namespace; notifications are delivered synchronously,
// in the caller's thread and IRQL, to every registration in registration order.
#include "kernel_internal.h"

#include <algorithm>
#include <map>
#include <thread>
#include <vector>

using namespace sim::detail;

struct CALLBACK_OBJECT;

namespace {
struct Registration {
    CALLBACK_OBJECT *owner;
    PCALLBACK_FUNCTION function;
    PVOID context;
    long busy = 0;     // deliveries in progress
    bool removed = false;
};
} // namespace

struct CALLBACK_OBJECT : SimObject {
    std::u16string name; // upper-cased, empty when unnamed
    bool allowMultiple = true;
    std::vector<Registration *> registrations;
    void OnLastReference() override;
};

namespace {
std::map<std::u16string, CALLBACK_OBJECT *> g_names;
std::mutex g_deliveryLock; // guards registration lists; never held while a callback runs

std::u16string Upper(PCUNICODE_STRING s)
{
    std::u16string u;
    for (USHORT i = 0; i < s->Length / 2; ++i)
        u += char16_t(RtlUpcaseUnicodeChar(s->Buffer[i]));
    return u;
}
} // namespace

void CALLBACK_OBJECT::OnLastReference()
{
    if (!name.empty())
        g_names.erase(name);
    UnregisterObjectPointer(this);
    for (Registration *r : registrations)
        delete r;
    delete this;
}

extern "C" NTSTATUS ExCreateCallback(PCALLBACK_OBJECT *callbackObject, POBJECT_ATTRIBUTES attributes, BOOLEAN create,
                                     BOOLEAN allowMultiple)
{
    if (!callbackObject || !attributes)
        return STATUS_INVALID_PARAMETER;
    auto lk = Lock();
    std::u16string name = attributes->ObjectName ? Upper(attributes->ObjectName) : u"";
    if (!name.empty()) {
        auto it = g_names.find(name);
        if (it != g_names.end()) {
            ++it->second->refs;
            *callbackObject = it->second;
            return STATUS_SUCCESS;
        }
    }
    if (!create)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    auto *o = new CALLBACK_OBJECT;
    o->name = name;
    o->allowMultiple = allowMultiple;
    o->permanent = (attributes->Attributes & OBJ_PERMANENT) != 0;
    if (!name.empty())
        g_names[name] = o;
    RegisterObjectPointer(o, o);
    *callbackObject = o;
    return STATUS_SUCCESS;
}

extern "C" PVOID ExRegisterCallback(PCALLBACK_OBJECT object, PCALLBACK_FUNCTION function, PVOID context)
{
    auto lk = Lock();
    if (!FromPointer(object, "ExRegisterCallback"))
        return nullptr;
    std::lock_guard<std::mutex> g(g_deliveryLock);
    if (!object->allowMultiple && !object->registrations.empty())
        return nullptr;
    auto *r = new Registration{object, function, context};
    object->registrations.push_back(r);
    ++object->refs; // a registration keeps its object alive
    return r;
}

extern "C" VOID ExUnregisterCallback(PVOID registration)
{
    auto *r = static_cast<Registration *>(registration);
    CALLBACK_OBJECT *o;
    {
        std::lock_guard<std::mutex> g(g_deliveryLock);
        o = r->owner;
        auto &v = o->registrations;
        auto it = std::find(v.begin(), v.end(), r);
        if (it == v.end()) {
            sim::ReportViolation("ExUnregisterCallback: not a registration");
            return;
        }
        v.erase(it);
        r->removed = true;
    }
    // A delivery in progress on another thread finishes before the caller may free its context.
    for (;;) {
        {
            std::lock_guard<std::mutex> g(g_deliveryLock);
            if (r->busy == 0)
                break;
        }
        std::this_thread::yield();
    }
    delete r;
    auto lk = Lock();
    if (--o->refs == 0 && !o->permanent)
        o->OnLastReference();
}

extern "C" VOID ExNotifyCallback(PVOID callbackObject, PVOID argument1, PVOID argument2)
{
    auto *o = static_cast<CALLBACK_OBJECT *>(callbackObject);
    std::vector<Registration *> snapshot;
    {
        std::lock_guard<std::mutex> g(g_deliveryLock);
        snapshot = o->registrations;
        for (Registration *r : snapshot)
            ++r->busy;
    }
    for (Registration *r : snapshot) {
        bool run;
        {
            std::lock_guard<std::mutex> g(g_deliveryLock);
            run = !r->removed;
        }
        if (run)
            r->function(r->context, argument1, argument2);
        std::lock_guard<std::mutex> g(g_deliveryLock);
        --r->busy;
    }
}

std::vector<std::string> sim::LiveNamedObjects()
{
    auto lk = Lock();
    std::vector<std::string> out;
    for (auto &e : g_names) {
        std::string n;
        for (char16_t c : e.first)
            n += c < 128 ? char(c) : '?';
        out.push_back(n);
    }
    return out;
}

namespace sim::detail {
void ResetCallbacks()
{
    auto lk = Lock();
    // Objects of an earlier test are forgotten, not freed: a leaked registration may still point at them.
    g_names.clear();
}
std::string CallbackCheck()
{
    auto names = sim::LiveNamedObjects();
    if (names.empty())
        return "";
    std::string s = "named object(s) never freed:";
    for (auto &n : names)
        s += " " + n;
    return s;
}
} // namespace sim::detail
