// panel_capture: records a usbmon interface to a pcap file, as a technician
// would with tshark or dumpcap, until SIGTERM or SIGINT. The test machine
// has no Wireshark; this is the same libpcap capture, and nothing more.
// Usage: panel_capture INTERFACE FILE   (INTERFACE: usbmon0 for every bus)
#include <csignal>
#include <cstdio>

#include <pcap/pcap.h>

namespace {

pcap_t *capture = nullptr;

void stop(int) { pcap_breakloop(capture); }

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fputs("usage: panel_capture INTERFACE FILE\n", stderr);
        return 2;
    }
    char error[PCAP_ERRBUF_SIZE] = {};
    capture = pcap_create(argv[1], error);
    if (capture == nullptr || pcap_set_snaplen(capture, 65535) != 0 ||
        pcap_set_immediate_mode(capture, 1) != 0 || pcap_activate(capture) < 0) {
        std::fprintf(stderr, "panel_capture: %s: %s\n", argv[1], capture ? pcap_geterr(capture) : error);
        return 3;
    }
    pcap_dumper_t *out = pcap_dump_open(capture, argv[2]);
    if (out == nullptr) {
        std::fprintf(stderr, "panel_capture: %s\n", pcap_geterr(capture));
        return 3;
    }
    std::signal(SIGTERM, stop);
    std::signal(SIGINT, stop);
    std::puts("capturing");
    std::fflush(stdout);
    const int result = pcap_loop(capture, -1, pcap_dump, reinterpret_cast<u_char *>(out));
    pcap_dump_close(out);
    pcap_close(capture);
    return result == PCAP_ERROR ? 3 : 0;
}
