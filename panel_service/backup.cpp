#include "panel_service/backup.h"

#include <cerrno>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "panel_service/memory_files.h"
#include "panel_service/plan.h"
#include "panel_service/sha256.h"
#include "panel_service/utc_time.h"

namespace {

constexpr const char *kManifest = "backup.json";
constexpr const char *kLanguageFile = "language.bin";
constexpr const char *kFirmwareFile = "firmware.s19";

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
    const std::string name = folder + "/" + port + "-" + utcText(when, "%Y%m%dT%H%M%SZ");
    for (int n = 1; n < 100; ++n) {
        const std::string candidate = n == 1 ? name : name + "-" + std::to_string(n);
        if (mkdir(candidate.c_str(), 0755) == 0) {
            if (!syncFolder(folder, failure))
                return false;
            own = candidate;
            manifest = Json::object();
            putText(manifest, "port", port);
            manifest["time"] = utcText(when);
            manifest["memories"] = Json::array();
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    failure = fileFailure(FailureKind::FileWrite, name, errno);
    return false;
}

bool Backup::save(Memory memory, const Bytes &held, Failure &failure)
{
    const bool language = memory == Memory::SerialFlash;
    const bool bootCheckPassed = !language && bootCheckPasses(held);
    const std::string file = language ? kLanguageFile : kFirmwareFile;
    const std::string bytes =
        language ? std::string(held.begin(), held.end())
                 : firmwareRecords(held, savedFirmwareHeader("panel_tool backup of port " + port, bootCheckPassed));
    if (!begin(failure) || !writeWhole(own + "/" + file, bytes, failure))
        return false;
    Json entry = {{"memory", language ? "language" : "firmware"},
                    {"file", file},
                    {"sha256", sha256Hex(bytes)},
                    {"held_sha256", sha256Hex(held)}};
    if (!language)
        entry["boot_check"] = bootCheckPassed;
    manifest["memories"].push_back(entry);
    return writeWhole(own + "/" + kManifest,
                      manifest.dump(2, ' ', false, Json::error_handler_t::replace) + "\n", failure);
}

// Each file the backup lists, in its own folder, read once: its hash
// checked, then taken as the panel held it.
bool readBackup(const std::string &path, SavedBackup &backup, Failure &failure)
{
    std::string text;
    const Json manifest =
        Json::parse(readWholeFile(path + "/" + kManifest, text, failure) ? text : std::string(), nullptr, false);
    failure = fileFailure(FailureKind::NotABackup, path);
    if (!manifest.is_object() || !manifest.contains("memories") || !manifest["memories"].is_array())
        return false;
    backup = SavedBackup{};
    backup.path = path;
    for (const Json &entry : manifest["memories"]) {
        if (!entry.is_object() || !entry.contains("memory") || !entry.contains("file") || !entry.contains("sha256") ||
            !entry["memory"].is_string() || !entry["file"].is_string() || !entry["sha256"].is_string())
            return false;
        const std::string memory = entry["memory"], name = entry["file"];
        const bool language = memory == "language" && name == kLanguageFile;
        if (!language && !(memory == "firmware" && name == kFirmwareFile))
            return false;
        const std::string file = path + "/" + name;
        std::string bytes;
        if (!readWholeFile(file, bytes, failure) ||
            sha256Hex(bytes) != entry["sha256"].get<std::string>()) {
            failure = fileFailure(FailureKind::BackupDamaged, file);
            return false;
        }
        if (language ? !languageFrom(file, bytes, backup.language, failure)
                     : !firmwareFrom(file, bytes, FirmwareUse::AsHeld, backup.firmware, failure))
            return false;
        (language ? backup.hasLanguage : backup.hasFirmware) = true;
        if (!language)
            backup.firmwareBootCheckPassed =
                !(entry.contains("boot_check") && entry["boot_check"].is_boolean() && !entry["boot_check"]);
    }
    if (!backup.hasLanguage && !backup.hasFirmware)
        return false;
    failure = Failure{};
    return true;
}
