#include "common/pe_version.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

namespace kestrun {

namespace {

constexpr std::uint32_t kResourceTypeVersion = 16;
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr std::uint32_t kNameFlag = 0x80000000u;
// A version resource's length is a 16-bit field; no real one comes near this.
constexpr std::uint32_t kMaxVersionBlock = 0xFFFF;
// Names and languages tried below the version type; real files have one or two.
constexpr std::uint32_t kMaxEntriesTried = 64;
// Bounds of the walk, far above what a linker writes (a dozen sections, a few dozen resource
// types, one or two version blocks), so that a crafted file cannot make it slow.
constexpr std::uint16_t kMaxSections = 96; // the most the Windows loader long accepted
constexpr std::uint32_t kMaxEntriesVisited = 1024;
constexpr std::uint32_t kMaxBlocksTried = 16;

struct Section {
    std::uint32_t virtualAddress = 0;
    std::uint32_t virtualSize = 0;
    std::uint32_t rawSize = 0;
    std::uint32_t rawOffset = 0;
};

// The parts of a PE image the version lookup needs: its sections and where the resources are.
class PeImage {
public:
    explicit PeImage(BinaryReader& file) : file_(file) {}

    bool load();
    std::uint32_t resourceRva() const { return resourceRva_; }

    // Reads bytes that an address of the loaded image names, when the file holds all of them.
    bool readRva(std::uint64_t rva, void* out, std::size_t count) {
        for (const Section& s : sections_) {
            const std::uint64_t span = std::max(s.virtualSize, s.rawSize);
            if (rva < s.virtualAddress || rva - s.virtualAddress >= span)
                continue;
            const std::uint64_t inSection = rva - s.virtualAddress;
            if (inSection > s.rawSize || s.rawSize - inSection < count)
                return false;
            return file_.read(std::uint64_t{s.rawOffset} + inSection, out, count);
        }
        return false;
    }
    template <typename T> std::optional<T> rvaNumber(std::uint64_t rva) {
        T value{};
        if (!readRva(rva, &value, sizeof value))
            return std::nullopt;
        return value;
    }

private:
    BinaryReader& file_;
    std::vector<Section> sections_;
    std::uint32_t resourceRva_ = 0;
};

bool PeImage::load() {
    const auto peOffset = file_.number<std::uint32_t>(0x3C);
    char signature[4] = {};
    if (!peOffset || !file_.read(*peOffset, signature, 4) || std::memcmp(signature, "PE\0\0", 4))
        return false;
    const std::uint64_t coff = std::uint64_t{*peOffset} + 4;
    const auto sectionCount = file_.number<std::uint16_t>(coff + 2);
    const auto optionalSize = file_.number<std::uint16_t>(coff + 16);
    const std::uint64_t optional = coff + 20;
    const auto magic = file_.number<std::uint16_t>(optional);
    if (!sectionCount || !optionalSize || !magic || *sectionCount > kMaxSections)
        return false;
    std::uint64_t countField = 0;
    if (*magic == 0x10B) // PE32
        countField = 92;
    else if (*magic == 0x20B) // PE32+
        countField = 108;
    else
        return false;
    const auto directoryCount = file_.number<std::uint32_t>(optional + countField);
    const std::uint64_t resourceEntry = optional + countField + 4 + 2 * 8;
    if (!directoryCount || *directoryCount <= 2 || resourceEntry + 8 > optional + *optionalSize)
        return false;
    const auto rva = file_.number<std::uint32_t>(resourceEntry);
    if (!rva || *rva == 0)
        return false;
    resourceRva_ = *rva;

    const std::uint64_t table = optional + *optionalSize;
    sections_.reserve(*sectionCount);
    for (std::uint16_t i = 0; i < *sectionCount; ++i) {
        std::uint32_t fields[4] = {};
        if (!file_.read(table + std::uint64_t{i} * 40 + 8, fields, sizeof fields))
            return false;
        sections_.push_back({fields[1], fields[0], fields[2], fields[3]});
    }
    return true;
}

struct DirectoryEntry {
    std::uint32_t name = 0;
    std::uint32_t target = 0;
    bool isDirectory() const { return (target & kSubdirectoryFlag) != 0; }
    std::uint32_t offset() const { return target & ~kSubdirectoryFlag; }
};

enum class Entries { All, NumberedOnly };

// One walk of the resource tree within its bounds: every directory is entered at most once (a
// directory met again is a loop, and the tree is taken as damaged), and a bounded number of
// entries and version blocks is read in all.
class ResourceWalk {
public:
    explicit ResourceWalk(PeImage& image) : image_(image) {}

    bool damaged() const { return damaged_; }

