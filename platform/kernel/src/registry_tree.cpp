// The registry tree: names, paths and the node store.
#include "registry_tree.h"

#include <sim/registry_sim.h>

#include <set>

namespace sim::registry::detail
{

char16_t FoldChar(char16_t c)
{
    if (c >= u'a' && c <= u'z')
        return char16_t(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return char16_t(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    return c;
}

std::u16string Fold(std::u16string_view s)
{
    std::u16string out(s);
    for (auto &c : out)
        c = FoldChar(c);
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    NameComparisons().fetch_add(1, std::memory_order_relaxed);
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldChar(a[i]) != FoldChar(b[i]))
            return false;
    return true;
}

std::u16string Widen(std::string_view s)
{
    // UTF-8 to UTF-16; a malformed byte stands for itself (Latin-1), so seeding never fails.
    // Never more units than bytes: one allocation, not one per doubling, for a long key path.
    std::u16string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();)
    {
        const auto b = uint8_t(s[i]);
        uint32_t cp = b;
        size_t n = 1;
        if (b >= 0xC0 && b < 0xE0)
            n = 2, cp = b & 0x1F;
        else if (b >= 0xE0 && b < 0xF0)
            n = 3, cp = b & 0x0F;
        else if (b >= 0xF0 && b < 0xF8)
            n = 4, cp = b & 0x07;
        bool ok = n == 1 ? b < 0x80 : i + n <= s.size();
        for (size_t k = 1; ok && k < n; ++k)
        {
            const auto c = uint8_t(s[i + k]);
            ok = (c & 0xC0) == 0x80;
            cp = cp << 6 | (c & 0x3F);
        }
        if (!ok)
            cp = b, n = 1;
        if (cp >= 0x10000)
        {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        }
        else
            out.push_back(char16_t(cp));
        i += n;
    }
    return out;
}

std::string Narrow(std::u16string_view s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i)
    {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (cp < 0x80)
            out.push_back(char(cp));
        else if (cp < 0x800)
        {
            out.push_back(char(0xC0 | cp >> 6));
            out.push_back(char(0x80 | (cp & 0x3F)));
        }
        else if (cp < 0x10000)
        {
            out.push_back(char(0xE0 | cp >> 12));
            out.push_back(char(0x80 | (cp >> 6 & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        }
        else
        {
            out.push_back(char(0xF0 | cp >> 18));
            out.push_back(char(0x80 | (cp >> 12 & 0x3F)));
            out.push_back(char(0x80 | (cp >> 6 & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

size_t NoCaseHash::operator()(std::u16string_view name) const
{
    // FNV-1a over the folded units.
    uint64_t hash = 14695981039346656037ull;
    for (const char16_t c : name)
        hash = (hash ^ FoldChar(c)) * 1099511628211ull;
    return size_t(hash);
}

std::atomic<uint64_t> &NameComparisons()
{
    static std::atomic<uint64_t> count{0};
    return count;
}

bool NoCaseEqual::operator()(std::u16string_view a, std::u16string_view b) const
{
    return EqualNoCase(a, b);
}

ValueEntry *KeyNode::FindValue(std::u16string_view valueName)
{
    const auto it = valueIndex.find(valueName);
    return it == valueIndex.end() ? nullptr : &values[it->second];
}

void KeyNode::SetValue(std::u16string_view valueName, ULONG type, std::vector<uint8_t> data)
{
    ValueEntry *value = FindValue(valueName);
    if (!value)
    {
        values.push_back({std::u16string(valueName), type, {}});
        try
        {
            valueIndex.emplace(values.back().name, values.size() - 1);
        }
        catch (...)
        {
            values.pop_back(); // no value the index cannot find
            throw;
        }
        value = &values.back();
    }
    value->type = type;
    value->data = std::move(data);
}

std::shared_ptr<KeyNode> KeyNode::FindSubkey(std::u16string_view keyName) const
{
    auto it = subkeys.find(Fold(keyName));
    return it == subkeys.end() ? nullptr : it->second;
}

namespace
{
struct Tree
{
    std::mutex lock;
    KeyPtr root;
};

Tree &TheTree()
{
    static Tree tree;
    return tree;
}

KeyPtr AddChild(const KeyPtr &parent, std::u16string_view name)
{
    auto node = std::make_shared<KeyNode>();
    node->name = std::u16string(name);
    node->parent = parent;
    parent->subkeys.emplace(Fold(name), node);
    return node;
}
} // namespace

std::mutex &Lock()
{
    return TheTree().lock;
}

KeyPtr Root()
{
    auto &tree = TheTree();
    if (!tree.root)
    {
        tree.root = std::make_shared<KeyNode>();
        tree.root->name = u"Registry";
        AddChild(tree.root, u"Machine");
        AddChild(tree.root, u"User");
    }
    return tree.root;
}

void ResetTree()
{
    std::lock_guard guard(Lock());
    TheTree().root.reset();
}

NTSTATUS SplitPath(std::u16string_view path, std::vector<std::u16string_view> &parts)
{
    parts.clear();
    if (path.empty())
        return STATUS_SUCCESS;
    // Deep enough for the machine paths the devices use, so splitting one does not regrow the list.
    parts.reserve(16);
    size_t start = 0;
    for (;;)
    {
        const size_t end = path.find(u'\\', start);
        const auto part =
            path.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
        if (part.empty() || part.size() > 255)
            return STATUS_OBJECT_NAME_INVALID;
        parts.push_back(part);
        if (end == std::u16string_view::npos)
            return STATUS_SUCCESS;
        start = end + 1;
    }
}

NTSTATUS Walk(const KeyPtr &base, std::u16string_view path, bool create, KeyPtr &out, bool *created)
{
    if (created)
        *created = false;
    KeyPtr node = base;
    if (!base)
    {
        // Absolute: the first component names the registry object itself.
        if (path.empty() || path[0] != u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        path.remove_prefix(1);
        const size_t sep = path.find(u'\\');
        if (!EqualNoCase(path.substr(0, sep), u"REGISTRY"))
            return STATUS_OBJECT_PATH_NOT_FOUND;
        node = Root();
        path = sep == std::u16string_view::npos ? std::u16string_view() : path.substr(sep + 1);
        if (sep != std::u16string_view::npos && path.empty())
            return STATUS_OBJECT_NAME_INVALID;
    }
    else if (!path.empty() && path[0] == u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;

    std::vector<std::u16string_view> parts;
    const NTSTATUS status = SplitPath(path, parts);
    if (!NT_SUCCESS(status))
        return status;
    for (size_t i = 0; i < parts.size(); ++i)
    {
        auto next = node->FindSubkey(parts[i]);
        if (!next)
        {
            if (!create || i + 1 != parts.size())
                return STATUS_OBJECT_NAME_NOT_FOUND;
            next = AddChild(node, parts[i]);
            if (created)
                *created = true;
        }
        node = next;
    }
    out = node;
    return STATUS_SUCCESS;
}

KeyPtr CreatePath(std::u16string_view absolutePath)
{
    std::vector<std::u16string_view> parts;
    if (absolutePath.empty() || absolutePath[0] != u'\\' ||
        !NT_SUCCESS(SplitPath(absolutePath.substr(1), parts)) || parts.empty() ||
        !EqualNoCase(parts[0], u"REGISTRY"))
        return nullptr;
    KeyPtr node = Root();
    for (size_t i = 1; i < parts.size(); ++i)
    {
        auto next = node->FindSubkey(parts[i]);
        node = next ? next : AddChild(node, parts[i]);
    }
    return node;
}

std::u16string FullPath(const KeyPtr &key)
{
    std::u16string path;
    for (KeyPtr node = key; node; node = node->parent.lock())
        path.insert(0, u"\\" + node->name);
    return path;
}

} // namespace sim::registry::detail

namespace sim::registry::detail
{

namespace
{
struct KeyHandleObject
{
    KeyPtr key;
    ACCESS_MASK access;
};

// Open key objects, so that the end-of-test check can name the keys left open.
std::set<KeyHandleObject *> &OpenKeys()
{
    static std::set<KeyHandleObject *> keys;
    return keys;
}

NTSTATUS CloseKey(void *object)
{
    auto *key = static_cast<KeyHandleObject *>(object);
    {
        std::lock_guard guard(Lock());
        OpenKeys().erase(key);
    }
    delete key;
    return STATUS_SUCCESS;
}

std::string EndOfTestCheck()
{
    std::lock_guard guard(Lock());
    std::string report;
    for (auto *key : OpenKeys())
        report += "registry key handle left open: " + Narrow(FullPath(key->key)) + "\n";
    return report;
}

// The kernel's reset has already emptied the handle table: key objects still open are freed here.
void ResetForTest()
{
    std::set<KeyHandleObject *> left;
    {
        std::lock_guard guard(Lock());
        left.swap(OpenKeys());
    }
    for (auto *key : left)
        delete key;
    sim::registry::Reset();
}

const bool registered = (sim::RegisterComponent("registry", &ResetForTest, &EndOfTestCheck), true);

ACCESS_MASK MapGeneric(ACCESS_MASK access)
{
    ACCESS_MASK out = access & 0x0FFFFFFF;
    if (access & (GENERIC_READ | GENERIC_EXECUTE))
        out |= KEY_READ;
    if (access & GENERIC_WRITE)
        out |= KEY_WRITE;
    if (access & GENERIC_ALL)
        out |= KEY_ALL_ACCESS;
    return out;
}
} // namespace

HANDLE InsertKeyHandle(const KeyPtr &key, ACCESS_MASK access)
{
    auto *object = new KeyHandleObject{key, MapGeneric(access)};
    {
        std::lock_guard guard(Lock());
        OpenKeys().insert(object);
    }
    return sim::InsertHandle(sim::HandleKind::Key, object, CloseKey);
}

NTSTATUS ReferenceKey(HANDLE handle, KeyPtr &key, ACCESS_MASK &access)
{
    auto *object = static_cast<KeyHandleObject *>(sim::LookupHandle(handle, sim::HandleKind::Key));
    std::lock_guard guard(Lock());
    // Still open: another thread may have closed the handle since the lookup.
    if (!object || !OpenKeys().count(object))
        return STATUS_INVALID_HANDLE;
    key = object->key;
    access = object->access;
    return STATUS_SUCCESS;
}

size_t OpenKeyHandleCount()
{
    std::lock_guard guard(Lock());
    return OpenKeys().size();
}

} // namespace sim::registry::detail
