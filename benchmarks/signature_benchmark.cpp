// What checking a signature costs a service: panel_tool's reading of a
// full-range firmware and of a language file, as each service of a bench
// or a flash begins, without a signature checked and with one (the
// trusted keys read, the .minisig read and parsed, BLAKE2b-512 of the
// file, two Ed25519 verifications). Keys and signatures come from Debian's
// minisign.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "emulator/srec_writer.h"
#include "panel_service/panel_file.h"

namespace {

std::string folder;

// A scratch folder with the files, their signatures and the key.
void prepare()
{
    char tmpl[] = "/tmp/signature-benchmark-XXXXXX";
    folder = mkdtemp(tmpl);
    std::ofstream(folder + "/fw.s19") << samples::firmware(0x4000, 0x3FFFF, 7);
    const std::vector<uint8_t> language = samples::languageFile(8);
    std::ofstream(folder + "/lang.bin", std::ios::binary)
        .write(reinterpret_cast<const char *>(language.data()), static_cast<std::streamsize>(language.size()));
    mkdir((folder + "/keys").c_str(), 0755);
    const std::string sign = "cd " + folder + " && minisign -G -W -p keys/shop.pub -s shop.key >/dev/null && " +
                             "minisign -S -s shop.key -m fw.s19 >/dev/null && minisign -S -s shop.key -m lang.bin >/dev/null";
    if (std::system(sign.c_str()) != 0)
        std::abort();
}

void readFile(benchmark::State &state, bool firmware, bool checked)
{
    for (auto _ : state) {
        TrustedKeys keys;
        FileTrust trust;
        std::string why;
        Failure failure;
        PanelFile file;
        const bool ok = trustAskedFor(checked, checked ? folder + "/keys" : "", keys, trust, why) &&
                        (firmware ? readFirmwareFile(folder + "/fw.s19", FirmwareUse::ToFlash, trust, file, failure)
                                  : readLanguageFile(folder + "/lang.bin", trust, file, failure));
        if (!ok || file.signer.keyId.empty() != !checked)
            state.SkipWithError("not read as expected");
        benchmark::DoNotOptimize(file);
    }
}

BENCHMARK_CAPTURE(readFile, firmware_unchecked, true, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(readFile, firmware_signed, true, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(readFile, language_unchecked, false, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(readFile, language_signed, false, true)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    prepare();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::system(("rm -rf " + folder).c_str());
    return 0;
}
