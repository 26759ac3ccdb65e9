#include "stand_in_images.h"

#include <algorithm>
#include <stdexcept>

namespace nuvix::fw {

namespace {

// splitmix64: a fixed, portable sequence (the standard library's
// distributions may differ between implementations, and the images must not).
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}

    uint64_t Next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t Below(size_t bound) { return static_cast<size_t>(Next() % bound); }

private:
    uint64_t state_;
};

// Lengths of 1..16 adding up to plan.bytes, and gaps between records adding
// up to what the range leaves over, so the first record starts at plan.first
// and the last one ends at plan.last.
std::vector<HexRecord> LayOut(const RegionPlan &plan, Random &random)
{
    const size_t span = plan.last - plan.first + 1;
    if (plan.records == 0 || plan.bytes < plan.records || plan.bytes > plan.records * kMaxRecordData ||
        plan.bytes > span || (plan.records == 1 && plan.bytes != span))
        throw std::logic_error("impossible region plan");

    std::vector<size_t> lengths(plan.records, 1);
    for (size_t extra = plan.bytes - plan.records; extra > 0;) {
        size_t i = random.Below(plan.records);
        if (lengths[i] < kMaxRecordData) {
            lengths[i]++;
            extra--;
        }
    }
    std::vector<size_t> gaps(plan.records, 0);  // gaps[i]: free bytes before record i (i >= 1)
    for (size_t spare = span - plan.bytes; spare > 0; spare--)
        gaps[1 + random.Below(plan.records - 1)]++;

    std::vector<HexRecord> records;
    uint32_t address = plan.first;
    for (size_t i = 0; i < plan.records; i++) {
        address += static_cast<uint32_t>(gaps[i]);
        HexRecord record;
        record.address = static_cast<uint16_t>(address);
        for (size_t k = 0; k < lengths[i]; k++)
            record.data.push_back(static_cast<uint8_t>(random.Next()));
        address += static_cast<uint32_t>(lengths[i]);
        records.push_back(std::move(record));
    }
    return records;
}

// Cuts the region's records into `runs` non-empty runs at random places and
// shuffles the runs, as a linker's output sections come in no address order.
std::vector<std::vector<HexRecord>> Runs(std::vector<HexRecord> records, size_t runs, Random &random)
{
    runs = std::min(runs, records.size());
    std::vector<size_t> cuts;  // positions 1..n-1, distinct
    while (cuts.size() + 1 < runs) {
        size_t cut = 1 + random.Below(records.size() - 1);
        if (std::find(cuts.begin(), cuts.end(), cut) == cuts.end())
            cuts.push_back(cut);
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.push_back(records.size());
    std::vector<std::vector<HexRecord>> out;
    size_t from = 0;
    for (size_t cut : cuts) {
        out.emplace_back(records.begin() + from, records.begin() + cut);
        from = cut;
    }
    for (size_t i = out.size() - 1; i > 0; i--)
        std::swap(out[i], out[random.Below(i + 1)]);
    return out;
}

}  // namespace

const std::vector<ImagePlan> &StandInPlans()
{
    static const std::vector<ImagePlan> plans = {
        {"loader", 0x6C6F61646572ull, {0x0000, 0x11D1, 283, 3601}, {0, 0, 0, 0}, 8},
        {"main", 0x6D61696E0001ull, {0x0000, 0x1B2F, 412, 5959}, {0x8000, 0xA3F6, 636, 9207}, 12},
        {"alternate", 0x616C74000002ull, {0x0000, 0x00D9, 14, 218}, {0xE000, 0xEF75, 241, 3793}, 4},
    };
    return plans;
}

HexImage GenerateImage(const ImagePlan &plan)
{
    Random random(plan.seed);
    auto internal = Runs(LayOut(plan.internal, random), plan.runs, random);
    std::vector<std::vector<HexRecord>> external;
    if (plan.external.records)
        external = Runs(LayOut(plan.external, random), plan.runs, random);

    HexImage image;
    auto append = [&](const std::vector<HexRecord> &run) { image.insert(image.end(), run.begin(), run.end()); };
    const bool externalFirst = !external.empty() && random.Below(2) == 1;
    for (size_t i = 0; i < std::max(internal.size(), external.size()); i++) {
        if (externalFirst && i < external.size())
            append(external[i]);
        if (i < internal.size())
            append(internal[i]);
        if (!externalFirst && i < external.size())
            append(external[i]);
    }
    return image;
}

std::vector<StandInImage> GenerateStandInImages()
{
    std::vector<StandInImage> images;
    for (const ImagePlan &plan : StandInPlans())
        images.push_back({plan.name, GenerateImage(plan)});
    return images;
}

std::string ShippedImageDirectory() { return NUVIX_FIRMWARE_IMAGE_DIR; }

std::string ShippedImagePath(const std::string &name) { return ShippedImageDirectory() + "/" + name + ".hex"; }

bool IsImageName(const std::string &name)
{
    for (const ImagePlan &plan : StandInPlans())
        if (name == plan.name)
            return true;
    return false;
}

}  // namespace nuvix::fw
