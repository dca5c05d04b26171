// Files and folders of the simulated machine.
#include "platform/sim/SimFiles.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "common/WideString.h"
#include "platform/sim/SimMachine.h"

namespace cv::sim {

namespace {

using platform::kFileAttributeHidden;
using platform::kFileAttributeNormal;
using platform::kFileAttributeSystem;
using platform::kFileShareDelete;
using platform::kFileShareRead;
using platform::kFileShareWrite;
using platform::kGenericRead;
using platform::kGenericWrite;

// 2024-01-01 00:00 UTC; the clock's tick count is added in milliseconds.
constexpr std::uint64_t kFileTimeBase = 133485408000000000ULL;

struct Node {
    bool folder = false;
    std::wstring path;  // full path as last created or moved; the subject for failure injection
    std::string bytes;
    std::string durable;  // what a power loss leaves: the bytes at the last flush
    std::uint64_t lastWrite = 0;
    std::uint32_t attributes = kFileAttributeNormal;
    // Its own owner and access list; none: what the folders above pass on.
    std::optional<platform::PathSecurity> security;
};

struct OpenEntry {
    std::weak_ptr<SimObject> object;         // the handle's object; empty for a hold
    std::optional<std::uint64_t> holdUntil;  // a hold by another program ends at this tick
    std::shared_ptr<Node> node;              // kept alive by the handle, as a deleted open file is
    std::uint32_t access = 0;
    std::uint32_t share = 0;
    std::uint64_t position = 0;
};

struct FileSystem {
    // Files and folders by lower-cased full path; roots are not nodes.
    std::map<std::wstring, std::shared_ptr<Node>> nodes;
    std::map<wchar_t, bool> drives;  // upper-case letter -> has a volume name
    // The owner and access list a drive's root or a share has of its own, by lower-cased root.
    std::map<std::wstring, platform::PathSecurity> rootSecurity;
    std::map<platform::SpecialFolder, std::wstring> specialFolders;
    std::optional<std::uint64_t> freeSpace;
    std::vector<OpenEntry> open;
    std::set<std::wstring> hangingWrites;      // lower-cased full paths
    std::optional<std::uint64_t> changeLimit;  // changes the program may still make
    bool writesCut = false;
    std::uint64_t changesMade = 0;
};

FileSystem& Fs() {
    static FileSystem fileSystem;
    return fileSystem;
}

struct ParsedPath {
    std::wstring root;  // "C:" or "\\server\share"
    std::vector<std::wstring> parts;
    bool relative = false;

