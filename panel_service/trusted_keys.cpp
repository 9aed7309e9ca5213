#include "panel_service/trusted_keys.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "panel_service/panel_file.h"

namespace {

// A key file is two short lines, a signature four; anything larger is
// not one.
constexpr std::size_t kLongestKey = 4096;
constexpr std::size_t kLongestSignature = 16384;

const char kPutKeysThere[] = "put the shop's public keys there (the .pub files minisign -G writes)";

// Why another user could write what `st` describes; empty when none
// could. A parent folder may be writable by all when it is sticky (/tmp):
// nobody else can then rename or remove what is in it.
std::string writableByOthers(const struct stat &st, bool stickyWillDo)
{
    if (st.st_uid != 0 && st.st_uid != geteuid())
        return "it is owned by user " + std::to_string(st.st_uid) + ", neither root nor this user";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !(stickyWillDo && (st.st_mode & S_ISVTX) != 0)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("its group or others may write it (mode ") + mode + "): chmod go-w it";
    }
    return {};
}

// The same for every folder above `folder`, up to the root.
bool parentsSafe(const std::string &folder, std::string &why)
{
    std::error_code error;
    std::filesystem::path at = std::filesystem::canonical(folder, error);
    while (!error && at.has_parent_path() && at != at.root_path()) {
        at = at.parent_path();
        struct stat st {};
        if (stat(at.c_str(), &st) != 0)
            break;
        const std::string others = writableByOthers(st, true);
        if (!others.empty()) {
            why = "trusted keys " + folder + ": its parent " + at.string() + " is not safe: " + others;
            return false;
        }
    }
    return true;
}

// The file `name` in the folder open at `dir`, read whole when it is a
// regular file no other user could write.
bool readKeyFile(int dir, const std::string &name, const std::string &path, std::string &text, std::string &why)
{
    const int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        why = "trusted key " + path + ": " +
              (errno == ELOOP ? std::string("it is a symbolic link: put the key file itself there")
                              : std::string("cannot open it: ") + std::strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    std::string others = S_ISREG(st.st_mode) ? writableByOthers(st, false) : "it is not a regular file";
    if (others.empty() && st.st_size > static_cast<off_t>(kLongestKey))
        others = "it is larger than a key file";
    text.resize(kLongestKey);
    const ssize_t n = others.empty() ? read(fd, text.data(), text.size()) : 0;
    close(fd);
    if (others.empty() && n < 0)
        others = std::string("cannot read it: ") + std::strerror(errno);
    if (!others.empty()) {
        why = "trusted key " + path + ": " + others;
        return false;
    }
    text.resize(static_cast<std::size_t>(n));
    return true;
}

// The *.pub names in the folder open at `dir`, in order.
std::vector<std::string> keyFileNames(int dir)
{
    std::vector<std::string> names;
    DIR *listing = fdopendir(dup(dir));
    if (listing == nullptr)
        return names;
    while (const dirent *entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name[0] != '.' && name.compare(name.size() - 4, 4, ".pub") == 0)
            names.push_back(name);
    }
    closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

Failure refusal(const std::string &path, const std::string &reason)
{
    Failure failure = fileFailure(FailureKind::SignatureRefused, path);
    failure.reason = reason;
    return failure;
}

} // namespace

