#include "panel_readback/memory_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "devlink/panel_geometry.h"

namespace {

constexpr std::size_t kLanguageSize = (panel::kLanguageDataPages + 1) * panel::kPageSize;
constexpr std::size_t kRecordBytes = 32;

void appendHex(std::string &out, uint8_t byte)
{
    static const char kDigits[] = "0123456789ABCDEF";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
}

// One record: type, count, address of `addressBytes` bytes, data, checksum.
std::string record(char type, unsigned addressBytes, uint32_t address, const uint8_t *data, std::size_t n)
{
    std::string out = std::string("S") + type;
    const uint8_t count = static_cast<uint8_t>(addressBytes + n + 1);
    uint8_t sum = count;
    appendHex(out, count);
    for (unsigned i = addressBytes; i-- > 0;) {
        const uint8_t byte = static_cast<uint8_t>(address >> (8 * i));
        sum = static_cast<uint8_t>(sum + byte);
        appendHex(out, byte);
    }
    for (std::size_t i = 0; i < n; ++i) {
        sum = static_cast<uint8_t>(sum + data[i]);
        appendHex(out, data[i]);
    }
    appendHex(out, static_cast<uint8_t>(~sum));
    return out + "\n";
}

bool erased(const uint8_t *page)
{
    for (uint32_t i = 0; i < panel::kPageSize; ++i)
        if (page[i] != 0xFF)
            return false;
    return true;
}

} // namespace

bool readLanguageFile(const std::string &path, std::vector<uint8_t> &bytes, Failure &failure)
{
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        failure = fileFailure(FailureKind::FileOpen, path, errno);
        return false;
    }
    struct stat st {};
    bytes.assign(kLanguageSize, 0);
    std::size_t got = 0;
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
        failure = fileFailure(FailureKind::NotRegularFile, path);
    } else if ((got = std::fread(bytes.data(), 1, bytes.size(), file)) != bytes.size()) {
        failure = fileFailure(std::ferror(file) ? FailureKind::FileRead : FailureKind::LanguageTooShort, path,
                              std::ferror(file) ? errno : 0);
        failure.size = static_cast<int64_t>(got);
        failure.wanted = static_cast<int32_t>(kLanguageSize);
    }
    std::fclose(file);
    return !failure.failed();
}

std::string firmwareRecords(const std::vector<uint8_t> &pages)
{
    static const char kHeader[] = "panel_readback";
    std::string out = record('0', 2, 0, reinterpret_cast<const uint8_t *>(kHeader), sizeof kHeader - 1);
    for (std::size_t at = 0; at < pages.size(); at += panel::kPageSize) {
        if (erased(pages.data() + at))
            continue;
        for (std::size_t r = at; r < at + panel::kPageSize; r += kRecordBytes)
            out += record('3', 4, static_cast<uint32_t>(panel::kFirmwareRange.first + r), pages.data() + r,
                          kRecordBytes);
    }
    return out + record('7', 4, 0, nullptr, 0);
}

bool writeAll(int fd, const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeWhole(const std::string &path, const std::string &bytes, Failure &failure)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        failure = fileFailure(FailureKind::FileWrite, path, errno);
        return false;
    }
    const bool whole = writeAll(fd, bytes);
    const int error = whole ? 0 : errno;
    const bool written = whole && fsync(fd) == 0 && fchmod(fd, 0644) == 0;
    const bool closed = close(fd) == 0;
    if (written && closed && std::rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    failure = fileFailure(FailureKind::FileWrite, path, error != 0 ? error : errno);
    unlink(temporary.c_str());
    return false;
}