    std::wstring Display(std::size_t count) const {
        std::wstring text = root;
        for (std::size_t i = 0; i < count && i < parts.size(); ++i) {
            text += L'\\';
            text += parts[i];
        }
        return text;
    }
    std::wstring Display() const { return Display(parts.size()); }
    std::wstring Key(std::size_t count) const { return ToLower(Display(count)); }
    std::wstring Key() const { return Key(parts.size()); }
};

bool IsLetter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

bool IsValidName(std::wstring_view name) {
    for (wchar_t c : name) {
        if (static_cast<std::uint32_t>(c) < 32 || std::wcschr(L"<>:\"|?*", c) != nullptr) {
            return false;
        }
    }
    return true;
}

bool SplitInto(std::wstring_view rest, ParsedPath& parsed) {
    std::size_t i = 0;
    while (i <= rest.size()) {
        std::size_t end = rest.find(L'\\', i);
        if (end == std::wstring_view::npos) {
            end = rest.size();
        }
        const std::wstring_view part = rest.substr(i, end - i);
        if (part == L"..") {
            if (!parsed.parts.empty()) {
                parsed.parts.pop_back();
            }
        } else if (!part.empty() && part != L".") {
            if (!IsValidName(part)) {
                return false;
            }
            parsed.parts.emplace_back(part);
        }
        i = end + 1;
    }
    return true;
}

std::optional<ParsedPath> Parse(std::wstring_view raw, bool allowRelative = true) {
    std::wstring path(raw.substr(0, raw.find(L'\0')));
    std::replace(path.begin(), path.end(), L'/', L'\\');
    ParsedPath parsed;
    std::wstring_view rest;
    if (path.size() >= 2 && IsLetter(path[0]) && path[1] == L':') {
        if (path.size() > 2 && path[2] != L'\\') {
            return std::nullopt;  // drive-relative paths are not simulated
        }
        parsed.root = {static_cast<wchar_t>(path[0] & ~0x20), L':'};
        rest = std::wstring_view(path).substr(2);
    } else if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
        const std::wstring_view unc = std::wstring_view(path).substr(2);
        const std::size_t serverEnd = unc.find(L'\\');
        if (serverEnd == 0 || serverEnd == std::wstring_view::npos) {
            return std::nullopt;
        }
        std::size_t shareEnd = unc.find(L'\\', serverEnd + 1);
        if (shareEnd == std::wstring_view::npos) {
            shareEnd = unc.size();
        }
        const std::wstring_view server = unc.substr(0, serverEnd);
        const std::wstring_view share = unc.substr(serverEnd + 1, shareEnd - serverEnd - 1);
        if (share.empty() || server == L"?" || server == L"." || !IsValidName(server) ||
            !IsValidName(share)) {
            return std::nullopt;
        }
        parsed.root = L"\\\\" + std::wstring(server) + L"\\" + std::wstring(share);
        rest = unc.substr(shareEnd);
    } else {
        if (!allowRelative || path.empty()) {
            return std::nullopt;
        }
        auto base = Parse(Machine::Get().currentDirectory, false);
        if (!base) {
            return std::nullopt;
        }
        base->relative = true;
        if (path[0] == L'\\') {
            base->parts.clear();  // rooted on the current drive
        }
        if (!SplitInto(path, *base)) {
            return std::nullopt;
        }
        return base;
    }
    if (!SplitInto(rest, parsed)) {
        return std::nullopt;
    }
    return parsed;
}

bool RootExists(const ParsedPath& path) {
    if (path.root.size() == 2) {
        return Fs().drives.count(path.root[0]) != 0;
    }
    return true;  // every share answers
}

std::shared_ptr<Node> FindNode(const ParsedPath& path) {
    if (path.parts.empty()) {
        return nullptr;
    }
    const auto it = Fs().nodes.find(path.Key());
    return it == Fs().nodes.end() ? nullptr : it->second;
}

bool IsFolderAt(const ParsedPath& path, std::size_t count) {
    if (!RootExists(path)) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    const auto it = Fs().nodes.find(path.Key(count));
    return it != Fs().nodes.end() && it->second->folder;
}

bool ParentIsFolder(const ParsedPath& path) {
    return !path.parts.empty() && IsFolderAt(path, path.parts.size() - 1);
}

std::uint64_t NowFileTime() {
    return FileTimeAt(Machine::Get().Now());
}

// Creates every missing folder of the path, each with the given security when there is one;
// false when a file stands in the way.
bool MakeFolders(const ParsedPath& path,
                 const std::optional<platform::PathSecurity>& security = std::nullopt) {
    if (!RootExists(path)) {
        return false;
    }
    for (std::size_t count = 1; count <= path.parts.size(); ++count) {
        auto& slot = Fs().nodes[path.Key(count)];
        if (slot == nullptr) {
            slot = std::make_shared<Node>();
            slot->folder = true;
            slot->path = path.Display(count);
            slot->lastWrite = NowFileTime();
            slot->attributes = 0x10;
            slot->security = security;
        } else if (!slot->folder) {
            return false;
        }
    }
    return true;
}

bool IsLive(const OpenEntry& entry) {
    if (entry.holdUntil) {
        return Machine::Get().Now() < *entry.holdUntil;
    }
    return !entry.object.expired();
}

void Prune() {
    auto& open = Fs().open;
    open.erase(std::remove_if(open.begin(), open.end(),
                              [](const OpenEntry& entry) { return !IsLive(entry); }),
               open.end());
}

// An open without read or write access (attributes only) takes no part in sharing, on either
// side, as on Windows.
bool TakesPartInSharing(std::uint32_t access) {
    return (access & (kGenericRead | kGenericWrite)) != 0;
}

bool SharingAllows(const OpenEntry& existing, std::uint32_t access, std::uint32_t share) {
    if (!TakesPartInSharing(access) || !TakesPartInSharing(existing.access)) {
        return true;
    }
    if ((access & kGenericRead) && !(existing.share & kFileShareRead)) {
        return false;
    }
    if ((access & kGenericWrite) && !(existing.share & kFileShareWrite)) {
        return false;
    }
    if ((existing.access & kGenericRead) && !(share & kFileShareRead)) {
        return false;
    }
    if ((existing.access & kGenericWrite) && !(share & kFileShareWrite)) {
        return false;
    }
    return true;
}

bool AnyOpenBlocks(const std::shared_ptr<Node>& node, std::uint32_t access, std::uint32_t share) {
    for (const auto& entry : Fs().open) {
        if (entry.node == node && !SharingAllows(entry, access, share)) {
            return true;
        }
    }
    return false;
}

// Deleting or renaming a file needs every open of it to share deletion.
bool AnyOpenBlocksDelete(const std::shared_ptr<Node>& node) {
    for (const auto& entry : Fs().open) {
        if (entry.node == node && TakesPartInSharing(entry.access) &&
            !(entry.share & kFileShareDelete)) {
            return true;
        }
    }
    return false;
}

OpenEntry* FindOpen(platform::RawHandle handle) {
    Prune();
    const auto object = Machine::Get().FindObject(handle);
    if (object == nullptr) {
        return nullptr;
    }
    for (auto& entry : Fs().open) {
        if (!entry.holdUntil && entry.object.lock() == object) {
            return &entry;
        }
    }
    return nullptr;
}

// Grows or shrinks a file, within the free space; false when it cannot grow that far.
bool Resize(Node& node, std::uint64_t size) {
    auto& free = Fs().freeSpace;
    const std::uint64_t old = node.bytes.size();
    if (size > old && free && size - old > *free) {
        return false;
    }
    node.bytes.resize(size);
    if (free) {
        *free = *free + old - size;
    }
    return true;
}

// How many of `changes` the program may still make; a shortfall cuts every later change.
std::uint64_t AllowChanges(std::uint64_t changes) {
    FileSystem& fs = Fs();
    if (fs.writesCut) {
        return 0;
    }
    std::uint64_t allowed = changes;
    if (fs.changeLimit) {
        allowed = std::min(changes, *fs.changeLimit);
        *fs.changeLimit -= allowed;
        fs.writesCut = allowed < changes;
    }
    fs.changesMade += allowed;
    return allowed;
}

bool AllowChange() {
    return AllowChanges(1) == 1;
}

// Windows-1252, 0x80 to 0x9F; the five unassigned bytes map to the same C1 controls as on Windows.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

std::uint64_t FileTimeAt(std::uint64_t tick) {
    return kFileTimeBase + tick * 10000;
}

void ResetFileSystem() {
    std::lock_guard lock(Machine::Get().Lock());
    Fs() = FileSystem{};
    Fs().drives[L'C'] = true;
    Fs().specialFolders = {
        {platform::SpecialFolder::CommonAppData, L"C:\\ProgramData"},
        {platform::SpecialFolder::LocalAppData, L"C:\\Users\\Tester\\AppData\\Local"},
        {platform::SpecialFolder::RoamingAppData, L"C:\\Users\\Tester\\AppData\\Roaming"},
    };
    for (const auto& [kind, path] : Fs().specialFolders) {
        PutFolder(path);
    }
    PutFolder(Machine::Get().currentDirectory);
    const std::wstring& image = Machine::Get().ownImagePath;
    PutFolder(image.substr(0, image.find_last_of(L'\\')));
}

void PutFile(const std::wstring& path, std::string_view bytes, std::uint32_t attributes) {
    std::lock_guard lock(Machine::Get().Lock());
    const auto parsed = Parse(path);
    if (!parsed || parsed->parts.empty()) {
        return;
    }
    ParsedPath parent = *parsed;
    parent.parts.pop_back();
    if (!MakeFolders(parent)) {
        return;
    }
    auto& slot = Fs().nodes[parsed->Key()];
    unsigned changes = Machine::kWriteChange;
    if (slot == nullptr || slot->folder) {
        slot = std::make_shared<Node>();
        changes |= Machine::kNameChange;
    }
    slot->path = parsed->Display();
    slot->bytes.assign(bytes);
    slot->durable = slot->bytes;
    slot->lastWrite = NowFileTime();
    slot->attributes = attributes;
    Machine::Get().NotifyFolderChanged(slot->path, changes);
}

void PutFolder(const std::wstring& path) {
    std::lock_guard lock(Machine::Get().Lock());
    if (const auto parsed = Parse(path)) {
        MakeFolders(*parsed);
    }
}

std::optional<std::string> FileBytes(const std::wstring& path) {
    std::lock_guard lock(Machine::Get().Lock());
    const auto parsed = Parse(path);
    const auto node = parsed ? FindNode(*parsed) : nullptr;
    if (node == nullptr || node->folder) {
        return std::nullopt;
    }
    return node->bytes;
}

std::optional<std::uint64_t> FileWriteTime(const std::wstring& path) {
    std::lock_guard lock(Machine::Get().Lock());
    const auto parsed = Parse(path);
    const auto node = parsed ? FindNode(*parsed) : nullptr;
    if (node == nullptr) {
        return std::nullopt;
    }
    return node->lastWrite;
}

std::optional<std::uint32_t> FileAttributes(const std::wstring& path) {
    std::lock_guard lock(Machine::Get().Lock());
    const auto parsed = Parse(path);
    const auto node = parsed ? FindNode(*parsed) : nullptr;
    if (node == nullptr) {
        return std::nullopt;
    }
    return node->attributes;
}

bool IsFolder(const std::wstring& path) {
    std::lock_guard lock(Machine::Get().Lock());
    const auto parsed = Parse(path);
    return parsed && IsFolderAt(*parsed, parsed->parts.size());
}

void HoldFileOpen(const std::wstring& path, std::uint32_t access, std::uint32_t share,
                  std::uint64_t milliseconds) {
    std::lock_guard lock(Machine::Get().Lock());
    const auto parsed = Parse(path);
    const auto node = parsed ? FindNode(*parsed) : nullptr;
    if (node == nullptr || node->folder) {
        return;
    }
    OpenEntry hold;
    hold.holdUntil = Machine::Get().Now() + milliseconds;
    hold.node = node;
    hold.access = access;
    hold.share = share;
    Fs().open.push_back(std::move(hold));
}

std::size_t OpenFileCount() {
    std::lock_guard lock(Machine::Get().Lock());
    Prune();
    return Fs().open.size();
}

void SetSpecialFolder(platform::SpecialFolder folder, const std::wstring& path) {
    std::lock_guard lock(Machine::Get().Lock());
    Fs().specialFolders[folder] = path;
}

platform::PathSecurity DefaultSecurity() {
    platform::PathSecurity security = platform::AdministratorsOnlySecurity();
    security.isProtected = false;
    return security;
}

std::optional<platform::PathSecurity> RecordedSecurity(const std::wstring& path) {
    std::lock_guard lock(Machine::Get().Lock());
    const auto parsed = Parse(path);
    if (parsed && parsed->parts.empty()) {
        const auto it = Fs().rootSecurity.find(parsed->Key(0));
        return it == Fs().rootSecurity.end() ? std::nullopt : std::optional(it->second);
    }
    const auto node = parsed ? FindNode(*parsed) : nullptr;
    return node == nullptr ? std::nullopt : node->security;
}

void SetPathSecurity(const std::wstring& path, const platform::PathSecurity& security) {
    std::lock_guard lock(Machine::Get().Lock());
    const auto parsed = Parse(path);
    if (parsed && parsed->parts.empty() && RootExists(*parsed)) {
        Fs().rootSecurity[parsed->Key(0)] = security;
    } else if (const auto node = parsed ? FindNode(*parsed) : nullptr) {
        node->security = security;
    }
}

void AddDrive(wchar_t letter, bool hasVolumeName) {
    std::lock_guard lock(Machine::Get().Lock());
    Fs().drives[static_cast<wchar_t>(letter & ~0x20)] = hasVolumeName;
}

void SetFreeSpace(std::optional<std::uint64_t> bytes) {
    std::lock_guard lock(Machine::Get().Lock());
    Fs().freeSpace = bytes;
}

void SetWritesHang(const std::wstring& path, bool hang) {
    std::lock_guard lock(Machine::Get().Lock());
    const auto parsed = Parse(path);
    if (!parsed) {
        return;
    }
    if (hang) {
        Fs().hangingWrites.insert(parsed->Key());
    } else {
        Fs().hangingWrites.erase(parsed->Key());
        Machine::Get().NotifyChange();
    }
}

void CutWritesAfter(std::optional<std::uint64_t> changes) {
    std::lock_guard lock(Machine::Get().Lock());
    Fs().changeLimit = changes;
    Fs().writesCut = false;
    Fs().changesMade = 0;
}

std::uint64_t WriteChangesMade() {
    std::lock_guard lock(Machine::Get().Lock());
    return Fs().changesMade;
}

bool WritesCut() {
    std::lock_guard lock(Machine::Get().Lock());
    return Fs().writesCut;
}

void LosePower() {
    std::lock_guard lock(Machine::Get().Lock());
    for (auto& [key, node] : Fs().nodes) {
        if (!node->folder) {
            Resize(*node, node->durable.size());
            node->bytes = node->durable;
        }
    }
    Fs().changeLimit.reset();
    Fs().writesCut = false;
}

}  // namespace cv::sim

