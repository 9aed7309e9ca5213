#include "panel_tool/journal.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#if defined(PANEL_HAVE_LIBSYSTEMD)
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#endif

bool outputIsTheJournal()
{
    // systemd names the stream it connects a service's output to.
    const char *stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat st {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           fstat(STDOUT_FILENO, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

#if defined(PANEL_HAVE_LIBSYSTEMD)

bool journalServiceEnded(const ServiceEntry &e, const std::string &message)
{
    std::vector<std::string> fields{
        std::string("MESSAGE_ID=") + kServiceEndedMessageId,
        "MESSAGE=port " + e.port + ": " + message,
        std::string("PRIORITY=") + (e.result == "verified" || e.result == "written" ? "6" : "3"),
        "PANEL_PORT=" + e.port,
        "PANEL_STATION=" + e.station,
        "PANEL_RESULT=" + e.result,
        "PANEL_PAGES_WRITTEN=" + std::to_string(e.pagesWritten),
        "PANEL_VERIFIED=" + std::string(e.verified ? "1" : "0"),
        "PANEL_SECONDS=" + std::to_string(e.seconds),
    };
    for (const FileEntry &f : e.files) {
        const std::string kind = f.kind == "language" ? "PANEL_LANGUAGE" : "PANEL_FIRMWARE";
        fields.push_back(kind + "=" + f.file);
        fields.push_back(kind + "_SHA256=" + f.sha256);
        if (!f.heldSha256.empty())
            fields.push_back(kind + "_HELD_SHA256=" + f.heldSha256);
        if (f.heldBootCheck >= 0)
            fields.push_back(kind + "_HELD_BOOT_CHECK=" + std::to_string(f.heldBootCheck));
        if (!f.backup.empty())
            fields.push_back("PANEL_BACKUP=" + f.backup);
    }
    if (!e.step.empty())
        fields.push_back("PANEL_STEP=" + e.step);
    if (!e.cause.empty())
        fields.push_back("PANEL_CAUSE=" + e.cause);
    // Fields are sent as they are, whatever bytes a path holds.
    std::vector<iovec> parts;
    for (std::string &field : fields)
        parts.push_back(iovec{field.data(), field.size()});
    return sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) == 0;
}

#else

bool journalServiceEnded(const ServiceEntry &, const std::string &) { return false; }

#endif
