#include "sim/loader/image_loader.h"

#if defined(NUVIX_HOST32)

#include <strings.h>
#include <sys/mman.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "sim/kernel/bugcheck.h"
#include "sim/loader/config_trap.h"
#include "sim/loader/import_bindings.h"

namespace sim::loader {

namespace {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kPe32Magic = 0x010B;
constexpr uint16_t kSubsystemNative = 1;
constexpr int kDirExport = 0, kDirImport = 1, kDirReloc = 5;
constexpr uint16_t kRelAbsolute = 0, kRelHighLow = 3;
constexpr const char *kExportName = "_RbGetServiceTable@0";

// The file's view: every read is bounds-checked and a failure is a refusal.
class FileView {
public:
    explicit FileView(const std::vector<uint8_t> &bytes) : bytes_(bytes) {}
    bool Has(size_t offset, size_t length) const { return offset <= bytes_.size() && length <= bytes_.size() - offset; }
    template <typename T>
    T Read(size_t offset) const
    {
        T value{};
        if (Has(offset, sizeof(T)))
            std::memcpy(&value, bytes_.data() + offset, sizeof(T));
        return value;
    }
    const uint8_t *At(size_t offset) const { return bytes_.data() + offset; }

private:
    const std::vector<uint8_t> &bytes_;
};

struct Section {
    uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

class Mapping {
public:
    Mapping(uint8_t *base, size_t size) : base_(base), size_(size) {}
    bool Has(uint32_t rva, size_t length) const { return rva <= size_ && length <= size_ - rva; }
    template <typename T>
    T Read(uint32_t rva) const
    {
        T value{};
        if (Has(rva, sizeof(T)))
            std::memcpy(&value, base_ + rva, sizeof(T));
        return value;
    }
    template <typename T>
    void Write(uint32_t rva, T value)
    {
        std::memcpy(base_ + rva, &value, sizeof(T));
    }
    // A NUL-terminated string inside the image, or nothing.
    bool String(uint32_t rva, std::string &out) const
    {
        out.clear();
        for (uint32_t at = rva; Has(at, 1); at++) {
            char c = static_cast<char>(base_[at]);
            if (c == '\0')
                return true;
            out.push_back(c);
        }
        return false;
    }

private:
    uint8_t *base_;
    size_t size_;
};

LoadResult Refuse(const std::string &why) { return LoadResult{nullptr, "refused: " + why}; }

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

// The export table must name exactly the service table's getter.
std::string CheckExports(const Mapping &map, uint32_t rva, uint32_t size, uint32_t &getter)
{
    if (rva == 0 || size == 0)
        return "the image exports nothing; it must export " + std::string(kExportName) + " only";
    if (!map.Has(rva, 40))
        return "the export directory lies outside the image";
    uint32_t functions = map.Read<uint32_t>(rva + 20);
    uint32_t names = map.Read<uint32_t>(rva + 24);
    uint32_t functionTable = map.Read<uint32_t>(rva + 28);
    uint32_t nameTable = map.Read<uint32_t>(rva + 32);
    uint32_t ordinalTable = map.Read<uint32_t>(rva + 36);
    std::string found;
    for (uint32_t i = 0; i < names; i++) {
        std::string name;
        if (!map.String(map.Read<uint32_t>(nameTable + 4 * i), name))
            return "an export's name lies outside the image";
        found += (found.empty() ? "" : ", ") + name;
    }
    if (functions != 1 || names != 1 || found != kExportName)
        return "the image exports " + (found.empty() ? std::string("no names") : found) + " (" +
               std::to_string(functions) + " routines); it must export " + kExportName + " only";
    uint16_t ordinal = map.Read<uint16_t>(ordinalTable);
    getter = map.Read<uint32_t>(functionTable + 4 * ordinal);
    if (ordinal != 0 || getter == 0 || !map.Has(getter, 1))
        return std::string(kExportName) + " points outside the image";
    return "";
}

// Binds every import; the first one that cannot be bound refuses the image.
std::string BindImports(Mapping &map, uint32_t rva, uint32_t size, std::vector<std::string> &bound)
{
    if (rva == 0 || size == 0)
        return "";
    for (uint32_t descriptor = rva;; descriptor += 20) {
        if (!map.Has(descriptor, 20))
            return "the import directory lies outside the image";
        uint32_t lookup = map.Read<uint32_t>(descriptor);
        uint32_t nameRva = map.Read<uint32_t>(descriptor + 12);
        uint32_t addresses = map.Read<uint32_t>(descriptor + 16);
        if (nameRva == 0 && addresses == 0)
            return "";
        std::string module;
        if (!map.String(nameRva, module))
            return "an import's module name lies outside the image";
        if (!KnownImportModule(module))
            return "the image imports from " + module +
                   "; a driver may import from ntoskrnl.exe, HAL.dll and "
                   "USBD.SYS only";
        if (lookup == 0)
            lookup = addresses;
        for (uint32_t i = 0;; i++) {
            if (!map.Has(lookup + 4 * i, 4) || !map.Has(addresses + 4 * i, 4))
                return "the import table of " + module + " lies outside the image";
            uint32_t entry = map.Read<uint32_t>(lookup + 4 * i);
            if (entry == 0)
                break;
            if (entry & 0x80000000u)
                return "the image imports ordinal " + std::to_string(entry & 0xFFFF) + " of " + module +
                       "; imports must be by name";
            std::string name;
            if (!map.String(entry + 2, name))
                return "an import's name from " + module + " lies outside the image";
            const void *routine = FindImportBinding(module, name);
            if (routine == nullptr)
                return "the image imports " + module + "!" + name + ", which the simulation does not provide";
            map.Write<uint32_t>(addresses + 4 * i, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine)));
            bound.push_back(module + "!" + name);
        }
    }
}

// Moves every absolute address in the image by delta.
std::string Relocate(Mapping &map, uint32_t rva, uint32_t size, uint32_t delta)
{
    for (uint32_t block = rva; block < rva + size;) {
        uint32_t page = map.Read<uint32_t>(block);
        uint32_t blockSize = map.Read<uint32_t>(block + 4);
        if (blockSize < 8 || !map.Has(block, blockSize))
            return "a base relocation block at " + Hex(block) + " is malformed";
        for (uint32_t at = block + 8; at + 2 <= block + blockSize; at += 2) {
            uint16_t entry = map.Read<uint16_t>(at);
            uint16_t type = entry >> 12;
            uint32_t target = page + (entry & 0x0FFF);
            if (type == kRelAbsolute)
                continue;
            if (type != kRelHighLow)
                return "base relocation type " + std::to_string(type) + " at " + Hex(target) +
                       " (a 32-bit image has only HIGHLOW ones)";
            if (!map.Has(target, 4))
                return "a base relocation at " + Hex(target) + " lies outside the image";
            map.Write<uint32_t>(target, map.Read<uint32_t>(target) + delta);
        }
        block += blockSize;
    }
    return "";
}

}  // namespace