namespace cv::platform {

using sim::Fs;
using sim::Machine;
using sim::Node;
using sim::OpenEntry;
using sim::Parse;

FileOpenResult OpenFile(const std::wstring& path, std::uint32_t access, std::uint32_t share,
                        FileCreation creation, std::uint32_t attributes) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    FileOpenResult result;
    result.error = FileOpenError::Other;
    const auto parsed = Parse(path);
    if (machine.ShouldFail("CreateFile", path) || !parsed || parsed->parts.empty()) {
        return result;
    }
    sim::Prune();
    auto node = sim::FindNode(*parsed);
    if (node != nullptr && node->folder) {
        return result;  // a folder is not opened without backup semantics
    }
    if (node == nullptr) {
        if (creation == FileCreation::OpenExisting || !sim::ParentIsFolder(*parsed) ||
            !sim::AllowChange()) {
            return result;
        }
        node = std::make_shared<Node>();
        node->path = parsed->Display();
        node->lastWrite = sim::NowFileTime();
        node->attributes = attributes == 0 ? kFileAttributeNormal : attributes;
        Fs().nodes[parsed->Key()] = node;
        machine.NotifyFolderChanged(node->path, Machine::kWriteChange | Machine::kNameChange);
    } else {
        if (creation == FileCreation::CreateNew) {
            return result;
        }
        if (sim::AnyOpenBlocks(node, access, share)) {
            result.error = FileOpenError::SharingViolation;
            return result;
        }
        if (creation == FileCreation::CreateAlways) {
            // Windows refuses to overwrite a hidden or system file without those attributes.
            const std::uint32_t guarded = kFileAttributeHidden | kFileAttributeSystem;
            if ((node->attributes & guarded & ~attributes) != 0 || !sim::AllowChange()) {
                return result;
            }
            sim::Resize(*node, 0);
            node->lastWrite = sim::NowFileTime();
            machine.NotifyFolderChanged(node->path);
            node->attributes = attributes == 0 ? kFileAttributeNormal : attributes;
        }
    }
    // File handles are always signalled, as a file with no pending I/O is on Windows.
    auto object = std::make_shared<sim::SimObject>();
    object->manualReset = true;
    object->signalled = true;
    OpenEntry entry;
    entry.object = object;
    entry.node = node;
    entry.access = access;
    entry.share = share;
    Fs().open.push_back(std::move(entry));
    result.handle = UniqueHandle(machine.AddHandle(std::move(object)));
    result.error = FileOpenError::None;
    return result;
}

