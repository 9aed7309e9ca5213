// Only what the shop signed reaches a panel: panel_tool flash and
// load-language against keys and signatures made by Debian's minisign.
// Every refusal comes before the panel is touched, with its one line; each
// file taken is confirmed with minisign -V (the fixture does so for every
// --json result); the bytes checked are the bytes written.
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "tests/programs.h"
#include "tests/watch_run.h"

using namespace testing_support;

namespace {

const std::string kTool = PANEL_TOOL_PATH;

class Signed : public ProgramTest {
protected:
    void SetUp() override
    {
        if (!haveMinisign())
            GTEST_SKIP() << "needs Debian's minisign, which scripts/test-all installs";
        ProgramTest::SetUp();
        mkdir(scratch.path("secret").c_str(), 0700);
        shop = makeSigningKey(scratch.path("secret"), "shop", scratch.path("keys"));
        rogue = makeSigningKey(scratch.path("secret"), "rogue");
        scratch.write("fw.s19", firmware);
        scratch.write("lang.bin", samples::languageFile(72));
        signFile(shop, scratch.path("fw.s19"), kComment);
        signFile(shop, scratch.path("lang.bin"), "language 72");
    }

    // A copy of the firmware as `name`, signed by `key` unless null.
    void copyFirmware(const std::string &name, const SigningKey *key, bool legacy = false)
    {
        scratch.write(name, firmware);
        if (key != nullptr)
            signFile(*key, scratch.path(name), "a copy", legacy);
    }
    void edit(const std::string &name, const std::function<void(std::string &)> &change)
    {
        std::string text = slurp(scratch.path(name));
        change(text);
        scratch.write(name, text);
    }

    // A comment with a tab and an escape, which no line shows as such.
    const std::string kComment = "built by CI\tjob 7 \x1b[31mred";
    const std::string firmware = samples::firmware(0x4000, 0x47FF, 71);
    SigningKey shop, rogue;
};

// A firmware and a language signed by a trusted key are written, and the
// signer is told: its key id, its key file and the trusted comment, with
// no control character. A signature whose lines end in CRLF is taken, as
// minisign takes it.
TEST_F(Signed, WhatATrustedKeySignedIsWrittenAndItsSignerTold)
{
    auto panels = usedPanels(1);
    const auto r = runOn(*panels, kTool, {"flash", "--require-signature", "--trusted-keys", "keys", "fw.s19"});
    EXPECT_EQ(r.run.exitStatus, 0) << r.run.err;
    const std::string told = "fw.s19: signed by key " + shop.id + " (keys/shop.pub), trusted comment: " +
                             shownComment(kComment) + "\nflashed fw.s19 to the panel at port ";
    EXPECT_EQ(r.run.out.rfind(told, 0), 0u) << r.run.out;
    std::string comment;
    EXPECT_TRUE(minisignVerifies(shop.pub, scratch.path("fw.s19"), comment));
    EXPECT_EQ(comment, kComment);

    for (const auto &args : {std::vector<std::string>{"--json", "load-language", "--require-signature",
                                                      "--trusted-keys", "keys", "lang.bin"},
                             {"--json", "--full", "flash", "--trusted-keys", "keys", "fw.s19"}})
        EXPECT_EQ(runOn(*panels, kTool, args).run.exitStatus, 0) << args.back();
    copyFirmware("crlf.s19", &shop);
    edit("crlf.s19.minisig", [](std::string &text) {
        for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2)
            text.insert(at, "\r");
    });
    EXPECT_TRUE(minisignVerifies(shop.pub, scratch.path("crlf.s19"), comment));
    EXPECT_EQ(runOn(*panels, kTool, {"--json", "flash", "--require-signature", "--trusted-keys", "keys", "crlf.s19"})
                  .run.exitStatus,
              0);
    // Keys named without a signature required: a file without one is
    // taken, and said to be unsigned.
    copyFirmware("unsigned.s19", nullptr);
    const auto plain = runOn(*panels, kTool, {"flash", "--trusted-keys", "keys", "unsigned.s19"});
    EXPECT_EQ(plain.run.exitStatus, 0);
    EXPECT_EQ(plain.run.out.rfind("unsigned.s19: not signed\n", 0), 0u) << plain.run.out;
}