bool TrustedKeys::load(const std::string &folder, std::string &why)
{
    where = folder;
    keys.clear();
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st {};
    if (dir < 0 || fstat(dir, &st) != 0) {
        why = "trusted keys " + folder + ": cannot open it: " + std::strerror(errno) + "; " + kPutKeysThere;
        if (dir >= 0)
            close(dir);
        return false;
    }
    std::string others = writableByOthers(st, false);
    bool ok = others.empty() && parentsSafe(folder, why);
    if (!others.empty())
        why = "trusted keys " + folder + ": " + others;
    for (const std::string &name : ok ? keyFileNames(dir) : std::vector<std::string>{}) {
        const std::string path = (std::filesystem::path(folder) / name).string();
        std::string text, malformed;
        TrustedKey key{{}, path};
        ok = readKeyFile(dir, name, path, text, why);
        if (ok && !parsePublicKey(text, key.key, malformed)) {
            why = "trusted key " + path + " is not a public key (" + malformed + "): " + kPutKeysThere;
            ok = false;
        }
        const TrustedKey *twin = ok ? withId(key.key.id) : nullptr;
        if (twin != nullptr) {
            why = "trusted keys " + twin->file + " and " + path + " have the same key id " + keyIdText(key.key.id) +
                  ": remove one";
            ok = false;
        }
        if (!ok)
            break;
        keys.push_back(key);
    }
    close(dir);
    if (ok && keys.empty()) {
        why = "trusted keys " + folder + ": no key in it (*.pub); " + kPutKeysThere;
        ok = false;
    }
    return ok;
}

const TrustedKey *TrustedKeys::withId(const KeyId &id) const
{
    const auto key = std::find_if(keys.begin(), keys.end(), [&id](const TrustedKey &k) { return k.key.id == id; });
    return key != keys.end() ? &*key : nullptr;
}

bool trustAskedFor(bool required, const std::string &folder, TrustedKeys &keys, FileTrust &trust, std::string &why)
{
    trust = FileTrust{nullptr, required};
    if (!required && folder.empty())
        return true;
    trust.keys = &keys;
    return keys.load(folder.empty() ? kSystemTrustedKeys : folder, why);
}

bool checkSignature(const std::string &path, const std::string &bytes, const FileTrust &trust, Signer &signer,
                    Failure &failure)
{
    signer = Signer{};
    if (trust.keys == nullptr)
        return true;
    const std::string sigPath = path + ".minisig";
    const std::string sigName = std::filesystem::path(sigPath).filename().string();
    std::string text, malformed;
    if (!readWholeFile(sigPath, text, failure, kLongestSignature)) {
        if (failure.kind == FailureKind::FileOpen && failure.result == ENOENT) {
            failure = trust.required ? refusal(path, "it has no signature (" + sigName +
                                                         "): sign it with a trusted key (minisign -S -m FILE)")
                                     : Failure{};
            return !trust.required;
        }
        if (failure.result == EFBIG)
            failure = refusal(path, "its signature " + sigName + " is malformed (larger than a signature): sign it again");
        return false;
    }
    DetachedSignature signature;
    if (!parseSignature(text, signature, malformed)) {
        failure = refusal(path, "its signature " + sigName + " is malformed (" + malformed + "): sign it again");
        return false;
    }
    if (signature.legacy) {
        failure = refusal(path, "its signature " + sigName + " is a legacy one (algorithm Ed): re-sign without -l");
        return false;
    }
    const TrustedKey *key = trust.keys->withId(signature.keyId);
    if (key == nullptr) {
        failure = refusal(path, "it is signed by key " + keyIdText(signature.keyId) + ", which no trusted key in " +
                                    trust.keys->folder() + " has: sign it with a trusted key");
        return false;
    }
    switch (verifySignature(key->key, signature, bytes)) {
    case Verdict::FileAltered:
        failure = refusal(path, "it does not match its signature " + sigName +
                                    ": it was altered after it was signed, or its line ends were converted; "
                                    "use the file exactly as signed");
        return false;
    case Verdict::CommentAltered:
        failure = refusal(path, "the trusted comment in " + sigName + " was altered after signing: sign it again");
        return false;
    case Verdict::Good: break;
    }
    signer = Signer{keyIdText(key->key.id), key->file, withoutControls(signature.trustedComment)};
    return true;
}

std::string signerLine(const Signer &signer)
{
    if (signer.keyId.empty())
        return "not signed";
    return "signed by key " + signer.keyId + " (" + signer.keyFile + "), trusted comment: " + signer.trustedComment;
}
