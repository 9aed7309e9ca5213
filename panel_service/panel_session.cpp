#include "panel_service/panel_session.h"

#include <cstring>

#include "devlink/panel_geometry.h"

bool PanelSession::step(bool ok, const Failure &why)
{
    failed = ok ? Failure{} : why;
    return ok;
}

bool PanelSession::open(const PanelChoice &choice)
{
    const bool opened = choice.bus == 0 ? link.open() : link.openAt(choice.bus, choice.device);
    return step(opened && link.ping(), link.failure());
}

bool PanelSession::uploadDriver(Memory which, const ImageHolder &driver, const Progress &progress)
{
    memory = which;
    if (memory == Memory::Flash)
        return step(flash.uploadDriver(driver, progress), flash.failure());
    return step(serial.uploadDriver(driver, progress), serial.failure());
}

bool PanelSession::init()
{
    if (memory == Memory::Flash)
        return step(flash.init(), flash.failure());
    return step(serial.init(), serial.failure());
}

bool PanelSession::begin(const PanelChoice &choice, Memory which, const ImageHolder &driver,
                         const Progress &progress)
{
    return open(choice) && uploadDriver(which, driver, progress) && init();
}

bool PanelSession::read(const std::vector<uint32_t> &pages, Bytes &into, Phase phase, const Progress &progress)
{
    progress.begin(phase, static_cast<uint32_t>(pages.size()));
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const uint16_t page = panelPageOf(memory, pages[i]);
        uint8_t *to = into.data() + std::size_t{pages[i]} * panel::kPageSize;
        if (memory == Memory::Flash ? !step(flash.readPage(page, to), flash.failure())
                                    : !step(serial.readPage(page, to), serial.failure()))
            return false;
        progress.advance(phase, static_cast<uint32_t>(i + 1));
    }
    return true;
}

bool PanelSession::erase(const std::vector<uint32_t> &sectors, const Progress &progress)
{
    return sectors.empty() || step(flash.eraseSectors(sectors, progress), flash.failure());
}

bool PanelSession::write(const std::vector<uint32_t> &pages, const Bytes &from, const Progress &progress)
{
    auto pageOf = [&from](uint32_t k, uint8_t *page) {
        std::memcpy(page, from.data() + std::size_t{k} * panel::kPageSize, panel::kPageSize);
    };
    if (memory == Memory::Flash)
        return step(flash.writeImagePages(pages, pageOf, progress), flash.failure());
    const LanguagePages language = [&pageOf](uint32_t k, uint8_t *page, Failure &) {
        pageOf(k, page);
        return true;
    };
    return step(serial.writeLanguagePages(pages, language, progress), serial.failure());
}