std::optional<std::uint32_t> FileSizeLow(RawHandle file) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const OpenEntry* entry = sim::FindOpen(file);
    if (entry == nullptr || machine.ShouldFail("GetFileSize", entry->node->path)) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(entry->node->bytes.size() & 0xFFFFFFFFu);
}

std::optional<std::uint32_t> ReadFromFile(RawHandle file, void* buffer, std::uint32_t size) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    OpenEntry* entry = sim::FindOpen(file);
    if (entry == nullptr || !(entry->access & kGenericRead) ||
        machine.ShouldFail("ReadFile", entry->node->path)) {
        return std::nullopt;
    }
    const std::string& bytes = entry->node->bytes;
    const std::uint64_t available =
        entry->position < bytes.size() ? bytes.size() - entry->position : 0;
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, available));
    if (count > 0) {
        std::memcpy(buffer, bytes.data() + entry->position, count);
    }
    entry->position += count;
    return count;
}

bool WriteToFile(RawHandle file, const void* data, std::uint32_t size) {
    Machine& machine = Machine::Get();
    std::unique_lock lock(machine.Lock());
    OpenEntry* entry = sim::FindOpen(file);
    while (entry != nullptr && !machine.IsDriverThread() &&
           Fs().hangingWrites.count(ToLower(entry->node->path)) != 0) {
        machine.WaitForChange(lock);
        entry = sim::FindOpen(file);  // the table of open files may have moved meanwhile
    }
    if (entry == nullptr || !(entry->access & kGenericWrite) ||
        machine.ShouldFail("WriteFile", entry->node->path)) {
        return false;
    }
    Node& node = *entry->node;
    // On a full disk the part that fits is written.
    std::uint64_t fits = size;
    if (const auto& free = Fs().freeSpace) {
        const std::uint64_t limit = node.bytes.size() + *free;
        fits =
            limit <= entry->position ? 0 : std::min<std::uint64_t>(size, limit - entry->position);
    }
    fits = sim::AllowChanges(fits);
    if (fits > 0) {
        if (entry->position + fits > node.bytes.size()) {
            sim::Resize(node, entry->position + fits);
        }
        std::memcpy(node.bytes.data() + entry->position, data, fits);
        entry->position += fits;
        node.lastWrite = sim::NowFileTime();
        machine.NotifyFolderChanged(node.path);
    }
    return fits == size;
}

