#include "emulator/capture/capture_replay.h"

#include <cerrno>
#include <cstdio>

namespace emu {

namespace {

std::string hexByte(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
    return text;
}

std::string transferName(bool in, uint8_t endpoint, std::size_t length)
{
    return std::string(in ? "IN" : "OUT") + " on " + hexByte(endpoint) + " of " + std::to_string(length) +
           " bytes";
}

} // namespace

CaptureReplay::CaptureReplay(std::vector<CapturedTransfer> transfers) : transfers(std::move(transfers)) {}

void CaptureReplay::differ(const CapturedTransfer &t, const std::string &what)
{
    if (firstDifference.empty())
        firstDifference = "capture frame " + std::to_string(t.frame) + ", transfer " +
                          std::to_string(position) + ": " + what;
}

ReplayAnswer CaptureReplay::next(bool in, uint8_t endpoint, std::size_t requested,
                                 const std::vector<uint8_t> &sent)
{
    ReplayAnswer answer;
    if (position == transfers.size()) {
        // Past the capture's end: the panel says nothing more.
        ++extra;
        answer.status = -EPIPE;
        return answer;
    }
    const CapturedTransfer &t = transfers[position++];
    if (t.in() != in || t.endpoint != endpoint || t.requested != requested) {
        differ(t, "the capture has " + transferName(t.in(), t.endpoint, t.requested) + ", the host made " +
                      transferName(in, endpoint, requested));
    } else if (!in) {
        for (std::size_t i = 0; i < t.data.size() && i < sent.size(); ++i) {
            if (t.data[i] != sent[i]) {
                differ(t, "OUT differs at offset " + std::to_string(i) + ": the capture has " +
                              hexByte(t.data[i]) + ", the host sent " + hexByte(sent[i]));
                break;
            }
        }
    }
    answer.refused = t.submitFailed;
    answer.pending = !t.completed && !t.submitFailed;
    answer.status = t.status;
    answer.actual = t.actual;
    if (in)
        answer.data = t.data;
    return answer;
}

std::vector<std::string> CaptureReplay::violations() const
{
    std::vector<std::string> out;
    if (!firstDifference.empty())
        out.push_back(firstDifference);
    if (extra > 0)
        out.push_back("the host made " + std::to_string(extra) + " transfers more than the capture holds");
    if (position < transfers.size())
        out.push_back("the host stopped after transfer " + std::to_string(position) + " of " +
                      std::to_string(transfers.size()) + "; the capture goes on at frame " +
                      std::to_string(transfers[position].frame));
    return out;
}

} // namespace emu
