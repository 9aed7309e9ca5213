#include "panel_service/plan.h"

#include <algorithm>
#include <numeric>

#include "devlink/panel_geometry.h"

namespace {

constexpr MemoryShape kFlash{"flash", panel::kFirmwareRange.size() / panel::kPageSize,
                             panel::kSectorSize / panel::kPageSize, panel::kFirstFirmwareSector};
constexpr MemoryShape kSerialFlash{"serial flash", panel::kLanguageDataPages + 1u, 0, 0};

bool samePage(const Bytes &a, const Bytes &b, uint32_t page)
{
    const auto from = std::size_t{page} * panel::kPageSize;
    return std::equal(a.begin() + from, a.begin() + from + panel::kPageSize, b.begin() + from);
}

bool erasedPage(const Bytes &bytes, uint32_t page)
{
    const auto from = bytes.begin() + std::size_t{page} * panel::kPageSize;
    return std::all_of(from, from + panel::kPageSize, [](uint8_t b) { return b == 0xFF; });
}

} // namespace

const MemoryShape &shapeOf(Memory memory) { return memory == Memory::Flash ? kFlash : kSerialFlash; }

uint16_t panelPageOf(Memory memory, uint32_t k)
{
    if (memory == Memory::Flash)
        return static_cast<uint16_t>(panel::kFirstFirmwarePage + k);
    return k < panel::kLanguageDataPages ? static_cast<uint16_t>(panel::kFirstLanguagePage + k)
                                         : panel::kLanguageHeaderPage;
}

std::vector<uint32_t> firstPages(uint32_t count)
{
    std::vector<uint32_t> pages(count);
    std::iota(pages.begin(), pages.end(), 0u);
    return pages;
}

Plan fullPlan(Memory memory, uint32_t pagesToWrite)
{
    const MemoryShape &shape = shapeOf(memory);
    Plan plan;
    if (shape.pagesPerSector > 0)
        for (uint32_t s = 0; s < shape.pages / shape.pagesPerSector; ++s)
            plan.sectors.push_back(shape.firstSector + s);
    plan.pages = firstPages(pagesToWrite);
    return plan;
}

Plan planChanges(Memory memory, const Bytes &expected, const Bytes &held)
{
    const MemoryShape &shape = shapeOf(memory);
    const uint32_t group = std::max(shape.pagesPerSector, 1u);
    Plan plan;
    for (uint32_t first = 0; first < shape.pages; first += group) {
        bool same = true;
        for (uint32_t k = first; k < first + group && same; ++k)
            same = samePage(expected, held, k);
        if (same) {
            plan.pagesSkipped += group;
            continue;
        }
        if (shape.pagesPerSector == 0) {
            plan.pages.push_back(first);
            continue;
        }
        plan.sectors.push_back(shape.firstSector + first / group);
        for (uint32_t k = first; k < first + group; ++k)
            if (!erasedPage(expected, k))
                plan.pages.push_back(k);
    }
    return plan;
}

Comparison compareHeld(Memory memory, const std::vector<uint32_t> &pages, const Bytes &expected, const Bytes &held)
{
    Comparison c;
    c.pages = static_cast<uint32_t>(pages.size());
    for (uint32_t page : pages) {
        const std::size_t from = std::size_t{page} * panel::kPageSize;
        const auto differs = std::mismatch(expected.begin() + from, expected.begin() + from + panel::kPageSize,
                                           held.begin() + from);
        if (differs.first == expected.begin() + from + panel::kPageSize || c.differing++ > 0)
            continue;
        c.firstPage = panelPageOf(memory, page);
        c.offset = static_cast<uint32_t>(differs.first - (expected.begin() + from));
        c.fileByte = *differs.first;
        c.panelByte = *differs.second;
    }
    return c;
}

void applyPlan(Memory memory, const Plan &plan, const Bytes &expected, Bytes &held)
{
    const uint32_t sectorBytes = shapeOf(memory).pagesPerSector * panel::kPageSize;
    for (uint32_t sector : plan.sectors) {
        const std::size_t from = std::size_t{sector - shapeOf(memory).firstSector} * sectorBytes;
        std::fill(held.begin() + from, held.begin() + from + sectorBytes, 0xFF);
    }
    for (uint32_t page : plan.pages) {
        const std::size_t from = std::size_t{page} * panel::kPageSize;
        std::copy(expected.begin() + from, expected.begin() + from + panel::kPageSize, held.begin() + from);
    }
}

bool bootCheckPasses(const Bytes &firmwareRange)
{
    return panel::firmwareChecksum(firmwareRange.data()) ==
           panel::bigEndianWord(firmwareRange.data() + (panel::kChecksumAddress - panel::kFirmwareRange.first));
}
