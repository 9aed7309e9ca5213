#include "devlink/ram_driver.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "devlink/boot_link.h"

bool loadImageFile(ImageHolder &holder, const char *path, int finalise, std::string &cause)
{
    std::FILE *file = std::fopen(path, "r");
    if (file == nullptr) {
        cause = std::string("cannot open \"") + path + "\": " + std::strerror(errno);
        return false;
    }
    holder = std::make_unique<S19Image>(file, finalise, 0);
    holder->parse();
    const int readError = std::ferror(file) != 0 ? errno : 0;
    std::fclose(file);
    if (holder->getStatus() == S19Image::kStatusLoaded)
        return true;
    if (readError != 0)
        cause = std::string("cannot read \"") + path + "\": " + std::strerror(readError);
    else
        cause = std::string("\"") + path + "\" line " + std::to_string(holder->getBadLine()) +
                ": bad S-record";
    return false;
}

bool uploadImage(const ImageHolder &holder, BootLink &link)
{
    uint8_t page[bootlink::kPageSize];
    for (uint16_t i = 0; i < holder->pageCount(bootlink::kPageSize); ++i) {
        holder->getPage(i, bootlink::kPageSize, page);
        if (!link.writeRamPage(static_cast<uint8_t>(i), page))
            return false;
    }
    return true;
}

// A driver file with no byte for the panel's RAM (the wrong file, or S1
// records) would upload nothing, and the requests that follow would jump
// into whatever the RAM holds.
bool loadRamDriver(BootLink &link, const char *fileName, std::string &cause)
{
    ImageHolder holder;
    if (!loadImageFile(holder, fileName, 0, cause))
        return false;
    if (holder->getLoaded() == 0) {
        cause = std::string("\"") + fileName + "\" holds no S3 data in 0x20000000-0x20001FFF";
        return false;
    }
    return uploadImage(holder, link);
}