bool FlushFile(RawHandle file) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const OpenEntry* entry = sim::FindOpen(file);
    if (entry == nullptr || !(entry->access & kGenericWrite) || Fs().writesCut ||
        machine.ShouldFail("FlushFileBuffers", entry->node->path)) {
        return false;
    }
    entry->node->durable = entry->node->bytes;
    return true;
}

bool SetEndOfFileHere(RawHandle file) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    OpenEntry* entry = sim::FindOpen(file);
    if (entry == nullptr || !(entry->access & kGenericWrite) ||
        machine.ShouldFail("SetEndOfFile", entry->node->path) || !sim::AllowChange() ||
        !sim::Resize(*entry->node, entry->position)) {
        return false;
    }
    entry->node->lastWrite = sim::NowFileTime();
    machine.NotifyFolderChanged(entry->node->path);
    return true;
}

bool SeekToFileStart(RawHandle file) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    OpenEntry* entry = sim::FindOpen(file);
    if (entry == nullptr || machine.ShouldFail("SetFilePointer", entry->node->path)) {
        return false;
    }
    entry->position = 0;
    return true;
}

bool SeekToFileEnd(RawHandle file) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    OpenEntry* entry = sim::FindOpen(file);
    if (entry == nullptr || machine.ShouldFail("SetFilePointer", entry->node->path)) {
        return false;
    }
    entry->position = entry->node->bytes.size();
    return true;
}

