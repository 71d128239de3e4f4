// The in-memory registry tree behind the Zw key functions, the device helpers and the test face.
// Internal to the kernel stand-in.
#pragma once

#include <nt_registry.h>
#include <nt_files.h>
#include <sim/kernel_sim.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sim::registry::detail
{

struct ValueEntry
{
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

// Value names hash and compare without case, and a lookup takes a name as it comes, so that
// finding a value neither walks the key's values nor copies the name.
struct NoCaseHash
{
    using is_transparent = void;
    size_t operator()(std::u16string_view name) const;
};
struct NoCaseEqual
{
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const;
};

struct KeyNode
{
    std::u16string name; // as first created; lookups fold case
    std::weak_ptr<KeyNode> parent;
    std::map<std::u16string, std::shared_ptr<KeyNode>> subkeys; // by folded name: enumerates sorted
    std::vector<ValueEntry> values;                             // in the order they were first set
    std::unordered_map<std::u16string, size_t, NoCaseHash, NoCaseEqual> valueIndex; // name -> values[]

    ValueEntry *FindValue(std::u16string_view valueName);
    // Replaces the value's type and bytes, or adds the value after the others.
    void SetValue(std::u16string_view valueName, ULONG type, std::vector<uint8_t> data);
    std::shared_ptr<KeyNode> FindSubkey(std::u16string_view keyName) const;
};
using KeyPtr = std::shared_ptr<KeyNode>;

// Folds one UTF-16 unit to upper case: ASCII and Latin-1 letters, enough for key and value names.
char16_t FoldChar(char16_t c);
std::u16string Fold(std::u16string_view s);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
// Names compared without case since the process started (EqualNoCase counts each call), so that a
// lookup's cost shows whatever way it finds its name.
std::atomic<uint64_t> &NameComparisons();

std::u16string Widen(std::string_view utf8);
std::string Narrow(std::u16string_view utf16);

// The whole registry. Every access holds Lock(); nodes are shared so that an open key outlives a
// reset of the tree (its handle is reported as a leak, not left dangling).
std::mutex &Lock();
KeyPtr Root(); // the "\Registry" object; callers hold Lock()
void ResetTree();

// Splits "A\B\C" into its components; fails on an empty component.
NTSTATUS SplitPath(std::u16string_view path, std::vector<std::u16string_view> &parts);

// Walks an absolute path ("\Registry\...") or one relative to `base`. With `create`, only the
// last component is created (as the real registry does); `created` tells whether it was.
NTSTATUS Walk(const KeyPtr &base, std::u16string_view path, bool create, KeyPtr &out,
              bool *created = nullptr);
// Creates every missing component of an absolute path (test and device seeding only).
KeyPtr CreatePath(std::u16string_view absolutePath);
std::u16string FullPath(const KeyPtr &key);

// Handles: a key handle is one entry in the kernel's handle table.
HANDLE InsertKeyHandle(const KeyPtr &key, ACCESS_MASK access);
// Looks a key handle up; STATUS_INVALID_HANDLE when it is not an open key.
NTSTATUS ReferenceKey(HANDLE handle, KeyPtr &key, ACCESS_MASK &access);
size_t OpenKeyHandleCount();

} // namespace sim::registry::detail
