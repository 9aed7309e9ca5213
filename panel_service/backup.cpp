#include "panel_service/backup.h"

#include <cerrno>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "panel_service/memory_files.h"
#include "panel_service/readback.h"
#include "panel_service/sha256.h"

namespace {

constexpr const char *kManifest = "backup.json";
constexpr const char *kLanguageFile = "language.bin";
constexpr const char *kFirmwareFile = "firmware.s19";

std::string utc(std::time_t when, const char *format)
{
    std::tm t{};
    gmtime_r(&when, &t);
    char text[32];
    std::strftime(text, sizeof text, format, &t);
    return text;
}

std::string readText(const std::string &path)
{
    std::string text;
    if (std::FILE *file = std::fopen(path.c_str(), "rb")) {
        char block[4096];
        for (std::size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;)
            text.append(block, n);
        std::fclose(file);
    }
    return text;
}

} // namespace

Backup::Backup(std::string folder, std::string port, std::time_t when)
    : folder(std::move(folder)), port(std::move(port)), when(when)
{
}

// The folders missing are made, each one's name synced into the folder
// that holds it: a backup in a folder made moments before a power cut
// must not vanish with it.
bool prepareBackupFolder(const std::string &folder, Failure &failure)
{
    auto refuse = [&](int error) {
        failure = fileFailure(FailureKind::FileWrite, folder, error);
        return false;
    };
    std::filesystem::path made;
    for (const std::filesystem::path &part : std::filesystem::path(folder)) {
        made /= part;
        if (mkdir(made.c_str(), 0755) == 0) {
            if (!syncFolder(made.has_parent_path() ? made.parent_path().string() : ".", failure))
                return false;
        } else if (errno != EEXIST) {
            return refuse(errno);
        }
    }
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0)
        return refuse(errno);
    if (!S_ISDIR(st.st_mode))
        return refuse(ENOTDIR);
    return access(folder.c_str(), W_OK | X_OK) == 0 || refuse(errno);
}

// The backup's own folder, named when the first memory is saved; a second
// backup of the same port within the same second gets a number after it.
bool Backup::begin(Failure &failure)
{
    if (!own.empty())
        return true;
    if (!prepareBackupFolder(folder, failure))
        return false;
    const std::string name = folder + "/" + port + "-" + utc(when, "%Y%m%dT%H%M%SZ");
    for (int n = 1; n < 100; ++n) {
        const std::string candidate = n == 1 ? name : name + "-" + std::to_string(n);
        if (mkdir(candidate.c_str(), 0755) == 0) {
            if (!syncFolder(folder, failure))
                return false;
            own = candidate;
            manifest = Record::object();
            putText(manifest, "port", port);
            manifest["time"] = utc(when, "%Y-%m-%dT%H:%M:%SZ");
            manifest["memories"] = Record::array();
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    failure = fileFailure(FailureKind::FileWrite, name, errno);
    return false;
}

bool Backup::save(const std::string &memory, const std::string &file, const std::string &bytes,
                  const std::string &heldSha256, int bootCheck, Failure &failure)
{
    if (!begin(failure) || !writeWhole(own + "/" + file, bytes, failure))
        return false;
    Record entry = {{"memory", memory},
                            {"file", file},
                            {"sha256", sha256Hex(std::vector<uint8_t>(bytes.begin(), bytes.end()))},
                            {"held_sha256", heldSha256}};
    if (bootCheck >= 0)
        entry["boot_check"] = bootCheck == 1;
    manifest["memories"].push_back(entry);
    return writeWhole(own + "/" + kManifest,
                      manifest.dump(2, ' ', false, Record::error_handler_t::replace) + "\n", failure);
}

bool Backup::saveLanguage(const std::vector<uint8_t> &held, Failure &failure)
{
    return save("language", kLanguageFile, std::string(held.begin(), held.end()), sha256Hex(held), -1, failure);
}

bool Backup::saveFirmware(const std::vector<uint8_t> &held, bool bootCheckPassed, Failure &failure)
{
    return save("firmware", kFirmwareFile,
                firmwareRecords(held, savedFirmwareHeader("panel_tool backup of port " + port, bootCheckPassed)),
                sha256Hex(held), bootCheckPassed ? 1 : 0, failure);
}

bool readBackup(const std::string &path, SavedBackup &backup, Failure &failure)
{
    const Record manifest = Record::parse(readText(path + "/" + kManifest), nullptr, false);
    failure = fileFailure(FailureKind::NotABackup, path);
    if (!manifest.is_object() || !manifest.contains("memories") || !manifest["memories"].is_array())
        return false;
    backup = SavedBackup{};
    backup.path = path;
    if (manifest.contains("port") && manifest["port"].is_string())
        backup.port = manifest["port"];
    if (manifest.contains("time") && manifest["time"].is_string())
        backup.time = manifest["time"];
    for (const Record &entry : manifest["memories"]) {
        if (!entry.is_object() || !entry.contains("memory") || !entry.contains("file") || !entry.contains("sha256") ||
            !entry["memory"].is_string() || !entry["file"].is_string() || !entry["sha256"].is_string())
            return false;
        // Only the files a backup writes, in its own folder.
        const std::string memory = entry["memory"], name = entry["file"];
        if (!(memory == "language" && name == kLanguageFile) && !(memory == "firmware" && name == kFirmwareFile))
            return false;
        const std::string file = path + "/" + name;
        if (sha256OfFile(file) != entry["sha256"].get<std::string>()) {
            failure = fileFailure(FailureKind::BackupDamaged, file);
            return false;
        }
        (memory == "language" ? backup.language : backup.firmware) = file;
        if (memory == "firmware")
            backup.firmwareBootCheckPassed =
                !(entry.contains("boot_check") && entry["boot_check"].is_boolean() && !entry["boot_check"]);
    }
    if (backup.language.empty() && backup.firmware.empty())
        return false;
    failure = Failure{};
    return true;
}
