// What the S-record reader costs the host: parsing a full-range firmware
// (32- and 250-byte records), the firmware finalisation, and handing out
// every page. Throughput is in bytes of S-record text per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "devlink/s19_image.h"
#include "emulator/srec_writer.h"

namespace {

constexpr uint32_t kFirst = 0x4000;
constexpr uint32_t kLast = 0x3FFFF;

// The file lives in a temporary file, as a firmware on disk would (read
// from the page cache once warm).
class TextFile {
public:
    explicit TextFile(const std::string &text) : size(text.size())
    {
        file = std::tmpfile();
        std::fwrite(text.data(), 1, text.size(), file);
    }
    ~TextFile() { std::fclose(file); }
    std::FILE *rewound() const
    {
        std::rewind(file);
        return file;
    }
    const std::size_t size;

private:
    std::FILE *file;
};

void parseFile(benchmark::State &state, const TextFile &text, int finalise)
{
    for (auto _ : state) {
        S19Image image(text.rewound(), finalise, 0);
        image.parse();
        benchmark::DoNotOptimize(image.getChecksum());
        if (image.getStatus() != S19Image::kStatusLoaded)
            state.SkipWithError("the generated firmware did not load");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size));
    state.counters["file_bytes"] = static_cast<double>(text.size);
}

void BM_ParseFullFirmware32ByteRecords(benchmark::State &state)
{
    static const TextFile text(samples::firmware(kFirst, kLast, 1, 32));
    parseFile(state, text, 1);
}
BENCHMARK(BM_ParseFullFirmware32ByteRecords)->Unit(benchmark::kMicrosecond);

void BM_ParseFullFirmware250ByteRecords(benchmark::State &state)
{
    static const TextFile text(samples::firmware(kFirst, kLast, 1, 250));
    parseFile(state, text, 1);
}
BENCHMARK(BM_ParseFullFirmware250ByteRecords)->Unit(benchmark::kMicrosecond);

// The finalisation is not callable alone: a one-record file is parsed with
// the checksum (finalise 1) and without it (finalise 2, same profile); the
// difference between the two is the finalisation.
void BM_FirmwareFinalisation(benchmark::State &state)
{
    static const TextFile text(samples::firmware(kFirst, kFirst + 31, 1));
    const int finalise = static_cast<int>(state.range(0));
    for (auto _ : state) {
        S19Image image(text.rewound(), finalise, 0);
        image.parse();
        benchmark::DoNotOptimize(image.getChecksum());
    }
    state.SetLabel(finalise == 1 ? "with finalisation" : "without (baseline)");
}
BENCHMARK(BM_FirmwareFinalisation)->Arg(1)->Arg(2)->ArgName("finalise")->Unit(benchmark::kMicrosecond);

void BM_GetEveryFirmwarePage(benchmark::State &state)
{
    const TextFile text(samples::firmware(kFirst, kLast, 1));
    S19Image image(text.rewound(), 1, 0);
    image.parse();
    uint8_t page[256];
    const uint32_t pages = image.pageCount(sizeof page);
    for (auto _ : state) {
        for (uint32_t i = 0; i < pages; ++i) {
            image.getPage(i, sizeof page, page);
            benchmark::DoNotOptimize(page);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * pages));
    state.counters["pages"] = pages;
}
BENCHMARK(BM_GetEveryFirmwarePage)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