// Each file refused, with its one reason, before the panel is touched: a
// signature missing, malformed or legacy, by a key not trusted, or one
// that does not hold for the file (altered, its line ends converted) or
// for its trusted comment.
TEST_F(Signed, AnythingElseIsRefusedBeforeThePanelIsTouched)
{
    copyFirmware("unsigned.s19", nullptr);
    copyFirmware("bad.s19", &shop);
    edit("bad.s19.minisig", [](std::string &text) { text[text.find('\n') + 9] = '!'; });
    copyFirmware("short.s19", &shop);
    edit("short.s19.minisig", [](std::string &text) { text.resize(text.find('\n', text.find('\n') + 1) + 1); });
    copyFirmware("rogue.s19", &rogue);
    copyFirmware("altered.s19", &shop);
    edit("altered.s19", [](std::string &text) { text[text.find("\nS3") + 20] ^= 0x01; });
    copyFirmware("dos.s19", &shop);
    edit("dos.s19", [](std::string &text) {
        for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2)
            text.insert(at, "\r");
    });
    copyFirmware("comment.s19", &shop);
    edit("comment.s19.minisig", [](std::string &text) { text.replace(text.find("a copy"), 6, "b copy"); });
    copyFirmware("legacy.s19", &shop, true);
    // The signature's last digit before its padding with a bit that no
    // byte holds: the same bytes, not their base64.
    copyFirmware("loose.s19", &shop);
    edit("loose.s19.minisig", [](std::string &text) {
        const std::size_t pad = text.rfind("==");
        text[pad - 1] = text[pad - 1] == 'A' ? 'B' : text[pad - 1] == 'Q' ? 'R' : text[pad - 1] == 'g' ? 'h' : 'x';
    });
    const std::string sign = ": sign it with a trusted key";
    const struct {
        std::string file, cause;
    } cases[] = {
        {"unsigned.s19", "it has no signature (unsigned.s19.minisig)" + sign + " (minisign -S -m FILE)"},
        {"bad.s19", "its signature bad.s19.minisig is malformed (line 2 is not the base64 of a 74-byte signature): "
                    "sign it again"},
        {"short.s19", "its signature short.s19.minisig is malformed (it has 2 of its 4 lines): sign it again"},
        {"rogue.s19", "it is signed by key " + rogue.id + ", which no trusted key in keys has" + sign},
        {"altered.s19", "it does not match its signature altered.s19.minisig: it was altered after it was signed, or "
                        "its line ends were converted; use the file exactly as signed"},
        {"dos.s19", "it does not match its signature dos.s19.minisig: it was altered after it was signed, or its "
                    "line ends were converted; use the file exactly as signed"},
        {"comment.s19", "the trusted comment in comment.s19.minisig was altered after signing: sign it again"},
        {"legacy.s19", "its signature legacy.s19.minisig is a legacy one (algorithm Ed): re-sign without -l"},
        {"loose.s19", "its signature loose.s19.minisig is malformed (line 4 is not the base64 of a 64-byte signature): "
                      "sign it again"},
    };
    auto panels = usedPanels(1);
    for (const auto &c : cases) {
        const auto r = runOn(*panels, kTool, {"flash", "--require-signature", "--trusted-keys", "keys", c.file});
        EXPECT_EQ(r.run.exitStatus, 3) << c.file;
        EXPECT_EQ(r.run.err, "panel_tool: \"" + c.file + "\": " + c.cause + "\n");
        EXPECT_EQ(r.run.out, "");
        EXPECT_TRUE(noUsbAccess(r)) << c.file;
        // minisign, which still takes a legacy signature and loose
        // base64, agrees.
        std::string comment;
        if (c.file != "legacy.s19" && c.file != "loose.s19") {
            EXPECT_FALSE(minisignVerifies(shop.pub, scratch.path(c.file), comment)) << "minisign takes " << c.file;
        }
    }
    // Keys given, none required: what is signed is still checked.
    const auto rogueTaken = runOn(*panels, kTool, {"--json", "flash", "--trusted-keys", "keys", "rogue.s19"});
    EXPECT_EQ(rogueTaken.run.exitStatus, 3);
    EXPECT_TRUE(noUsbAccess(rogueTaken));
    // restore puts back what a panel held: no signature asked.
    EXPECT_EQ(run(kTool, {"restore", "--require-signature", "somewhere"}).run.err,
              "panel_tool: --trusted-keys and --require-signature are for flash, load-language and watch: restore "
              "puts back what a panel held\nTry 'panel_tool --help'.\n");
}

