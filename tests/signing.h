// Keys and signatures made as a shop makes them, with Debian's minisign;
// and minisign's own verdict on a file, which confirms apart from the
// programs what they took as signed.
#pragma once

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "emulator/run_program.h"

namespace testing_support {

constexpr const char *kMinisign = "/usr/bin/minisign";

inline bool haveMinisign() { return access(kMinisign, X_OK) == 0; }

struct SigningKey {
    std::string pub;  // the public key file
    std::string sec;  // the secret key file
    std::string id;   // as minisign names it: "93BBCDE97B1585B6"
};

inline emu::ProgramRun minisign(const std::vector<std::string> &args, const std::string &dir)
{
    std::vector<std::string> argv{kMinisign};
    argv.insert(argv.end(), args.begin(), args.end());
    return emu::runProgram(argv, dir, true);
}

// A public key's id, read from the comment minisign writes into it.
inline std::string keyIdOf(const std::string &pub)
{
    std::FILE *file = std::fopen(pub.c_str(), "r");
    char line[256] = {};
    std::string id;
    const std::string lead = "untrusted comment: minisign public key ";
    if (file != nullptr && std::fgets(line, sizeof line, file) != nullptr && std::string(line).rfind(lead, 0) == 0)
        id = std::string(line).substr(lead.size(), std::string(line).find_first_of("\r\n") - lead.size());
    if (file != nullptr)
        std::fclose(file);
    return id;
}

// A new key pair without a password: `secretDir`/NAME.sec, and NAME.pub
// in `publicDir` (made when missing), else beside it.
inline SigningKey makeSigningKey(const std::string &secretDir, const std::string &name, std::string publicDir = "")
{
    publicDir = publicDir.empty() ? secretDir : publicDir;
    mkdir(publicDir.c_str(), 0755);
    SigningKey key{publicDir + "/" + name + ".pub", secretDir + "/" + name + ".sec", ""};
    const emu::ProgramRun made = minisign({"-G", "-W", "-f", "-p", key.pub, "-s", key.sec}, "/");
    EXPECT_EQ(made.exitStatus, 0) << made.err;
    key.id = keyIdOf(key.pub);
    EXPECT_FALSE(key.id.empty()) << "no key id in " << key.pub;
    chmod(key.pub.c_str(), 0644);
    return key;
}

// `file`.minisig, as minisign -S writes it (with -l, a legacy one).
inline void signFile(const SigningKey &key, const std::string &file, const std::string &comment,
                     bool legacy = false)
{
    std::vector<std::string> args{"-S", "-s", key.sec, "-m", file, "-t", comment};
    if (legacy)
        args.push_back("-l");
    const emu::ProgramRun signedIt = minisign(args, "/");
    EXPECT_EQ(signedIt.exitStatus, 0) << signedIt.err;
}

// Whether minisign -V takes `file`'s signature under the key `pub`; the
// trusted comment it verified, with its line end, in `comment`.
inline bool minisignVerifies(const std::string &pub, const std::string &file, std::string &comment)
{
    const emu::ProgramRun checked = minisign({"-V", "-p", pub, "-m", file}, "/");
    const std::string lead = "Trusted comment: ";
    const std::size_t at = checked.out.find(lead);
    comment = at == std::string::npos ? "" : checked.out.substr(at + lead.size());
    if (!comment.empty() && comment.back() == '\n')
        comment.pop_back();
    return checked.exitStatus == 0;
}

// A trusted comment as the programs show it: each control character a
// space.
inline std::string shownComment(std::string comment)
{
    for (char &c : comment)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return comment;
}

} // namespace testing_support
