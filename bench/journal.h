// The system journal, where the machine's other logs are: each service's
// end as one entry with fields of its own, so that journalctl finds a
// socket's history (journalctl PANEL_PORT=1-1.3) and a shop that gathers
// its benches' journals gets every station's record. Linux with
// libsystemd only; elsewhere nothing is sent.
#pragma once

#include <string>

#include "bench/service_entry.h"

// The MESSAGE_ID of every service's end.
constexpr const char *kServiceEndedMessageId = "df96b6c9014747dfb674359c66cd6bb3";

// Whether standard output is the journal (a system service's): its lines
// then reach the journal without being printed.
bool outputIsTheJournal();

// Sends the entry, `message` the line a person reads; false when there is
// no journal to take it.
bool journalServiceEnded(const ServiceEntry &entry, const std::string &message);