std::optional<std::uint64_t> FileLastWriteTime(RawHandle file) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const OpenEntry* entry = sim::FindOpen(file);
    // Reading the times needs read access, as on Windows.
    if (entry == nullptr || !(entry->access & kGenericRead) ||
        machine.ShouldFail("GetFileTime", entry->node->path)) {
        return std::nullopt;
    }
    return entry->node->lastWrite;
}

std::optional<std::uint64_t> FileSize(RawHandle file) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const OpenEntry* entry = sim::FindOpen(file);
    if (entry == nullptr || machine.ShouldFail("GetFileSizeEx", entry->node->path)) {
        return std::nullopt;
    }
    return entry->node->bytes.size();
}

bool SeekToFilePosition(RawHandle file, std::uint64_t offset) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    OpenEntry* entry = sim::FindOpen(file);
    if (entry == nullptr || machine.ShouldFail("SetFilePointer", entry->node->path)) {
        return false;
    }
    // Windows allows a position past the end; a write there fills the gap.
    entry->position = offset;
    return true;
}

bool PathExists(const std::wstring& path) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto parsed = Parse(path);
    if (machine.ShouldFail("GetFileAttributes", path) || !parsed) {
        return false;
    }
    return parsed->parts.empty() ? sim::RootExists(*parsed) : sim::FindNode(*parsed) != nullptr;
}

bool DeleteFileAt(const std::wstring& path) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto parsed = Parse(path);
    if (machine.ShouldFail("DeleteFile", path) || !parsed) {
        return false;
    }
    const auto node = sim::FindNode(*parsed);
    if (node == nullptr || node->folder) {
        return false;
    }
    sim::Prune();
    if (sim::AnyOpenBlocksDelete(node) || !sim::AllowChange()) {
        return false;
    }
    Fs().nodes.erase(parsed->Key());
    if (Fs().freeSpace) {
        *Fs().freeSpace += node->bytes.size();
    }
    machine.NotifyFolderChanged(node->path, Machine::kNameChange);
    return true;
}

