#include "devlink/ram_driver.h"

#include <cstdint>
#include <cstdio>

#include "devlink/boot_link.h"

bool loadImageFile(ImageHolder &holder, const char *path)
{
    std::FILE *file = std::fopen(path, "r");
    if (file == nullptr)
        return false;
    holder = std::make_unique<S19Image>(file, 0, 0);
    holder->parse();
    std::fclose(file);
    return holder->getStatus() == S19Image::kStatusLoaded;
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

bool loadRamDriver(BootLink &link, const char *fileName)
{
    ImageHolder holder;
    if (!loadImageFile(holder, fileName))
        return false;
    return uploadImage(holder, link);
}
