// Parses one S-record file as panel_flasher does (firmware profile,
// checksum inserted) and prints the parse time, best of N runs, in
// microseconds. Usage: s19_parse_time FILE [N]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "devlink/s19_image.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fputs("usage: s19_parse_time FILE [N]\n", stderr);
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 1;
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        std::FILE *file = std::fopen(argv[1], "r");
        if (file == nullptr) {
            std::perror(argv[1]);
            return 1;
        }
        const auto start = std::chrono::steady_clock::now();
        S19Image image(file, 1, 0);
        image.parse();
        const auto stop = std::chrono::steady_clock::now();
        std::fclose(file);
        if (image.getStatus() != S19Image::kStatusLoaded) {
            std::fprintf(stderr, "%s: bad record at line %u\n", argv[1], image.getBadLine());
            return 1;
        }
        const double us = std::chrono::duration<double, std::micro>(stop - start).count();
        best = us < best ? us : best;
    }
    std::printf("%.1f\n", best);
    return 0;
}
