#include "panel_service/memory_files.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "devlink/panel_geometry.h"
#include "devlink/s19_writer.h"
#include "panel_service/write_all.h"

namespace {

constexpr std::size_t kRecordBytes = 32;

std::string folderOf(const std::string &path)
{
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? "." : parent.string();
}

bool erased(const uint8_t *page)
{
    return std::all_of(page, page + panel::kPageSize, [](uint8_t b) { return b == 0xFF; });
}

} // namespace

std::string firmwareRecords(const std::vector<uint8_t> &pages, const std::string &header)
{
    std::string out = s19Record('0', 0, reinterpret_cast<const uint8_t *>(header.data()), header.size()) + "\n";
    for (std::size_t at = 0; at < pages.size(); at += panel::kPageSize) {
        if (erased(pages.data() + at))
            continue;
        for (std::size_t r = at; r < at + panel::kPageSize; r += kRecordBytes)
            out += s19Record('3', static_cast<uint32_t>(panel::kFirmwareRange.first + r), pages.data() + r,
                             kRecordBytes) + "\n";
    }
    return out + s19Record('7', 0, nullptr, 0) + "\n";
}

bool syncFolder(const std::string &folder, Failure &failure)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && fsync(fd) == 0;
    const int error = errno;
    if (fd >= 0)
        close(fd);
    if (!synced)
        failure = fileFailure(FailureKind::FileWrite, folder, error);
    return synced;
}

bool writeWhole(const std::string &path, const std::string &bytes, Failure &failure)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        failure = fileFailure(FailureKind::FileWrite, path, errno);
        return false;
    }
    const bool written = writeAll(fd, bytes) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    const int error = errno;
    const bool closed = close(fd) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        failure = fileFailure(FailureKind::FileWrite, path, !written ? error : errno);
        unlink(temporary.c_str());
        return false;
    }
    // A rename is on the disk only once its folder is. Should that fail,
    // the file under its name is whole all the same: it was synced first.
    return syncFolder(folderOf(path), failure);
}