bool CopyFileReplacing(const std::wstring& from, const std::wstring& to) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("CopyFile", from)) {
        return false;
    }
    const auto source = OpenFile(from, kGenericRead, kFileShareRead, FileCreation::OpenExisting,
                                 kFileAttributeNormal);
    if (!source.handle) {
        return false;
    }
    const auto target =
        OpenFile(to, kGenericWrite, 0, FileCreation::CreateAlways, kFileAttributeNormal);
    if (!target.handle) {
        return false;
    }
    const auto bytes = sim::FileBytes(from);
    return bytes && WriteToFile(target.handle.Get(), bytes->data(),
                                static_cast<std::uint32_t>(bytes->size()));
}

bool RemoveEmptyFolder(const std::wstring& path) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto parsed = Parse(path);
    if (machine.ShouldFail("RemoveDirectory", path) || !parsed) {
        return false;
    }
    const auto node = sim::FindNode(*parsed);
    if (node == nullptr || !node->folder) {
        return false;
    }
    const std::wstring prefix = parsed->Key() + L"\\";
    for (const auto& [key, other] : Fs().nodes) {
        if (StartsWith(key, prefix)) {
            return false;
        }
    }
    Fs().nodes.erase(parsed->Key());
    return true;
}

bool CreateFolderTree(const std::wstring& path) {
    return CreateFolderTree(path, FolderSecurity::Inherited);
}

bool CreateFolderTree(const std::wstring& path, FolderSecurity security) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto parsed = Parse(path);
    // Relative paths are refused, as SHCreateDirectoryExW does.
    if (machine.ShouldFail("SHCreateDirectoryEx", path) || !parsed || parsed->relative) {
        return false;
    }
    if (sim::IsFolderAt(*parsed, parsed->parts.size())) {
        return true;
    }
    std::optional<PathSecurity> given;
    if (security == FolderSecurity::AdministratorsOnly) {
        given = AdministratorsOnlySecurity();
    }
    return sim::AllowChange() && sim::MakeFolders(*parsed, given);
}

std::optional<PathSecurity> ReadPathSecurity(const std::wstring& path) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto parsed = Parse(path);
    if (machine.ShouldFail("GetNamedSecurityInfo", path) || !parsed ||
        (parsed->parts.empty() ? !sim::RootExists(*parsed) : sim::FindNode(*parsed) == nullptr)) {
        return std::nullopt;
    }
    for (std::size_t count = parsed->parts.size(); count > 0; --count) {
        const auto it = Fs().nodes.find(parsed->Key(count));
        if (it == Fs().nodes.end() || !it->second->security) {
            continue;
        }
        PathSecurity security = *it->second->security;
        if (count != parsed->parts.size()) {
            security.isProtected = false;  // inherited, not its own
        }
        return security;
    }
    if (const auto root = Fs().rootSecurity.find(parsed->Key(0)); root != Fs().rootSecurity.end()) {
        PathSecurity security = root->second;
        security.isProtected = security.isProtected && parsed->parts.empty();
        return security;
    }
    return sim::DefaultSecurity();
}

bool MovePath(const std::wstring& from, const std::wstring& to) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto source = Parse(from);
    const auto target = Parse(to);
    if (machine.ShouldFail("MoveFileEx", from) || !source || !target) {
        return false;
    }
    const auto node = sim::FindNode(*source);
    if (node == nullptr || !sim::ParentIsFolder(*target)) {
        return false;
    }
    const std::wstring sourceKey = source->Key();
    const std::wstring targetKey = target->Key();
    auto& nodes = Fs().nodes;
    if (targetKey == sourceKey) {
        node->path = target->Display();  // a change of case only
        return true;
    }
    if (nodes.count(targetKey) != 0) {
        return false;
    }
    const auto inside = [&sourceKey](const std::wstring& key) {
        return key == sourceKey || StartsWith(key, sourceKey + L"\\");
    };
    if (node->folder && (inside(targetKey) || ToLower(source->root) != ToLower(target->root))) {
        return false;  // folders are not copied between volumes
    }
    // NTFS renames no folder with anything open below it; Wine does not check that.
    sim::Prune();
    if (node->folder) {
        for (const auto& entry : Fs().open) {
            if (inside(ToLower(entry.node->path))) {
                return false;
            }
        }
    } else if (sim::AnyOpenBlocksDelete(node)) {
        return false;
    }
    if (!sim::AllowChange()) {
        return false;
    }
    machine.NotifyFolderChanged(node->path, Machine::kNameChange);
    std::vector<std::pair<std::wstring, std::shared_ptr<Node>>> moved;
    for (auto it = nodes.begin(); it != nodes.end();) {
        if (inside(it->first)) {
            moved.emplace_back(it->first.substr(sourceKey.size()), it->second);
            it = nodes.erase(it);
        } else {
            ++it;
        }
    }
    const std::wstring targetDisplay = target->Display();
    for (auto& [suffix, moving] : moved) {
        moving->path = targetDisplay + moving->path.substr(moving->path.size() - suffix.size());
        nodes[targetKey + suffix] = moving;
    }
    machine.NotifyFolderChanged(node->path, Machine::kNameChange);
    return true;
}

