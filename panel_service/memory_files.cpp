#include "panel_service/memory_files.h"

#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

std::string folderOf(const std::string &path)
{
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    return folder.empty() ? "." : folder.string();
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

namespace {
const std::string kBootCheckFails = "; boot check fails";
}

std::string savedFirmwareHeader(const std::string &savedBy, bool bootCheckPassed)
{
    return savedBy + (bootCheckPassed ? "; boot check passes" : kBootCheckFails);
}

bool savedFromAFailingPanel(const std::string &path)
{
    std::FILE *file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return false;
    char line[600] = {};
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    // "S0", count, a 2-byte address, the text, a checksum.
    auto byteAt = [&line](std::size_t at) {
        return std::isxdigit(static_cast<unsigned char>(line[at])) &&
                       std::isxdigit(static_cast<unsigned char>(line[at + 1]))
                   ? static_cast<int>(std::strtol(std::string(line + at, 2).c_str(), nullptr, 16))
                   : -1;
    };
    std::string text;
    const int count = read && line[0] == 'S' && line[1] == '0' ? byteAt(2) : -1;
    for (int i = 0; i + 3 < count && byteAt(8 + 2 * i) >= 0; ++i)
        text += static_cast<char>(byteAt(8 + 2 * i));
    return text.size() > kBootCheckFails.size() &&
           text.compare(text.size() - kBootCheckFails.size(), kBootCheckFails.size(), kBootCheckFails) == 0;
}

std::string firmwareRecords(const std::vector<uint8_t> &pages, const std::string &header)
{
    std::string out = record('0', 2, 0, reinterpret_cast<const uint8_t *>(header.data()), header.size());
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
