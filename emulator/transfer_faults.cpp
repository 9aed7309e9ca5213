#include "emulator/transfer_faults.h"

#include <cstdlib>
#include <string>

namespace emu {

bool parseTransferFault(const char *text, bool in, int &at, TransferFault &kind)
{
    char *end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (end == text || n < 1 || n > 1000000)
        return false;
    at = static_cast<int>(n);
    const std::string rest = end;
    if (rest.empty() || rest == ":gone") kind = TransferFault::Gone;
    else if (rest == ":stall") kind = TransferFault::Stall;
    else if (rest == ":never") kind = TransferFault::Never;
    else if (rest == ":partial" && in) kind = TransferFault::Partial;
    else if (rest == ":overflow" && in) kind = TransferFault::Overflow;
    else if (rest == ":bus-error") kind = TransferFault::BusError;
    else if (rest == ":gone-bus-error") kind = TransferFault::GoneWithBusError;
    else return false;
    return true;
}

} // namespace emu
