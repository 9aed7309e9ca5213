#include "lang_loader/lang_loader.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "devlink/boot_link.h"
#include "devlink/console.h"
#include "devlink/panel_geometry.h"
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

constexpr long kDataSize = long{panel::kLanguageDataPages} * panel::kPageSize;
constexpr long kHeaderOffset = kDataSize;
constexpr long kFileSize = kHeaderOffset + panel::kPageSize;

// Closes the language file on every way out of the run.
struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using LanguageFile = std::unique_ptr<std::FILE, FileCloser>;

constexpr const char *kProgram = "lang_loader";

bool fail(const char *message, const Failure &failure)
{
    return reportFailure(kProgram, message, failure);
}

// A short file would leave stale bytes in the page buffer and send them to
// the panel, so it is refused before the panel is touched. Bytes past one
// language are ignored. Nothing failed when the file is complete.
Failure checkComplete(std::FILE *file, const char *path)
{
    struct stat st {};
    if (fstat(fileno(file), &st) != 0)
        return fileFailure(FailureKind::FileRead, path, errno);
    if (!S_ISREG(st.st_mode))
        return fileFailure(FailureKind::NotRegularFile, path);
    if (st.st_size < kFileSize) {
        Failure failure = fileFailure(FailureKind::LanguageTooShort, path);
        failure.size = st.st_size;
        failure.wanted = kFileSize;
        return failure;
    }
    return {};
}

// The file was complete when the run began; a read can still fail later
// (the file shrank, or the disk failed), and then says where.
bool readPageAt(std::FILE *file, const char *path, long offset, uint8_t *page, Failure &failure)
{
    errno = 0;
    std::size_t got = 0;
    if (std::fseek(file, offset, SEEK_SET) == 0 &&
        (got = std::fread(page, 1, bootlink::kPageSize, file)) == bootlink::kPageSize)
        return true;
    failure = fileFailure(FailureKind::FileRead, path, std::ferror(file) != 0 ? errno : 0);
    failure.offset = offset;
    failure.size = offset + static_cast<long>(got);
    return false;
}

// A spinner step after each data page, "   :) " and a carriage return, so
// that it turns in place; none after the header.
Progress spinner()
{
    Progress progress;
    progress.advanced = [](Phase, uint32_t done) {
        if (done <= panel::kLanguageDataPages)
            printSpinnerStep(done - 1, "   :) \r");
    };
    return progress;
}

// The message of what failed: reading the file, a data page (whose
// message has no line end, as it overwrites the spinner: the cause goes
// first so that it, too, starts on a line of its own), or the header.
bool loadingFailed(const Failure &failure)
{
    if (failure.kind == FailureKind::FileRead)
        return fail(kMsgShortFile, failure);
    if (failure.number == panel::kLanguageHeaderPage)
        return fail(kMsgHeaderFailed, failure);
    printCause(kProgram, failure);
    std::fputs(kMsgPageFailed, stdout);
    return false;
}

} // namespace

bool runLangLoader(int argc, char **argv)
{
    BootLink link;
    SerialFlashDriver client(&link);
    if (argc != 2)
        return fail(kMsgArguments, fileFailure(FailureKind::Usage, "lang_loader <language file>"));
    const char *path = argv[1];
    LanguageFile file(std::fopen(path, "rb"));
    if (!file) {
        const Failure failure = fileFailure(FailureKind::FileOpen, path, errno);
        std::fputs(kMsgNoFile, stdout);
        return fail(path, failure);
    }
    const Failure incomplete = checkComplete(file.get(), path);
    if (incomplete.failed())
        return fail(kMsgShortFile, incomplete);
    if (!link.open())
        return fail(kMsgNoDevice, link.failure());
    if (!link.ping())
        return fail(kMsgNoBootloader, link.failure());
    if (!client.loadDriver())
        return fail(kMsgNoDriver, client.failure());
    if (!client.init())
        return fail(kMsgNoInit, client.failure());
    // Each page is read from the file as it goes out.
    const LanguagePages pages = [&](uint32_t k, uint8_t *page, Failure &failure) {
        return readPageAt(file.get(), path, static_cast<long>(k) * bootlink::kPageSize, page, failure);
    };
    if (!client.writeLanguage(pages, spinner()))
        return loadingFailed(client.failure());
    printLine(kMsgDone);
    return true;
}
