#include "devlink/ram_driver.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#include "devlink/boot_link.h"
#include "devlink/panel_geometry.h"

namespace {

// Parses `file`, opened on `path`, into a new image in `holder`.
bool parseImage(ImageHolder &holder, std::FILE *file, const char *path, int finalise, Failure &failure)
{
    holder = std::make_unique<S19Image>(file, finalise, 0);
    holder->parse();
    const int readError = std::ferror(file) != 0 ? errno : 0;
    std::fclose(file);
    if (holder->getStatus() == S19Image::kStatusLoaded)
        return true;
    if (readError != 0) {
        failure = fileFailure(FailureKind::FileRead, path, readError);
    } else {
        failure = fileFailure(FailureKind::BadRecord, path);
        failure.line = holder->getBadLine();
    }
    return false;
}

} // namespace

bool loadImageFile(ImageHolder &holder, const char *path, int finalise, Failure &failure)
{
    failure = Failure{};
    std::FILE *file = std::fopen(path, "r");
    if (file == nullptr) {
        failure = fileFailure(FailureKind::FileOpen, path, errno);
        return false;
    }
    return parseImage(holder, file, path, finalise, failure);
}

bool loadImageText(ImageHolder &holder, const std::string &text, const char *path, int finalise, Failure &failure)
{
    failure = Failure{};
    // Read only: the buffer is never written through the stream.
    static char none[1];
    std::FILE *file = fmemopen(text.empty() ? none : const_cast<char *>(text.data()), text.size(), "r");
    if (file == nullptr) {
        failure = fileFailure(FailureKind::FileRead, path, errno);
        return false;
    }
    return parseImage(holder, file, path, finalise, failure);
}

bool uploadImage(const ImageHolder &holder, BootLink &link, Failure &failure, const Progress &progress)
{
    failure = Failure{};
    uint8_t page[bootlink::kPageSize];
    progress.begin(Phase::DriverUpload, holder->pageCount(bootlink::kPageSize));
    for (uint16_t i = 0; i < holder->pageCount(bootlink::kPageSize); ++i) {
        holder->getPage(i, bootlink::kPageSize, page);
        if (!link.writeRamPage(static_cast<uint8_t>(i), page)) {
            failure = link.failure();
            return false;
        }
        progress.advance(Phase::DriverUpload, i + 1u);
    }
    return true;
}

// A driver file with no byte for the panel's RAM (the wrong file, or S1
// records) would upload nothing, and the requests that follow would jump
// into whatever the RAM holds.
bool readRamDriver(ImageHolder &holder, const char *fileName, Failure &failure)
{
    if (!loadImageFile(holder, fileName, 0, failure))
        return false;
    if (holder->getLoaded() == 0) {
        failure = noDataIn(fileName, panel::kRamDriverRange.first, panel::kRamDriverRange.last);
        return false;
    }
    return true;
}

bool loadRamDriver(BootLink &link, const char *fileName, Failure &failure, const Progress &progress)
{
    ImageHolder holder;
    return readRamDriver(holder, fileName, failure) && uploadImage(holder, link, failure, progress);
}

bool checkPageReply(const BootLink &link, FailedStep step, int32_t page, Failure &failure)
{
    constexpr uint16_t kPageReply = 1 + bootlink::kPageSize;
    if (link.lastDriverReplyLength() == kPageReply)
        return true;
    failure = Failure{};
    failure.kind = FailureKind::PageReplyLength;
    failure.step = step;
    failure.number = page;
    failure.result = link.lastDriverReplyLength();
    failure.wanted = kPageReply;
    return false;
}

bool callRamDriver(BootLink &link, const uint8_t *request, uint16_t n, uint8_t *replyDst,
                   uint16_t replyCount, FailedStep step, int32_t number, Failure &failure)
{
    failure = Failure{};
    if (link.driverCall(request, n, replyDst, replyCount))
        return true;
    failure = link.failure();
    failure.step = step;
    failure.number = number;
    return false;
}
