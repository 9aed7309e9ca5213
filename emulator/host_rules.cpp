#include "emulator/host_rules.h"

#include <string>

namespace emu {

void HostRules::transferStarted(bool in, bool toThePanel, bool configuredAndClaimed,
                                bool bulkOnPanelEndpoint)
{
    if (failedBefore)
        problems.push_back(std::string(in ? "IN" : "OUT") + " transfer after a failed one: a retry");
    if (!toThePanel)
        problems.push_back("bulk transfer to a device that is not the panel");
    else if (!configuredAndClaimed)
        problems.push_back("bulk transfer before configuration 1 was set and interface 0 claimed");
    if (!bulkOnPanelEndpoint)
        problems.push_back("transfer that is not bulk on endpoint 0x02 or 0x81");
}

void HostRules::transferAfterUnplug()
{
    problems.push_back("transfer after the panel was unplugged");
}

void HostRules::inTooShort(std::size_t asked, std::size_t ready)
{
    problems.push_back("IN transfer of " + std::to_string(asked) + " bytes shorter than the panel's " +
                       std::to_string(ready));
}

void HostRules::hostEnded(bool interfaceStillClaimed, bool deviceStillOpen)
{
    if (interfaceStillClaimed)
        problems.push_back("interface 0 was not released");
    if (deviceStillOpen)
        problems.push_back("the device was not closed");
}

} // namespace emu
