// Only what the shop signed: the public keys it trusts, one minisign
// public-key file each (*.pub) in one folder, and the check of a file's
// detached signature against them before any panel is touched. A key is
// trusted by being in the folder: a new key is added beside the old one
// and the files signed again before the old one is removed (rotation);
// a key removed is trusted no more (revocation).
#pragma once

#include <string>
#include <vector>

#include "devlink/failure.h"
#include "panel_service/signature.h"

// Where the system's bench finds the keys unless its configuration says
// otherwise.
constexpr const char *kSystemTrustedKeys = "/etc/panel-service-tools/trusted-keys";

// Who signed a file, as its signature and the trusted key say.
struct Signer {
    std::string keyId;           // "93BBCDE97B1585B6"; empty when the file was not checked
    std::string keyFile;         // the trusted key's file
    std::string trustedComment;  // its control characters made spaces
};

struct TrustedKey {
    PublicKey key;
    std::string file;
};

class TrustedKeys {
public:
    // Reads every *.pub file in `folder`. False, with `why` naming the
    // folder or the file and what to do, for a folder that cannot be read
    // or holds no key; a folder, one of its parents or a key file that
    // another user could write (as sshd refuses such files: owned by
    // neither root nor this user, or writable by group or others, a
    // parent's sticky bit excepted); a key file that is a link or not a
    // key; two keys with one id.
    bool load(const std::string &folder, std::string &why);

    // The key with `id`; null when none has it.
    const TrustedKey *withId(const KeyId &id) const;
    const std::string &folder() const { return where; }

private:
    std::string where;
    std::vector<TrustedKey> keys;
};

// Whether the files a service writes are checked, and against which keys.
struct FileTrust {
    const TrustedKeys *keys = nullptr;  // null: signatures are not looked at
    bool required = false;              // a file without a signature is refused
};

// The trust a command asks for: none unless signatures are `required` or
// a `folder` of keys is named; the keys from `folder`, else the system's,
// read into `keys`. False, with `why`, when they cannot be read.
bool trustAskedFor(bool required, const std::string &folder, TrustedKeys &keys, FileTrust &trust, std::string &why);

// Checks `bytes`, the contents of `path` as read once, against the
// signature beside it (`path`.minisig) and the trusted keys: a file
// without one passes unsigned only when none is required. False, with
// `failure` giving the one reason, for a signature that is missing,
// malformed or legacy, by a key not trusted, or that does not hold for
// the file or for its trusted comment.
bool checkSignature(const std::string &path, const std::string &bytes, const FileTrust &trust, Signer &signer,
                    Failure &failure);

// "signed by key 93BBCDE97B1585B6 (/etc/.../shop.pub), trusted comment:
// timestamp:1765... file:fw.s19"; "not signed" for a file not checked.
std::string signerLine(const Signer &signer);
