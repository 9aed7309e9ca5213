#include "panel_service/utc_time.h"

std::string utcText(std::time_t when, const char *format)
{
    std::tm t{};
    char text[64] = "";
    if (gmtime_r(&when, &t) != nullptr)
        std::strftime(text, sizeof text, format, &t);
    return text;
}