std::wstring SpecialFolderPath(SpecialFolder folder, bool create) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("SHGetSpecialFolderPath", L"")) {
        return {};
    }
    const std::wstring path = Fs().specialFolders[folder];
    const auto parsed = Parse(path, false);
    if (!parsed) {
        return {};
    }
    if (create) {
        sim::MakeFolders(*parsed);
    }
    return sim::IsFolderAt(*parsed, parsed->parts.size()) ? path : std::wstring();
}

bool HasVolumeName(const std::wstring& driveRoot) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("GetVolumeNameForVolumeMountPoint", driveRoot) ||
        driveRoot.size() != 3 || !sim::IsLetter(driveRoot[0]) || driveRoot[1] != L':' ||
        driveRoot[2] != L'\\') {
        return false;
    }
    const auto it = Fs().drives.find(static_cast<wchar_t>(driveRoot[0] & ~0x20));
    return it != Fs().drives.end() && it->second;
}

std::wstring AnsiToWide(std::string_view bytes) {
    std::wstring text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        text.push_back(b >= 0x80 && b < 0xA0 ? static_cast<wchar_t>(sim::kCp1252High[b - 0x80])
                                             : static_cast<wchar_t>(b));
    }
    return text;
}

PathState QueryPath(const std::wstring& path) {
    constexpr std::uint32_t kFileNotFound = 2;
    constexpr std::uint32_t kPathNotFound = 3;
    constexpr std::uint32_t kAccessDenied = 5;
    constexpr std::uint32_t kInvalidName = 123;
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("GetFileAttributes", path)) {
        return {PathKind::Unknown, kAccessDenied};
    }
    const auto parsed = Parse(path);
    if (!parsed) {
        return {PathKind::Unknown, kInvalidName};
    }
    if (parsed->parts.empty()) {
        return sim::RootExists(*parsed) ? PathState{PathKind::Folder, 0}
                                        : PathState{PathKind::NotFound, kPathNotFound};
    }
    if (const auto node = sim::FindNode(*parsed)) {
        return {node->folder ? PathKind::Folder : PathKind::File, 0};
    }
    return {PathKind::NotFound, sim::ParentIsFolder(*parsed) ? kFileNotFound : kPathNotFound};
}

bool RenameFileReplacing(const std::wstring& from, const std::wstring& to) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto source = Parse(from);
    const auto target = Parse(to);
    if (machine.ShouldFail("MoveFileEx", from) || !source || !target) {
        return false;
    }
    const auto node = sim::FindNode(*source);
    if (node == nullptr || node->folder || !sim::ParentIsFolder(*target) ||
        ToLower(source->root) != ToLower(target->root)) {
        return false;
    }
    sim::Prune();
    const auto replaced = sim::FindNode(*target);
    if (replaced == node) {
        node->path = target->Display();  // a change of case only
        return true;
    }
    // The replaced file goes as by a deletion, so its opens must share deletion too.
    if ((replaced != nullptr && (replaced->folder || sim::AnyOpenBlocksDelete(replaced))) ||
        sim::AnyOpenBlocksDelete(node) || !sim::AllowChange()) {
        return false;
    }
    if (replaced != nullptr && Fs().freeSpace) {
        *Fs().freeSpace += replaced->bytes.size();
    }
    Fs().nodes.erase(source->Key());
    node->path = target->Display();
    Fs().nodes[target->Key()] = node;
    machine.NotifyFolderChanged(from, Machine::kNameChange);
    machine.NotifyFolderChanged(node->path, Machine::kNameChange);
    return true;
}

}  // namespace cv::platform
