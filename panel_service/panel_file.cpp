#include "panel_service/panel_file.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

#include "devlink/panel_geometry.h"
#include "lang_loader/serial_flash_driver.h"
#include "panel_flasher/panel_flash_driver.h"
#include "panel_service/sha256.h"

namespace {

constexpr std::size_t kLanguageSize = (panel::kLanguageDataPages + 1) * panel::kPageSize;

const std::string kBootCheckFails = "; boot check fails";

bool savedFromAFailingPanel(const std::string &header)
{
    return header.size() > kBootCheckFails.size() &&
           header.compare(header.size() - kBootCheckFails.size(), kBootCheckFails.size(), kBootCheckFails) == 0;
}

} // namespace

// No file of ours comes near the default limit: a device or a runaway file
// is refused (EFBIG) rather than read into memory without end.
bool readWholeFile(const std::string &path, std::string &bytes, Failure &failure, std::size_t longest)
{
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        failure = fileFailure(FailureKind::FileOpen, path, errno);
        return false;
    }
    bytes.clear();
    char block[1 << 16];
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, file)) > 0 && bytes.size() + n <= longest)
        bytes.append(block, n);
    const int error = n > 0 ? EFBIG : !std::ferror(file) ? 0 : errno != 0 ? errno : EIO;
    std::fclose(file);
    if (error != 0)
        failure = fileFailure(FailureKind::FileRead, path, error);
    return error == 0;
}

std::string savedFirmwareHeader(const std::string &savedBy, bool bootCheckPassed)
{
    return savedBy + (bootCheckPassed ? "; boot check passes" : kBootCheckFails);
}

// A file without one S3 data byte in the firmware range is the wrong file
// (S1 records, say): flashing it would erase the panel's firmware and
// report success with nothing written.
bool firmwareFrom(const std::string &path, const std::string &text, FirmwareUse use, PanelFile &file,
                  Failure &failure)
{
    ImageHolder image;
    const bool parsed = loadImageText(image, text, path.c_str(),
                                      use == FirmwareUse::AsHeld ? S19Image::kFlashProfileOnly
                                                                 : S19Image::kFinaliseWithChecksum,
                                      failure);
    if (image && use == FirmwareUse::ToFlash && savedFromAFailingPanel(image->getHeader())) {
        failure = fileFailure(FailureKind::FailingBackup, path);
        return false;
    }
    if (!parsed)
        return false;
    if (image->getLoaded() == 0) {
        failure = noDataIn(path, panel::kFirmwareRange.first, panel::kFirmwareRange.last);
        return false;
    }
    file.memory = Memory::Flash;
    file.path = path;
    file.sha256 = sha256Hex(text);
    file.header = image->getHeader();
    file.pagesToWrite = pagesToWrite(*image);
    file.expected.assign(panel::kFirmwareRange.size(), 0xFF);
    for (uint32_t j = 0; j < std::min(file.pagesToWrite, shapeOf(Memory::Flash).pages); ++j)
        image->getPage(j, panel::kPageSize, file.expected.data() + std::size_t{j} * panel::kPageSize);
    return true;
}

bool languageFrom(const std::string &path, const std::string &bytes, PanelFile &file, Failure &failure)
{
    if (bytes.size() < kLanguageSize) {
        failure = fileFailure(FailureKind::LanguageTooShort, path);
        failure.size = static_cast<int64_t>(bytes.size());
        failure.wanted = static_cast<int32_t>(kLanguageSize);
        return false;
    }
    file.memory = Memory::SerialFlash;
    file.path = path;
    file.sha256 = sha256Hex(bytes);
    file.expected.assign(bytes.begin(), bytes.begin() + kLanguageSize);
    // As the panel holds it once loaded: the header marked.
    file.expected[std::size_t{panel::kLanguageDataPages} * panel::kPageSize + panel::kLanguageHeaderMarkByte] = 1;
    file.pagesToWrite = shapeOf(Memory::SerialFlash).pages;
    return true;
}

bool readFirmwareFile(const std::string &path, FirmwareUse use, const FileTrust &trust, PanelFile &file,
                      Failure &failure)
{
    std::string text;
    Signer signer;
    if (!readWholeFile(path, text, failure) || !checkSignature(path, text, trust, signer, failure) ||
        !firmwareFrom(path, text, use, file, failure))
        return false;
    file.signer = signer;
    return true;
}

bool readLanguageFile(const std::string &path, const FileTrust &trust, PanelFile &file, Failure &failure)
{
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        failure = fileFailure(FailureKind::NotRegularFile, path);
        return false;
    }
    std::string bytes;
    Signer signer;
    if (!readWholeFile(path, bytes, failure) || !checkSignature(path, bytes, trust, signer, failure) ||
        !languageFrom(path, bytes, file, failure))
        return false;
    file.signer = signer;
    return true;
}

bool readDriverOf(Memory memory, const std::string &drivers, ImageHolder &driver, Failure &failure)
{
    const char *name = memory == Memory::Flash ? PanelFlashDriver::kDriverFile : SerialFlashDriver::kDriverFile;
    return readRamDriver(driver, (drivers + "/" + name).c_str(), failure);
}
