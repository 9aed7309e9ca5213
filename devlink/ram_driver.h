// Loading a RAM driver: an S-record file read into the RAM-driver profile
// and sent to the bootloader page by page.
#pragma once

#include <memory>

#include "devlink/s19_image.h"

class BootLink;

using ImageHolder = std::unique_ptr<S19Image>;

// Reads `path` as S3 records into the RAM-driver profile. False when the
// file cannot be opened (holder untouched) or a record is bad (the rejected
// image stays in the holder).
bool loadImageFile(ImageHolder &holder, const char *path);
// Sends the image's pages from the profile's start with command 1; stops
// at the first page the link fails to send.
bool uploadImage(const ImageHolder &holder, BootLink &link);
// Both of the above; nothing is sent unless the whole file loaded.
bool loadRamDriver(BootLink &link, const char *fileName);
