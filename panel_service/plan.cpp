#include "panel_service/plan.h"

#include <algorithm>
#include <numeric>

#include "devlink/panel_geometry.h"
#include "panel_flasher/panel_flash_driver.h"

namespace {

constexpr uint32_t kPagesPerSector = panel::kSectorSize / panel::kPageSize;
constexpr uint32_t kFirmwarePages = panel::kFirmwareRange.size() / panel::kPageSize;
constexpr uint32_t kLanguagePages = panel::kLanguageDataPages + 1u;

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

std::vector<uint32_t> firstPages(uint32_t count)
{
    std::vector<uint32_t> pages(count);
    std::iota(pages.begin(), pages.end(), 0u);
    return pages;
}

Bytes expectedFirmware(const PanelFlashDriver &client)
{
    Bytes range(panel::kFirmwareRange.size(), 0xFF);
    const uint32_t written = std::min(client.pagesToWrite(), kFirmwarePages);
    for (uint32_t j = 0; j < written; ++j)
        client.firmwarePage(j, range.data() + std::size_t{j} * panel::kPageSize);
    return range;
}

Bytes expectedLanguage(const Bytes &file)
{
    Bytes expected = file;
    expected[std::size_t{panel::kLanguageDataPages} * panel::kPageSize + panel::kLanguageHeaderMarkByte] = 1;
    return expected;
}

FirmwarePlan fullFirmwarePlan(const PanelFlashDriver &client)
{
    FirmwarePlan plan;
    for (uint32_t sector = panel::kFirstFirmwareSector; sector <= panel::kLastFirmwareSector; ++sector)
        plan.sectors.push_back(sector);
    plan.pages = firstPages(client.pagesToWrite());
    return plan;
}

FirmwarePlan firmwarePlan(const Bytes &expected, const Bytes &held)
{
    FirmwarePlan plan;
    for (uint32_t first = 0; first < kFirmwarePages; first += kPagesPerSector) {
        bool same = true;
        for (uint32_t j = first; j < first + kPagesPerSector && same; ++j)
            same = samePage(expected, held, j);
        if (same) {
            plan.pagesSkipped += kPagesPerSector;
            continue;
        }
        plan.sectors.push_back(panel::kFirstFirmwareSector + first / kPagesPerSector);
        for (uint32_t j = first; j < first + kPagesPerSector; ++j)
            if (!erasedPage(expected, j))
                plan.pages.push_back(j);
    }
    return plan;
}

LanguagePlan fullLanguagePlan()
{
    LanguagePlan plan;
    plan.pages = firstPages(kLanguagePages);
    return plan;
}

LanguagePlan languagePlan(const Bytes &expected, const Bytes &held)
{
    LanguagePlan plan;
    for (uint32_t k = 0; k < kLanguagePages; ++k) {
        if (samePage(expected, held, k))
            ++plan.pagesSkipped;
        else
            plan.pages.push_back(k);
    }
    return plan;
}
