// Runs the real programs against a fresh emulated panel, in a scratch
// folder holding small generated RAM drivers.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "devlink/panel_geometry.h"
#include "tests/signing.h"
#include "tests/support.h"

namespace testing_support {

constexpr std::size_t kSerialDriverBytes = 0x300;  // 3 RAM pages
constexpr std::size_t kPanelDriverBytes = 0x280;   // 3 RAM pages
constexpr int kDriverPages = 3;

struct ProgramResult {
    emu::ProgramRun run;
    // The frames the panel had received when the first byte of standard
    // output arrived; -1 when nothing was printed.
    long framesAtFirstOutput = -1;
    emu::PanelModel model{emu::RamDriver::None};
    std::vector<emu::WireEntry> wire;
    std::vector<std::string> violations;
};

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        scratch.write("serial_flash.S19", samples::ramDriver(emu::kSerialDriverTag, kSerialDriverBytes, 21));
        scratch.write("cf_flash.S19", samples::ramDriver(emu::kPanelDriverTag, kPanelDriverBytes, 22));
    }

    // Every run starts on a panel that holds an old firmware and an old
    // language, and every run that reports success must leave the panel
    // holding exactly the file it was given, and bootable.
    ProgramResult run(const std::string &program, const std::vector<std::string> &args,
                      emu::UsbFaults usbFaults = {}, emu::ModelFaults modelFaults = {})
    {
        emu::UsbPanel panel(emu::RamDriver::Auto, modelFaults, usbFaults, emu::PanelStart::Used);
        EXPECT_TRUE(panel.ready()) << panel.setupError();
        return runOn(panel, program, args);
    }

    // A bus of `count` panels that hold an old firmware and language; the
    // faults are the first one's, and the last may be one this user may
    // not open.
    static std::unique_ptr<emu::UsbPanel> usedPanels(std::size_t count = 1, emu::ModelFaults first = {},
                                                     bool lastWithoutAccess = false)
    {
        auto bus = std::make_unique<emu::UsbPanel>(emu::RamDriver::Auto, first, emu::UsbFaults{},
                                                   emu::PanelStart::Used);
        for (std::size_t i = 1; i < count; ++i) {
            emu::PanelSpec spec;
            spec.start = emu::PanelStart::Used;
            spec.noAccess = lastWithoutAccess && i + 1 == count;
            bus->addPanel(spec);
        }
        EXPECT_TRUE(bus->ready()) << bus->setupError();
        return bus;
    }

    // One program on a panel that earlier ones may have used, as on a
    // bench. panel_readback must not write or erase anything.
    ProgramResult runOn(emu::UsbPanel &panel, const std::string &program, const std::vector<std::string> &args)
    {
        const bool tool = isTool(program);
        const bool legacy = !isReadback(program) && !tool;
        const std::string command = tool ? commandOf(args) : "";
        panel.setReadOnlyHost(isReadback(program) ||
                              (tool && command != "flash" && command != "load-language" && command != "restore"));
        std::vector<std::string> argv = wrapper;
        argv.push_back(program);
        argv.insert(argv.end(), args.begin(), args.end());
        // What each panel held before, to tell what this run changed.
        std::vector<emu::PanelModel> before;
        for (std::size_t i = 0; tool && i < panel.panelCount(); ++i)
            before.push_back(panel.model(i));
        ProgramResult r;
        emu::RunOptions options;
        options.terminal = terminal;
        options.capture = true;
        options.outLimit = stdoutLimit;
        options.errorIntoOutput = errorIntoOutput;
        options.environment = environment;
        options.firstOutput = [&] { r.framesAtFirstOutput = static_cast<long>(panel.hostFramesReceived()); };
        r.run = emu::runProgram(argv, scratch.dir, options);
        EXPECT_TRUE(r.run.started);
        EXPECT_EQ(r.run.signal, 0) << "ended by a signal";
        panel.checkHostEnded(false);
        r.model = panel.model();
        r.wire = panel.wire();
        r.violations = panel.violations();
        EXPECT_TRUE(r.violations.empty()) << r.violations.front();
        if (legacy && !errorIntoOutput)
            expectCauseLine(program, r.run);
        if (legacy && r.run.exitStatus == 1 && fileHeldAfterSuccess)
            expectPanelHoldsTheFile(program, args, r.model);
        if (legacy && r.run.exitStatus != 1)
            expectBootCheckAfterAFailure(args, r.model);
        if (tool && !errorIntoOutput)
            expectToolsOutcome(command, args, r.run, before, panel);
        return r;
    }

    static bool isReadback(const std::string &program) { return program.find("panel_readback") != std::string::npos; }
    static bool isTool(const std::string &program) { return program.find("panel_tool") != std::string::npos; }

    // panel_tool's command and its file: the first and last words that are
    // not options (or an option's value).
    static std::string commandOf(const std::vector<std::string> &args)
    {
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (args[i] == "--port" || args[i] == "--device" || args[i] == "--drivers" || args[i] == "--backup" ||
                args[i] == "--trusted-keys")
                ++i;
            else if (args[i].rfind("--", 0) != 0)
                return args[i];
        }
        return "";
    }

    // The panel a panel_tool run reached, if any: the one whose frames
    // grew; `before.size()` when none.
    static std::size_t panelUsed(const std::vector<emu::PanelModel> &before, const emu::UsbPanel &panels)
    {
        std::size_t used = before.size();
        for (std::size_t i = 0; i < before.size(); ++i)
            if (panels.model(i).hostFrameCount() != before[i].hostFrameCount())
                used = i;
        return used;
    }

    static bool hasOption(const std::vector<std::string> &args, const char *option)
    {
        return std::find(args.begin(), args.end(), option) != args.end();
    }

    // panel_tool: silence on standard error after a result, one line
    // naming it after a failure; a write it reports as done left the panel
    // it reached holding the file (whether it wrote it or found it there),
    // and no other panel changed.
    void expectToolsOutcome(const std::string &command, const std::vector<std::string> &args,
                            const emu::ProgramRun &run, const std::vector<emu::PanelModel> &before,
                            const emu::UsbPanel &panels) const
    {
        if (run.exitStatus <= 1)
            EXPECT_EQ(run.err, "") << "standard error after a result";
        else
            EXPECT_EQ(run.err.rfind("panel_tool: ", 0), 0u) << run.err;
        if (run.exitStatus == 3) {
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
        }
        const std::size_t used = panelUsed(before, panels);
        for (std::size_t i = 0; i < before.size(); ++i) {
            const emu::PanelModel m = panels.model(i);
            if (i != used) {
                EXPECT_TRUE(m.serialFlash() == before[i].serialFlash() && m.panelFlash() == before[i].panelFlash())
                    << "panel " << i << " changed, but the run did not reach it";
                continue;
            }
            if (run.exitStatus != 0)
                continue;
            const std::string text = fileText(args.back());
            if (command == "flash")
                expectFirmwareFlashed(text, before[i].panelFlash(), m.panelFlash());
            if (command == "load-language")
                expectLanguageLoaded(Bytes(text.begin(), text.end()), before[i].serialFlash(), m.serialFlash());
            if (command == "restore")
                expectRestored(args.back(), before[i], m);
        }
        if (run.exitStatus == 2) {
            EXPECT_EQ(used, before.size()) << "a usage error reached a panel";
        }
        if (hasOption(args, "--json") && run.exitStatus != 2)
            expectToolsJson(command, args, run, before, panels);
    }

    // After a restore the panel holds what the backup `dir` saved, as the
    // files there have it (the firmware exactly, checksum word and all);
    // a memory the backup does not hold is as it was.
    void expectRestored(const std::string &dir, const emu::PanelModel &before, const emu::PanelModel &after) const
    {
        const std::string firmware = fileText(dir + "/firmware.s19");
        Bytes flash = before.panelFlash();
        if (!firmware.empty()) {
            const Bytes image = firmwareImage(firmware);
            std::copy(image.begin(), image.end(), flash.begin() + panel::kFirmwareRange.first);
        }
        expectSameMemory(after.panelFlash(), flash, "panel flash after a restore");
        const std::string language = fileText(dir + "/language.bin");
        Bytes serial = before.serialFlash();
        if (!language.empty()) {
            std::copy(language.begin(), language.begin() + 0x10000, serial.begin() + panel::kFirstLanguagePage * 256);
            std::copy(language.begin() + 0x10000, language.begin() + 0x10100,
                      serial.begin() + panel::kLanguageHeaderPage * 256);
        }
        expectSameMemory(after.serialFlash(), serial, "serial flash after a restore");
    }

    // --json: one document on standard output, read with a JSON parser,
    // every field of which tells the truth about the run: the panel used,
    // the file and its hash, what the panel held before, the sectors and
    // pages it was sent and those left alone, the result that goes with
    // the exit status, and the cause of anything but success.
    void expectToolsJson(const std::string &command, const std::vector<std::string> &args,
                         const emu::ProgramRun &run, const std::vector<emu::PanelModel> &before,
                         const emu::UsbPanel &panels) const
    {
        const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << "not JSON: " << run.out;
        if (command == "list") {
            ASSERT_TRUE(doc.is_array()) << run.out;
            EXPECT_EQ(doc.size(), panels.panelCount());
            for (const auto &p : doc)
                for (const char *key : {"port", "bus", "device", "speed", "access", "why"})
                    EXPECT_TRUE(p.contains(key)) << key << " in " << p.dump();
            return;
        }
        if (command == "history") {
            // The rows of a record, each an object.
            ASSERT_TRUE(doc.is_array()) << run.out;
            for (const auto &row : doc)
                EXPECT_TRUE(row.is_object() && row.contains("port") && row.contains("result")) << row.dump();
            return;
        }
        if (command == "restore") {
            // One result per memory put back, each a service of its own.
            ASSERT_TRUE(doc.is_array() || doc.is_object()) << run.out;
            for (const auto &step : doc.is_array() ? doc : nlohmann::json::array({doc}))
                EXPECT_EQ(step.value("command", ""), "restore");
            return;
        }
        ASSERT_TRUE(doc.is_object()) << run.out;
        const int status = run.exitStatus;
        EXPECT_EQ(doc.value("command", ""), command);
        EXPECT_EQ(textOf(doc, "file"), args.back());
        if (status <= 1) {
            EXPECT_EQ(doc.value("sha256", ""), sha256sum(args.back().front() == '/' ? args.back()
                                                                                    : scratch.path(args.back())));
        }
        const std::size_t used = panelUsed(before, panels);
        const bool writes = command == "flash" || command == "load-language";
        const bool flash = command == "flash";
        std::size_t sent = 0, erased = 0;
        if (used < before.size()) {
            EXPECT_EQ(doc.value("port", ""), panels.panelPort(used));
            const emu::PanelModel now = panels.model(used);
            sent = flash ? now.flashPagesWritten.size() - before[used].flashPagesWritten.size()
                         : now.serialPagesWritten.size() - before[used].serialPagesWritten.size();
            erased = now.sectorsErased.size() - before[used].sectorsErased.size();
        }
        const int64_t written = doc.value("pages_written", int64_t{-1});
        if (!writes || status <= 1) {
            EXPECT_EQ(written, writes ? static_cast<int64_t>(sent) : 0) << "pages written";
            EXPECT_EQ(doc.value("sectors_erased", int64_t{-1}), static_cast<int64_t>(erased)) << "sectors erased";
        } else {
            EXPECT_LE(written, static_cast<int64_t>(sent)) << "pages written";
        }
        // What the panel held, when it was read before anything changed.
        const bool full = hasOption(args, "--full");
        const bool read = writes && (!full || hasOption(args, "--backup")) && status <= 1;
        if (read) {
            const Bytes &was = flash ? before[used].panelFlash() : before[used].serialFlash();
            const Bytes held = flash ? Bytes(was.begin() + panel::kFirmwareRange.first, was.end())
                                     : cat(Bytes(was.begin() + 32 * 256, was.begin() + 288 * 256), page(was, 1));
            EXPECT_EQ(doc.value("held_sha256", ""), sha256Of(held)) << "the hash of what the panel held";
            if (flash) {
                EXPECT_EQ(doc["held_boot_check"], emu::bootCheckPasses(was)) << "its boot check";
            } else {
                EXPECT_TRUE(doc["held_boot_check"].is_null());
            }
        } else if (writes && full) {
            EXPECT_TRUE(doc["held_sha256"].is_null()) << "nothing was read first";
        }
        EXPECT_EQ(doc["backup"].is_null(), !hasOption(args, "--backup") || status == 3);
        const std::string result = doc.value("result", "");
        const int64_t verified = doc.value("pages_verified", int64_t{-1});
        const int64_t skipped = doc.value("pages_skipped", int64_t{-1});
        if (hasOption(args, "--no-verify") || command.rfind("save-", 0) == 0 || result == "already held") {
            EXPECT_EQ(verified, 0);
        } else if (writes && status == 0) {
            EXPECT_EQ(verified, written) << "every page written is read back";
        }
        if (writes && status <= 1) {
            EXPECT_EQ(skipped, full ? 0 : flash ? 960 - static_cast<int64_t>(erased) * 8 : 257 - written)
                << "pages left alone";
        }
        if (writes && status <= 1)
            expectSignerTrue(doc["signer"], args);
        EXPECT_TRUE(doc.contains("seconds") && doc["seconds"].is_number() && doc["seconds"] >= 0);
        const std::string cause = doc.value("cause", "?");
        if (status == 0) {
            const bool verify = !hasOption(args, "--no-verify");
            const std::string done = command.rfind("verify-", 0) == 0 ? "match"
                                     : command.rfind("save-", 0) == 0 ? "saved"
                                     : sent == 0 && erased == 0       ? "already held"
                                     : verify                         ? "verified"
                                                                      : "written";
            EXPECT_EQ(result, done);
            EXPECT_EQ(cause, "");
        } else if (status == 1) {
            EXPECT_EQ(result, "mismatch");
            expectMismatchTrue(cause, args.back(), panels.model(used < before.size() ? used : 0));
        } else {
            EXPECT_EQ(result, "failed");
            EXPECT_EQ("panel_tool: " + textOf(doc, "cause") + "\n", run.err);
        }
    }

    // The signer a result names is the one minisign finds: its key file
    // verifies the file, with the same trusted comment and key id. None
    // unless signatures were checked and the file has one; and a file
    // without one is never taken where one is required.
    void expectSignerTrue(const nlohmann::json &signer, const std::vector<std::string> &args) const
    {
        const bool checked = hasOption(args, "--trusted-keys") || hasOption(args, "--require-signature");
        const std::string file = args.back().front() == '/' ? args.back() : scratch.path(args.back());
        if (!checked || access((file + ".minisig").c_str(), F_OK) != 0) {
            EXPECT_TRUE(signer.is_null()) << signer.dump();
            EXPECT_FALSE(hasOption(args, "--require-signature")) << "a file without a signature was taken";
            return;
        }
        ASSERT_TRUE(signer.is_object()) << "a signed file's signer: " << signer.dump();
        const std::string key = textOf(signer, "key_file");
        const std::string keyPath = key.front() == '/' ? key : scratch.path(key);
        std::string comment;
        EXPECT_TRUE(minisignVerifies(keyPath, file, comment)) << key << " does not verify " << file;
        EXPECT_EQ(textOf(signer, "trusted_comment"), shownComment(comment));
        EXPECT_EQ(signer.value("key_id", ""), keyIdOf(keyPath));
    }

    // "mismatch: flash page 66 differs first, at offset 0x05: the file has
    // 0x3B, the panel 0x2B; ...": the panel holds the byte named there.
    void expectMismatchTrue(const std::string &cause, const std::string &file, const emu::PanelModel &panel) const
    {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(cause, m,
                                     std::regex("mismatch: (flash|serial flash) page (\\d+) differs first, at offset "
                                                "0x([0-9A-F]{2}): the file has 0x([0-9A-F]{2}), the panel "
                                                "0x([0-9A-F]{2}); \\d+ of \\d+ pages differ")))
            << "cause: " << cause;
        const Bytes &memory = m[1] == "flash" ? panel.panelFlash() : panel.serialFlash();
        const std::size_t at = std::stoul(m[2]) * 256 + std::stoul(m[3], nullptr, 16);
        ASSERT_LT(at, memory.size());
        EXPECT_EQ(memory[at], std::stoul(m[5], nullptr, 16)) << cause << " (" << file << ")";
        EXPECT_NE(m[4], m[5]) << cause;
    }

    std::string fileText(const std::string &arg) const
    {
        return slurp(arg.front() == '/' ? arg : scratch.path(arg));
    }

    void expectPanelHoldsTheFile(const std::string &program, const std::vector<std::string> &args,
                                 const emu::PanelModel &model) const
    {
        ASSERT_EQ(args.size(), 1u) << "success without exactly one argument";
        const std::string text = fileText(args[0]);
        if (program.find("lang_loader") != std::string::npos)
            expectLanguageLoaded(Bytes(text.begin(), text.end()), model.serialFlashBefore(), model.serialFlash());
        else
            expectFirmwareFlashed(text, model.panelFlashBefore(), model.panelFlash());
    }

    // Data pages 32-287 hold the file's 64 KiB, page 1 its header marked as
    // loaded; no other page changed.
    static void expectLanguageLoaded(const Bytes &file, const Bytes &before, const Bytes &after)
    {
        ASSERT_GE(file.size(), 0x10100u);
        Bytes expected = before;
        std::copy(file.begin(), file.begin() + 0x10000, expected.begin() + panel::kFirstLanguagePage * 256);
        std::copy(file.begin() + 0x10000, file.begin() + 0x10100, expected.begin() + panel::kLanguageHeaderPage * 256);
        expected[panel::kLanguageHeaderPage * 256 + panel::kLanguageHeaderMarkByte] = 1;
        expectSameMemory(after, expected, "serial flash");
    }

    // The bootloader's area is as it was; the firmware range holds the
    // file's bytes and erased flash elsewhere, nothing of the old firmware,
    // and the checksum word the boot check accepts.
    static void expectFirmwareFlashed(const std::string &text, const Bytes &before, const Bytes &after)
    {
        Bytes expected = before;
        const Bytes image = firmwareImage(text);
        std::copy(image.begin(), image.end(), expected.begin() + panel::kFirmwareRange.first);
        ASSERT_EQ(after.size(), expected.size());
        for (uint32_t a = panel::kChecksumAddress; a <= panel::kChecksumWordLast; ++a)
            expected[a] = after[a];
        expectSameMemory(after, expected, "panel flash");
        EXPECT_TRUE(emu::bootCheckPasses(after)) << "the panel would not boot";
    }

    static void expectSameMemory(const Bytes &got, const Bytes &expected, const char *memory)
    {
        ASSERT_EQ(got.size(), expected.size());
        const auto diff = std::mismatch(got.begin(), got.end(), expected.begin());
        EXPECT_TRUE(diff.first == got.end())
            << memory << " differs first at 0x" << std::hex << (diff.first - got.begin());
    }

    // The firmware range as the file's S3 records fill it, read here apart
    // from the library so that a fault there cannot hide itself.
    static Bytes firmwareImage(const std::string &text)
    {
        Bytes image(panel::kFirmwareRange.size(), 0xFF);
        std::istringstream lines(text);
        std::string chunk, line;
        auto byteAt = [&line](std::size_t i) { return static_cast<uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)); };
        while (std::getline(lines, chunk, '\n')) {
            for (std::istringstream parts(chunk); std::getline(parts, line, '\r');) {
                if (line.compare(0, 2, "S3") != 0)
                    continue;
                const uint32_t address = uint32_t{byteAt(4)} << 24 | uint32_t{byteAt(6)} << 16 |
                                         uint32_t{byteAt(8)} << 8 | byteAt(10);
                for (uint32_t i = 0; i + 5 < byteAt(2); ++i)
                    if (panel::kFirmwareRange.holds(address + i))
                        image[address + i - panel::kFirmwareRange.first] = byteAt(12 + 2 * i);
            }
        }
        return image;
    }

    // A failed run leaves the old firmware, which boots, when it erased
    // nothing; when it did, the panel boots only if every page of the new
    // firmware landed (a run can fail on the answer to its last page), and
    // must fail its boot check otherwise.
    void expectBootCheckAfterAFailure(const std::vector<std::string> &args, const emu::PanelModel &model) const
    {
        bool complete = false;
        if (!model.sectorsErased.empty() && args.size() == 1) {
            const Bytes image = firmwareImage(fileText(args[0]));
            const Bytes &flash = model.panelFlash();
            complete = std::equal(image.begin(), image.begin() + (panel::kChecksumAddress - panel::kFirmwareRange.first),
                                  flash.begin() + panel::kFirmwareRange.first) &&
                       std::equal(image.begin() + (panel::kChecksumWordLast + 1 - panel::kFirmwareRange.first),
                                  image.end(), flash.begin() + panel::kChecksumWordLast + 1);
        }
        EXPECT_EQ(model.bootCheckPasses(), model.sectorsErased.empty() || complete)
            << "the boot check after a failed run that " << (model.sectorsErased.empty() ? "erased nothing" : "erased")
            << (complete ? " and wrote every page" : "");
    }

    // Silence on standard error after success; after a failure at most
    // one line, naming the program.
    static void expectCauseLine(const std::string &program, const emu::ProgramRun &run)
    {
        if (run.exitStatus == 1) {
            EXPECT_EQ(run.err, "") << "standard error after success";
            return;
        }
        const std::string name = program.substr(program.rfind('/') + 1) + ": ";
        EXPECT_EQ(run.err.compare(0, name.size(), name), 0) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    }

    static emu::UsbFaults failOut(int n, emu::TransferFault kind = emu::TransferFault::Gone)
    {
        emu::UsbFaults f;
        f.outFault = kind;
        f.outFaultAt = n;
        return f;
    }

    static emu::UsbFaults failIn(int n, emu::TransferFault kind = emu::TransferFault::Gone)
    {
        emu::UsbFaults f;
        f.inFault = kind;
        f.inFaultAt = n;
        return f;
    }

    Scratch scratch;
    // Standard output is closed after this many bytes, as by `| head -c N`.
    std::size_t stdoutLimit = std::string::npos;
    // Standard error goes into standard output, as on a terminal.
    bool errorIntoOutput = false;
    // Standard output is a terminal.
    bool terminal = false;
    // A run that reports success leaves the panel holding the file (not so
    // with a worn cell, which a program that does not read back cannot
    // see).
    bool fileHeldAfterSuccess = true;
    // Added to the programs' environment (another library path, say).
    std::vector<std::string> environment;
    // The command a program runs under (strace and its options, say).
    std::vector<std::string> wrapper;
};

// The run touched no USB device at all.
inline bool noUsbAccess(const ProgramResult &r) { return r.wire.empty(); }

// What n steps of a program's spinner print, each followed by `tail`.
inline std::string spinnerSteps(int n, const std::string &tail)
{
    static const char chars[] = {'|', '/', '-', '\\'};
    std::string out;
    for (int i = 0; i < n; ++i)
        out += std::string(1, chars[i % 4]) + tail;
    return out;
}

inline std::vector<int> range(int first, int last)
{
    std::vector<int> out;
    for (int i = first; i <= last; ++i)
        out.push_back(i);
    return out;
}

} // namespace testing_support
