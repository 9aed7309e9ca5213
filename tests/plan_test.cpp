// The plan of what a service writes, on its own: for one page that differs
// in each place a memory has, exactly its sector (the flash) or its page
// (the language) is chosen, the plan applied leaves the memory equal to
// the file, and the comparison names the page, the offset and both bytes.
#include <gtest/gtest.h>

#include "panel_service/plan.h"

namespace {

Bytes patterned(std::size_t size, uint8_t seed)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + seed + i / 256);
    return bytes;
}

TEST(Plan, OnePageDifferentAnywhereIsPlannedAloneAndComparedExactly)
{
    struct Case {
        Memory memory;
        uint32_t page;          // as the file has it
        uint16_t panelPage;     // as the panel names it
        std::vector<uint32_t> sectors;
        std::vector<uint32_t> pages;
    } cases[] = {
        {Memory::Flash, 0, 64, {8}, {0, 1, 2, 3, 4, 5, 6, 7}},                  // the first page of a sector
        {Memory::Flash, 2, 66, {8}, {0, 1, 2, 3, 4, 5, 6, 7}},                  // the checksum word's page
        {Memory::Flash, 84, 148, {18}, {80, 81, 82, 83, 84, 85, 86, 87}},       // a middle page
        {Memory::Flash, 87, 151, {18}, {80, 81, 82, 83, 84, 85, 86, 87}},       // the last page of a sector
        {Memory::Flash, 959, 1023, {127}, {952, 953, 954, 955, 956, 957, 958, 959}},  // the last sector
        {Memory::SerialFlash, 0, 32, {}, {0}},
        {Memory::SerialFlash, 255, 287, {}, {255}},
        {Memory::SerialFlash, 256, 1, {}, {256}},                                // the header
    };
    for (const Case &c : cases) {
        const uint32_t pages = shapeOf(c.memory).pages;
        const Bytes expected = patterned(std::size_t{pages} * 256, 3);
        Bytes held = expected;
        held[std::size_t{c.page} * 256 + 255] ^= 0x5A;

        const Comparison before = compareHeld(c.memory, firstPages(pages), expected, held);
        EXPECT_EQ(before.differing, 1u) << c.page;
        EXPECT_EQ(before.pages, pages);
        EXPECT_EQ(before.firstPage, c.panelPage);
        EXPECT_EQ(before.offset, 255u);
        EXPECT_EQ(before.fileByte, expected[std::size_t{c.page} * 256 + 255]);
        EXPECT_EQ(before.panelByte, held[std::size_t{c.page} * 256 + 255]);

        const Plan plan = planChanges(c.memory, expected, held);
        EXPECT_EQ(plan.sectors, c.sectors) << c.page;
        EXPECT_EQ(plan.pages, c.pages) << c.page;
        EXPECT_EQ(plan.pagesSkipped, pages - (c.sectors.empty() ? 1 : 8)) << c.page;
        applyPlan(c.memory, plan, expected, held);
        EXPECT_EQ(held, expected) << c.page;
        EXPECT_TRUE(compareHeld(c.memory, firstPages(pages), expected, held).matches());
        EXPECT_TRUE(planChanges(c.memory, expected, held).pages.empty());
    }
}

// A sector whose file pages are erased is erased and none of its pages
// written; a page the file leaves erased beside a written one is not sent.
TEST(Plan, ErasedPagesAreErasedNotWritten)
{
    Bytes expected(std::size_t{960} * 256, 0xFF);
    std::fill(expected.begin() + 8 * 256, expected.begin() + 9 * 256, 0x11);  // page 8, sector 9
    Bytes held(expected.size(), 0x22);
    const Plan plan = planChanges(Memory::Flash, expected, held);
    EXPECT_EQ(plan.sectors.size(), 120u);
    EXPECT_EQ(plan.pages, std::vector<uint32_t>{8});
    EXPECT_EQ(plan.pagesSkipped, 0u);
    applyPlan(Memory::Flash, plan, expected, held);
    EXPECT_EQ(held, expected);

    const Plan full = fullPlan(Memory::Flash, 3);
    EXPECT_EQ(full.sectors.front(), 8u);
    EXPECT_EQ(full.sectors.back(), 127u);
    EXPECT_EQ(full.pages, (std::vector<uint32_t>{0, 1, 2}));
    const Plan language = fullPlan(Memory::SerialFlash, 257);
    EXPECT_TRUE(language.sectors.empty());
    EXPECT_EQ(language.pages.size(), 257u);
    EXPECT_EQ(language.pages.back(), 256u) << "the header last";
}

} // namespace
