// Loading a RAM driver: an S-record file read into the RAM-driver profile
// and sent to the bootloader page by page.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "devlink/failure.h"
#include "devlink/progress.h"
#include "devlink/s19_image.h"

class BootLink;

using ImageHolder = std::unique_ptr<S19Image>;

// Reads `path` as S3 records, into the RAM-driver profile when `finalise`
// is 0 or the firmware profile when it is 1. False when the file cannot be
// opened (holder untouched) or a record is bad (the rejected image stays
// in the holder); `failure` then says which, naming the file.
bool loadImageFile(ImageHolder &holder, const char *path, int finalise, Failure &failure);
// The same for a file's bytes read before (`text`), `path` naming it.
bool loadImageText(ImageHolder &holder, const std::string &text, const char *path, int finalise, Failure &failure);
// Sends the image's pages from the profile's start with command 1; stops
// at the first page the link fails to send, and `failure` is the link's.
// Reports each page sent as Phase::DriverUpload.
bool uploadImage(const ImageHolder &holder, BootLink &link, Failure &failure, const Progress &progress = {});
// Reads a RAM driver file; refused unless it loads whole and puts at least
// one byte in the driver's range.
bool readRamDriver(ImageHolder &holder, const char *fileName, Failure &failure);
// Both of the above; nothing is sent unless the whole file loaded and put
// at least one byte in the driver's range.
bool loadRamDriver(BootLink &link, const char *fileName, Failure &failure, const Progress &progress = {});

// A page read's reply is the sub-command and the page: anything else is
// refused, as the bytes copied would not be the page. False, with
// `failure`, then.
bool checkPageReply(const BootLink &link, FailedStep step, int32_t page, Failure &failure);

// One request to the loaded RAM driver (bootloader command 2). On failure
// `failure` is the link's, named after the request `step` on page or
// sector `number`; on success it is cleared.
bool callRamDriver(BootLink &link, const uint8_t *request, uint16_t n, uint8_t *replyDst,
                   uint16_t replyCount, FailedStep step, int32_t number, Failure &failure);
