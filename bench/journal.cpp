#include "bench/journal.h"

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
    };
    for (std::string &field : journalFields(e))
        fields.push_back(std::move(field));
    // Fields are sent as they are, whatever bytes a path holds.
    std::vector<iovec> parts;
    for (std::string &field : fields)
        parts.push_back(iovec{field.data(), field.size()});
    return sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) == 0;
}

#else

bool journalServiceEnded(const ServiceEntry &, const std::string &) { return false; }

#endif
