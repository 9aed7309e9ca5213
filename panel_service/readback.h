// Reading the panel's memories back, to compare them with a file or to
// save them: the work of panel_readback, and of panel_tool's verify and
// save commands. Nothing here writes or erases the panel's memories.
#pragma once

#include <string>

#include "devlink/progress.h"
#include "panel_service/panel_session.h"
#include "panel_service/service.h"

enum class ReadbackCommand { VerifyLanguage, VerifyFirmware, SaveLanguage, SaveFirmware };
// The command a command line names: "verify-language", "verify-firmware",
// "save-language" or "save-firmware"; false for any other.
bool readbackCommandNamed(const std::string &name, ReadbackCommand &command);

// One command on the chosen panel, its RAM driver from `drivers`: Match,
// Mismatch (pagesVerified pages compared), Saved (pagesRead pages) or
// Failed. A language to compare with is read before the panel is opened;
// a firmware as panel_flasher reads it, after its driver is in place.
ServiceResult runReadback(ReadbackCommand command, const std::string &file, const std::string &drivers,
                          const PanelChoice &choice, const Progress &progress);

// What a read-back command prints on standard output when it did its
// work, as panel_readback and panel_tool both print it: "match: ...", the
// mismatch, or "saved ...".
std::string readbackLine(const ServiceResult &result);
