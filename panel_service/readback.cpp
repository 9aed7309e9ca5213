#include "panel_service/readback.h"

#include <chrono>

#include "panel_service/memory_files.h"
#include "panel_service/sha256.h"

namespace {

constexpr const char *kNames[] = {"verify-language", "verify-firmware", "save-language", "save-firmware"};

bool verifies(ReadbackCommand c) { return c == ReadbackCommand::VerifyLanguage || c == ReadbackCommand::VerifyFirmware; }

Memory memoryOf(ReadbackCommand c)
{
    return c == ReadbackCommand::VerifyLanguage || c == ReadbackCommand::SaveLanguage ? Memory::SerialFlash
                                                                                      : Memory::Flash;
}

// The steps in their order, each only once those before it succeeded.
bool run(ReadbackCommand command, const std::string &path, const std::string &drivers, const PanelChoice &choice,
         const Progress &progress, ServiceResult &r)
{
    const Memory memory = memoryOf(command);
    PanelFile file;
    PanelSession session;
    ImageHolder driver;
    const auto sessionFailed = [&r, &session]() {
        r.failure = session.failure();
        return false;
    };
    if (command == ReadbackCommand::VerifyLanguage && !readLanguageFile(path, FileTrust{}, file, r.failure))
        return false;
    if (!session.open(choice))
        return sessionFailed();
    if (!readDriverOf(memory, drivers, driver, r.failure))
        return false;
    if (!session.uploadDriver(memory, driver, progress))
        return sessionFailed();
    if (command == ReadbackCommand::VerifyFirmware && !readFirmwareFile(path, FirmwareUse::ToCompare, FileTrust{}, file, r.failure))
        return false;
    if (!session.init())
        return sessionFailed();
    if (verifies(command)) {
        const std::vector<uint32_t> pages = firstPages(file.pagesToWrite);
        Bytes held(file.expected.size(), 0);
        if (!session.read(pages, held, Phase::Read, progress))
            return sessionFailed();
        r.comparison = compareHeld(memory, pages, file.expected, held);
        r.pagesVerified = r.comparison.pages;
        r.sha256 = file.sha256;
        r.end = r.comparison.matches() ? ServiceEnd::Match : ServiceEnd::Mismatch;
        return true;
    }
    const uint32_t pages = shapeOf(memory).pages;
    Bytes held(std::size_t{pages} * 256u, 0);
    if (!session.read(firstPages(pages), held, Phase::Read, progress))
        return sessionFailed();
    const std::string text = memory == Memory::SerialFlash
                                 ? std::string(held.begin(), held.end())
                                 : firmwareRecords(held, savedFirmwareHeader("panel_readback", bootCheckPasses(held)));
    if (!writeWhole(path, text, r.failure))
        return false;
    r.pagesRead = pages;
    r.sha256 = sha256Hex(text);
    r.end = ServiceEnd::Saved;
    return true;
}

} // namespace

bool readbackCommandNamed(const std::string &name, ReadbackCommand &command)
{
    for (int c = 0; c < 4; ++c)
        if (name == kNames[c]) {
            command = static_cast<ReadbackCommand>(c);
            return true;
        }
    return false;
}

ServiceResult runReadback(ReadbackCommand command, const std::string &file, const std::string &drivers,
                          const PanelChoice &choice, const Progress &progress)
{
    ServiceResult r;
    r.command = kNames[static_cast<int>(command)];
    r.file = file;
    const auto began = std::chrono::steady_clock::now();
    if (!run(command, file, drivers, choice, progress, r))
        r.end = ServiceEnd::Failed;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    r.cause = causeOf(r, shapeOf(memoryOf(command)).name);
    return r;
}

std::string readbackLine(const ServiceResult &r)
{
    const bool language = r.command == "verify-language" || r.command == "save-language";
    switch (r.end) {
    case ServiceEnd::Match:
        return std::string("match: the panel's ") + (language ? "serial flash" : "flash") + " holds " + r.file +
               " (" + std::to_string(r.pagesVerified) + " pages)";
    case ServiceEnd::Saved:
        return language ? "saved the panel's language (" + std::to_string(r.pagesRead * 256u) + " bytes) to " + r.file
                        : "saved the panel's firmware to " + r.file;
    default:
        return r.cause;
    }
}
