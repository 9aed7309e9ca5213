// What a running bench publishes of itself, for whoever watches it (the
// view): its files, its sockets and where each stands. The bench replaces
// one small JSON file whole (a temporary renamed over it) whenever
// something changes, and at least twice a second, so that a reader finds
// either the last state or the one before, never half of one; and a file
// that stops changing tells of a bench that has stopped. Writing never
// waits for a reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "panel_service/json_text.h"

// A file every panel gets.
struct LiveFile {
    std::string kind;  // "language", "firmware"
    std::string file;
    std::string sha256;
    // Who signed it, when the bench checked: the key's id and the trusted
    // comment; empty when not signed.
    std::string signer;
    std::string trustedComment;
};

// One socket of the bench, as it stands.
struct LiveSocket {
    std::string port;
    std::string label;  // from the configuration; empty when none
    // "empty", "waiting", "in service", "verified", "already held",
    // "written", "mismatch", "failed", "ignored"
    std::string state;
    // In service: the file's kind, the phase ("driver", "read", "erase",
    // "write", "verify") and how far it has got; the seconds since the
    // phase began, for the time left.
    std::string step;
    std::string phase;
    uint32_t done = 0;
    uint32_t total = 0;
    double phaseSeconds = 0;
    // The last service's end, kept once its panel is pulled out (the
    // socket then "empty"): its result (a state's word), when (UTC), in
    // how many seconds, and, when it failed, at which step (`step`), why,
    // and whether plugging it in again may cure it.
    std::string result;
    std::string ended;
    double seconds = 0;
    std::string cause;
    bool replugMayCure = false;
};

struct LiveBench {
    std::string station;
    std::string started;  // UTC
    std::string updated;  // UTC, to the second
    bool running = true;  // false once the bench has ended
    bool verify = true;
    std::vector<LiveFile> files;
    std::vector<std::string> ports;  // the bench's own; every port when empty
    std::vector<LiveSocket> sockets;  // in the order of `ports`, then as seen
};

void to_json(Json &json, const LiveBench &bench);
void from_json(const Json &json, LiveBench &bench);

// Replaces the file at `path` with `bench`, readable by the owner and the
// group only; false, with errno, when it cannot.
bool publishLive(const std::string &path, const LiveBench &bench);

// Reads what the bench at `path` last published; false when there is no
// such file or it holds no bench. `age` is how many seconds ago it was
// written.
bool readLive(const std::string &path, LiveBench &bench, double &age);
