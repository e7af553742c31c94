// The single lookups of /A and /N.
#include "lookup_single.h"
#include "basalt-core.h"
#include "basalt-str.h"
#include "platform.h"
#include "socket.h"

#include <cstdio>

namespace
{

constexpr const char *SITE_FILE = __FILE_NAME__;

} // namespace

int lookup_by_address(const char *text, char (&result)[RESULT_TEXT_SIZE])
{
    CHECK_POINTER(SITE_FILE, text);
    result[0] = '\0';
    HostInfo info;
    uint8_t octets[4];
    uint8_t octets6[16];
    if (parse_dotted_address(text, octets) == 1) {
        if (resolve_address(&info, octets) == 0)
            return 0;
    } else if (platform_parse_ipv6(text, octets6) == 1) {
        if (resolve_address6(&info, octets6) == 0)
            return 0;
    } else {
        return 0;
    }
    return checked_copy(result, info.name);
}

int lookup_by_name(const char *text, char (&result)[RESULT_TEXT_SIZE])
{
    CHECK_POINTER(SITE_FILE, text);
    result[0] = '\0';
    HostInfo info;
    if (resolve_name(&info, text) == 0)
        return 0;
    std::snprintf(result, sizeof result, "%u.%u.%u.%u", info.address[0], info.address[1], info.address[2],
                  info.address[3]);
    return 1;
}