    // The entries of the directory at an offset from the start of the resources, the named
    // ones first, then the numbered ones; nothing once the walk is damaged.
    std::vector<DirectoryEntry> enter(std::uint32_t offset, Entries which, std::uint32_t limit) {
        std::vector<DirectoryEntry> entries;
        if (damaged_ || !entered_.insert(offset).second) {
            damaged_ = true;
            return entries;
        }
        const std::uint64_t at = std::uint64_t{image_.resourceRva()} + offset;
        const auto named = image_.rvaNumber<std::uint16_t>(at + 12);
        const auto ids = image_.rvaNumber<std::uint16_t>(at + 14);
        if (!named || !ids)
            return entries;
        const std::uint32_t first = which == Entries::NumberedOnly ? *named : 0;
        const std::uint32_t count =
            std::min<std::uint32_t>(std::uint32_t{*named} + *ids, first + limit);
        for (std::uint32_t i = first; i < count; ++i) {
            if (entriesLeft_ == 0) {
                damaged_ = true;
                break;
            }
            --entriesLeft_;
            std::uint32_t fields[2] = {};
            if (!image_.readRva(at + 16 + std::uint64_t{i} * 8, fields, sizeof fields))
                break;
            entries.push_back({fields[0], fields[1]});
        }
        return entries;
    }

    // Whether another version block may be read.
    bool takeBlock() {
        if (blocksLeft_ == 0)
            damaged_ = true;
        if (damaged_)
            return false;
        --blocksLeft_;
        return true;
    }

private:
    PeImage& image_;
    std::set<std::uint32_t> entered_;
    std::uint32_t entriesLeft_ = kMaxEntriesVisited;
    std::uint32_t blocksLeft_ = kMaxBlocksTried;
    bool damaged_ = false;
};

// The fixed file information inside one VS_VERSIONINFO block.
std::optional<FileVersion> fixedInfoVersion(const std::string& block) {
    static const char16_t kKey[] = u"VS_VERSION_INFO";
    constexpr std::size_t kKeyBytes = sizeof kKey; // with its NUL
    constexpr std::size_t kValueOffset = (6 + kKeyBytes + 3) & ~std::size_t{3};
    constexpr std::size_t kFixedInfoSize = 52;
    if (block.size() < kValueOffset + kFixedInfoSize)
        return std::nullopt;
    std::uint16_t length = 0, valueLength = 0;
    std::memcpy(&length, block.data(), 2);
    std::memcpy(&valueLength, block.data() + 2, 2);
    if (length < kValueOffset + kFixedInfoSize || valueLength < kFixedInfoSize ||
        std::memcmp(block.data() + 6, kKey, kKeyBytes) != 0)
        return std::nullopt;
    std::uint32_t fixed[4] = {};
    std::memcpy(fixed, block.data() + kValueOffset, sizeof fixed);
    if (fixed[0] != kFixedInfoSignature)
        return std::nullopt;
    const std::uint32_t ms = fixed[2], ls = fixed[3];
    return FileVersion{{ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF}};
}

// Reads the version block a resource data entry points at.
std::optional<FileVersion> versionFromDataEntry(PeImage& image, std::uint32_t offset) {
    std::uint32_t entry[2] = {}; // data address, size
    if (!image.readRva(std::uint64_t{image.resourceRva()} + offset, entry, sizeof entry))
        return std::nullopt;
    std::string block(std::min(entry[1], kMaxVersionBlock), '\0');
    if (!image.readRva(entry[0], block.data(), block.size()))
        return std::nullopt;
    return fixedInfoVersion(block);
}

} // namespace

bool looksLikePe(BinaryReader& file) {
    const auto magic = file.bytes(0, 2);
    return magic && *magic == "MZ";
}

std::optional<FileVersion> readPeVersion(BinaryReader& file) {
    PeImage image(file);
    if (!image.load())
        return std::nullopt;
    // The tree has three levels: type, name, language; a deeper directory is not entered.
    ResourceWalk walk(image);
    for (const DirectoryEntry& type : walk.enter(0, Entries::NumberedOnly, 0xFFFF)) {
        if ((type.name & kNameFlag) || type.name != kResourceTypeVersion || !type.isDirectory())
            continue;
        for (const DirectoryEntry& name :
             walk.enter(type.offset(), Entries::All, kMaxEntriesTried)) {
            if (!name.isDirectory())
                continue;
            for (const DirectoryEntry& language :
                 walk.enter(name.offset(), Entries::All, kMaxEntriesTried)) {
                if (language.isDirectory())
                    continue;
                if (!walk.takeBlock())
                    return std::nullopt;
                if (auto version = versionFromDataEntry(image, language.offset()))
                    return version;
            }
            if (walk.damaged())
                return std::nullopt;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace kestrun