// Keys another user could change, or that are not keys, are a
// configuration error (exit 2): the folder, a key file writable by group
// or others or owned by another user, a link, two keys with one id, a
// file that is not a key, no key at all, no folder.
TEST_F(Signed, KeysThatCannotBeTrustedAreRefused)
{
    auto folder = [this](const std::string &name, mode_t mode) {
        mkdir(scratch.path(name).c_str(), mode);
        chmod(scratch.path(name).c_str(), mode);
        return name;
    };
    auto keyIn = [this](const std::string &dir, const std::string &name, mode_t mode) {
        scratch.write(dir + "/" + name, slurp(shop.pub));
        chmod(scratch.path(dir + "/" + name).c_str(), mode);
    };
    keyIn(folder("open", 0777), "shop.pub", 0644);
    keyIn(folder("group", 0755), "shop.pub", 0664);
    keyIn(folder("twin", 0755), "a.pub", 0644);
    keyIn("twin", "b.pub", 0644);
    folder("link", 0755);
    symlink(shop.pub.c_str(), scratch.path("link/shop.pub").c_str());
    keyIn(folder("notakey", 0755), "x.pub", 0644);
    edit("notakey/x.pub", [](std::string &text) { text.insert(text.find('\n') + 1, "A"); });
    keyIn(folder("none", 0755), "shop.key", 0644);
    folder("shared", 0777);
    keyIn(folder("shared/keys", 0755), "shop.pub", 0644);
    const std::string put = "put the shop's public keys there (the .pub files minisign -G writes)";
    std::vector<std::pair<std::string, std::string>> cases = {
        {"open", "trusted keys open: its group or others may write it (mode 0777): chmod go-w it"},
        {"group", "trusted key group/shop.pub: its group or others may write it (mode 0664): chmod go-w it"},
        {"twin", "trusted keys twin/a.pub and twin/b.pub have the same key id " + shop.id + ": remove one"},
        {"link", "trusted key link/shop.pub: it is a symbolic link: put the key file itself there"},
        {"notakey", "trusted key notakey/x.pub is not a public key (line 2 is not the base64 of a 42-byte key): " + put},
        {"none", "trusted keys none: no key in it (*.pub); " + put},
        {"nowhere", "trusted keys nowhere: cannot open it: No such file or directory; " + put},
        {"shared/keys", "trusted keys shared/keys: its parent " + scratch.path("shared") +
                            " is not safe: its group or others may write it (mode 0777): chmod go-w it"},
    };
    if (geteuid() == 0) {
        keyIn(folder("theirs", 0755), "shop.pub", 0644);
        chown(scratch.path("theirs/shop.pub").c_str(), 4242, 4242);
        cases.emplace_back("theirs", "trusted key theirs/shop.pub: it is owned by user 4242, neither root nor this user");
    }
    for (const auto &[dir, cause] : cases) {
        const auto r = run(kTool, {"flash", "--trusted-keys", dir, "fw.s19"});
        EXPECT_EQ(r.run.exitStatus, 2) << dir;
        EXPECT_EQ(r.run.err, "panel_tool: " + cause + "\n");
        EXPECT_TRUE(noUsbAccess(r)) << dir;
    }
}

// Rotation: a new key beside the old, files signed by either taken; the
// old key removed (revocation), what it signed is refused.
TEST_F(Signed, KeysRotateAndARemovedKeyIsTrustedNoMore)
{
    SigningKey next = makeSigningKey(scratch.path("secret"), "next", scratch.path("keys"));
    copyFirmware("new.s19", &next);
    auto panels = usedPanels(1);
    for (const std::string file : {"fw.s19", "new.s19"})
        EXPECT_EQ(runOn(*panels, kTool, {"--json", "--full", "flash", "--require-signature", "--trusted-keys", "keys", file})
                      .run.exitStatus,
                  0)
            << file;
    ASSERT_EQ(unlink(shop.pub.c_str()), 0);
    const std::size_t frames = panels->model().hostFrameCount();
    const auto revoked = runOn(*panels, kTool, {"flash", "--require-signature", "--trusted-keys", "keys", "fw.s19"});
    EXPECT_EQ(revoked.run.exitStatus, 3);
    EXPECT_EQ(revoked.run.err, "panel_tool: \"fw.s19\": it is signed by key " + shop.id +
                                   ", which no trusted key in keys has: sign it with a trusted key\n");
    EXPECT_EQ(revoked.model.hostFrameCount(), frames);
    EXPECT_EQ(runOn(*panels, kTool, {"--json", "--full", "flash", "--require-signature", "--trusted-keys", "keys", "new.s19"})
                  .run.exitStatus,
              0);
}

// The file is read once: replaced by another while its signature is
// being read (the signature a pipe that the test holds until the swap is
// done), what is checked and what reaches the panel are the bytes read
// first, nothing of the new file.
TEST_F(Signed, AFileReplacedDuringTheCheckChangesNothing)
{
    const std::string signature = slurp(scratch.path("fw.s19.minisig"));
    unlink(scratch.path("fw.s19.minisig").c_str());
    ASSERT_EQ(mkfifo(scratch.path("fw.s19.minisig").c_str(), 0644), 0);
    scratch.write("other.s19", samples::firmware(0x4000, 0x4FFF, 73));
    std::thread swap([&] {
        // Opened once the tool opens it to read, within 30 s.
        int fifo = -1;
        eventually([&] { return (fifo = open(scratch.path("fw.s19.minisig").c_str(), O_WRONLY | O_NONBLOCK)) >= 0; });
        ASSERT_GE(fifo, 0) << "the tool never read the signature";
        fcntl(fifo, F_SETFL, 0);
        rename(scratch.path("other.s19").c_str(), scratch.path("fw.s19").c_str());
        EXPECT_EQ(write(fifo, signature.data(), signature.size()), static_cast<ssize_t>(signature.size()));
        close(fifo);
    });
    emu::UsbPanel panel(emu::RamDriver::Auto, {}, {}, emu::PanelStart::Used);
    ASSERT_TRUE(panel.ready()) << panel.setupError();
    const emu::PanelModel before = panel.model();
    const emu::ProgramRun r =
        emu::runProgram({kTool, "flash", "--require-signature", "--trusted-keys", "keys", "fw.s19"}, scratch.dir, true);
    swap.join();
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    expectFirmwareFlashed(firmware, before.panelFlash(), panel.model().panelFlash());
}

} // namespace
