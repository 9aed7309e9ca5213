#include "lang_loader/lang_loader.h"

#include <cstdint>
#include <cstdio>
#include <memory>
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

// A short file would leave stale bytes in the page buffer and send them to
// the panel, so it is refused before the panel is touched.
bool isCompleteLanguageFile(std::FILE *file)
{
    struct stat st {};
    return fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= kFileSize;
}

bool readPageAt(std::FILE *file, long offset, uint8_t *page)
{
    return std::fseek(file, offset, SEEK_SET) == 0 &&
           std::fread(page, 1, bootlink::kPageSize, file) == bootlink::kPageSize;
}

// File page k goes to flash page 32 + k.
bool writeDataPages(std::FILE *file, SerialFlashDriver &client, uint8_t *page)
{
    uint16_t flashPage = kFirstDataPage;
    for (long offset = 0; offset < kDataSize; offset += bootlink::kPageSize) {
        if (!readPageAt(file, offset, page)) {
            printLine(kMsgShortFile);
            return false;
        }
        if (!client.writePage(flashPage, page)) {
            std::fputs(kMsgPageFailed, stdout);  // no line end: it overwrites the spinner
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
    if (!readPageAt(file, kHeaderOffset, page)) {
        printLine(kMsgShortFile);
        return false;
    }
    page[kHeaderMarkByte] = 1;
    if (!client.writePage(kHeaderPage, page)) {
        printLine(kMsgHeaderFailed);
        return false;
    }
    printLine(kMsgDone);
    return true;
}

} // namespace

bool runLangLoader(int argc, char **argv)
{
    BootLink link;
    SerialFlashDriver client(&link);
    if (argc != 2) {
        printLine(kMsgArguments);
        return false;
    }
    LanguageFile file(std::fopen(argv[1], "rb"));
    if (!file) {
        std::fputs(kMsgNoFile, stdout);
        printLine(argv[1]);
        return false;
    }
    if (!isCompleteLanguageFile(file.get())) {
        printLine(kMsgShortFile);
        return false;
    }
    if (!link.open()) {
        printLine(kMsgNoDevice);
        return false;
    }
    if (!link.ping()) {
        printLine(kMsgNoBootloader);
        return false;
    }
    if (!client.loadDriver()) {
        printLine(kMsgNoDriver);
        return false;
    }
    if (!client.init()) {
        printLine(kMsgNoInit);
        return false;
    }
    uint8_t page[bootlink::kPageSize] = {};
    return writeDataPages(file.get(), client, page) && writeHeader(file.get(), client, page);
}
