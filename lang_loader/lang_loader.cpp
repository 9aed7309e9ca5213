#include "lang_loader/lang_loader.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>

#include "devlink/boot_link.h"
#include "devlink/console.h"
#include "lang_loader/serial_flash_driver.h"

namespace {

// Latin-1 text, byte for byte: "\xE1" is the "a" with an acute accent.
constexpr const char *kMsgArguments = "ERROR en los par\xE1metros de entrada";
constexpr const char *kMsgNoFile = "ERROR: No se encuentra el archivo de idiomas";
constexpr const char *kMsgShortFile = "ERROR: archivo de idiomas incompleto";
constexpr const char *kMsgNoDevice = "ERROR: no se puede iniciar driver";
constexpr const char *kMsgNoBootloader = "ERROR: no se puede conectar con el bootloader";
constexpr const char *kMsgNoDriver = "ERROR: driver serie no cargado";
constexpr const char *kMsgNoInit = "FAIL: SERIAL FLASH NOT INITIALIZED";
constexpr const char *kMsgPageFailed = "ERROR: fallo al escribir en la EEPROM";
constexpr const char *kMsgHeaderFailed = "ERROR: fallo al escribir la cabecera";
constexpr const char *kMsgDone = "Lenguaje cargado correctamente :)";

constexpr long kDataSize = 0x10000;
constexpr long kHeaderOffset = 0x10000;
constexpr long kFileSize = kHeaderOffset + 0x100;
constexpr uint16_t kFirstDataPage = 32;
constexpr uint16_t kHeaderPage = 1;
constexpr int kHeaderMarkByte = 4;

// Closes the language file on every way out of the run.
struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using LanguageFile = std::unique_ptr<std::FILE, FileCloser>;

constexpr const char *kProgram = "lang_loader";

bool fail(const char *message, const std::string &cause)
{
    return reportFailure(kProgram, message, cause);
}

std::string quoted(const char *path) { return std::string("\"") + path + "\""; }

// A short file would leave stale bytes in the page buffer and send them to
// the panel, so it is refused before the panel is touched. Empty when the
// file is complete, else why not.
std::string incompleteFileCause(std::FILE *file, const char *path)
{
    struct stat st {};
    if (fstat(fileno(file), &st) != 0)
        return "cannot examine " + quoted(path) + ": " + std::strerror(errno);
    if (!S_ISREG(st.st_mode))
        return quoted(path) + " is not a regular file";
    if (st.st_size < kFileSize)
        return quoted(path) + " is " + std::to_string(st.st_size) +
               " bytes; a language file has " + std::to_string(kFileSize);
    return {};
}

bool readPageAt(std::FILE *file, long offset, uint8_t *page)
{
    return std::fseek(file, offset, SEEK_SET) == 0 &&
           std::fread(page, 1, bootlink::kPageSize, file) == bootlink::kPageSize;
}

std::string readFailedCause(long offset)
{
    return "the language file could not be read at byte " + std::to_string(offset);
}

// File page k goes to flash page 32 + k.
bool writeDataPages(std::FILE *file, SerialFlashDriver &client, uint8_t *page)
{
    uint16_t flashPage = kFirstDataPage;
    for (long offset = 0; offset < kDataSize; offset += bootlink::kPageSize) {
        if (!readPageAt(file, offset, page))
            return fail(kMsgShortFile, readFailedCause(offset));
        if (!client.writePage(flashPage, page)) {
            // The message has no line end, as it overwrites the spinner;
            // the cause goes first so that it, too, starts on a line of
            // its own.
            printCause(kProgram, client.failureCause());
            std::fputs(kMsgPageFailed, stdout);
            return false;
        }
        printSpinnerStep(flashPage - kFirstDataPage, "   :) \r");
        ++flashPage;
    }
    return true;
}

// The header goes last: the panel takes the language as valid only once
// its header is marked, so a run cut short never leaves a half-written
// language marked as loaded.
bool writeHeader(std::FILE *file, SerialFlashDriver &client, uint8_t *page)
{
    if (!readPageAt(file, kHeaderOffset, page))
        return fail(kMsgShortFile, readFailedCause(kHeaderOffset));
    page[kHeaderMarkByte] = 1;
    if (!client.writePage(kHeaderPage, page))
        return fail(kMsgHeaderFailed, client.failureCause());
    printLine(kMsgDone);
    return true;
}

} // namespace

bool runLangLoader(int argc, char **argv)
{
    BootLink link;
    SerialFlashDriver client(&link);
    if (argc != 2)
        return fail(kMsgArguments, "usage: lang_loader <language file>");
    LanguageFile file(std::fopen(argv[1], "rb"));
    if (!file) {
        const std::string cause = "cannot open " + quoted(argv[1]) + ": " + std::strerror(errno);
        std::fputs(kMsgNoFile, stdout);
        return fail(argv[1], cause);
    }
    const std::string incomplete = incompleteFileCause(file.get(), argv[1]);
    if (!incomplete.empty())
        return fail(kMsgShortFile, incomplete);
    if (!link.open())
        return fail(kMsgNoDevice, link.failureCause());
    if (!link.ping())
        return fail(kMsgNoBootloader, link.failureCause());
    if (!client.loadDriver())
        return fail(kMsgNoDriver, client.failureCause());
    if (!client.init())
        return fail(kMsgNoInit, client.failureCause());
    uint8_t page[bootlink::kPageSize] = {};
    return writeDataPages(file.get(), client, page) && writeHeader(file.get(), client, page);
}