LoadedImage::~LoadedImage()
{
    if (base_ != nullptr) {
        UnregisterImage(base_);
        RemoveServiceCallRange(base_);
        munmap(base_, size_);
    }
}

LoadResult LoadImageFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return Refuse(path + ": cannot open the file");
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t slash = path.find_last_of('/');
    LoadResult result = LoadImage(bytes, slash == std::string::npos ? path : path.substr(slash + 1));
    if (!result.image)
        result.error = path + ": " + result.error;
    return result;
}

LoadResult LoadImage(const std::vector<uint8_t> &bytes, const std::string &name)
{
    FileView file(bytes);
    if (!file.Has(0, 64) || file.Read<uint16_t>(0) != 0x5A4D)
        return Refuse("not an executable image (no MZ header)");
    uint32_t pe = file.Read<uint32_t>(0x3C);
    if (!file.Has(pe, 24) || file.Read<uint32_t>(pe) != 0x00004550)
        return Refuse("not a PE image (no PE signature)");
    uint16_t machine = file.Read<uint16_t>(pe + 4);
    if (machine != kMachineI386)
        return Refuse("machine " + Hex(machine) + " is not the platform's (i386, 0x14C)");
    uint16_t sectionCount = file.Read<uint16_t>(pe + 6);
    uint16_t optionalSize = file.Read<uint16_t>(pe + 20);
    size_t opt = pe + 24;
    if (optionalSize < 96 + 8 * 16 || !file.Has(opt, optionalSize) || file.Read<uint16_t>(opt) != kPe32Magic)
        return Refuse("not a 32-bit (PE32) image");
    uint16_t subsystem = file.Read<uint16_t>(opt + 68);
    if (subsystem != kSubsystemNative)
        return Refuse("subsystem " + std::to_string(subsystem) + " is not native (1): not a driver image");
    uint32_t entry = file.Read<uint32_t>(opt + 16);
    uint32_t preferredBase = file.Read<uint32_t>(opt + 28);
    uint32_t imageSize = file.Read<uint32_t>(opt + 56);
    uint32_t headersSize = file.Read<uint32_t>(opt + 60);
    auto dir = [&](int index, uint32_t &rva, uint32_t &size) {
        rva = file.Read<uint32_t>(opt + 96 + 8 * index);
        size = file.Read<uint32_t>(opt + 96 + 8 * index + 4);
    };
    if (imageSize == 0 || imageSize > (64u << 20) || headersSize > imageSize || !file.Has(0, headersSize))
        return Refuse("image size " + Hex(imageSize) + " or header size " + Hex(headersSize) + " is not plausible");

    std::vector<Section> sections;
    size_t sectionTable = opt + optionalSize;
    for (int i = 0; i < sectionCount; i++) {
        size_t at = sectionTable + 40 * i;
        if (!file.Has(at, 40))
            return Refuse("the section table runs past the end of the file");
        Section s{file.Read<uint32_t>(at + 12), file.Read<uint32_t>(at + 8), file.Read<uint32_t>(at + 20),
                  file.Read<uint32_t>(at + 16)};
        uint32_t extent = std::max(s.virtualSize, s.rawSize);
        if (s.virtualAddress > imageSize || extent > imageSize - s.virtualAddress)
            return Refuse("section " + std::to_string(i) + " lies outside the image");
        if (s.rawSize != 0 && !file.Has(s.rawOffset, s.rawSize))
            return Refuse("section " + std::to_string(i) + "'s data runs past the end of the file");
        sections.push_back(s);
    }

    void *memory = mmap(nullptr, imageSize, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return Refuse("no memory for " + Hex(imageSize) + " bytes");
    std::unique_ptr<LoadedImage> image(new LoadedImage());
    LoadedImage &loaded = *image;
    loaded.base_ = static_cast<uint8_t *>(memory);
    loaded.size_ = imageSize;
    loaded.preferredBase_ = preferredBase;

    std::memcpy(loaded.base_, file.At(0), headersSize);
    for (const Section &s : sections) {
        // Raw data beyond the section's virtual size is file alignment padding.
        uint32_t length = s.virtualSize != 0 ? std::min(s.rawSize, s.virtualSize) : s.rawSize;
        if (length != 0)
            std::memcpy(loaded.base_ + s.virtualAddress, file.At(s.rawOffset), length);
    }
    Mapping map(loaded.base_, imageSize);

    uint32_t rva, size, getter = 0;
    dir(kDirExport, rva, size);
    std::string error = CheckExports(map, rva, size, getter);
    if (!error.empty())
        return Refuse(error);
    uint32_t delta = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(loaded.base_)) - preferredBase;
    dir(kDirReloc, rva, size);
    if (delta != 0 && (rva == 0 || size == 0))
        return Refuse("the image has no base relocations and cannot be moved from " + Hex(preferredBase));
    if (delta != 0 && !(error = Relocate(map, rva, size, delta)).empty())
        return Refuse(error);
    dir(kDirImport, rva, size);
    if (!(error = BindImports(map, rva, size, loaded.imports_)).empty())
        return Refuse(error);
    if (entry == 0 || !map.Has(entry, 1))
        return Refuse("the entry point " + Hex(entry) + " lies outside the image");

    loaded.entry_ = reinterpret_cast<PDRIVER_INITIALIZE>(loaded.base_ + entry);
    loaded.getServiceTable_ = reinterpret_cast<ServiceTableGetter>(loaded.base_ + getter);
    AddServiceCallRange(loaded.base_, loaded.size_);
    RegisterImage(name, loaded.base_, loaded.size_);
    return LoadResult{std::move(image), ""};
}

}  // namespace sim::loader

#endif
