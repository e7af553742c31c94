// The socket layer over the platform's sockets and resolver.
#include "socket.h"

#include "basalt-core.h"
#include "platform.h"

#include <atomic>
#include <cstring>

namespace
{

constexpr const char *SITE_FILE = "socket";

struct ErrorText {
    int code;
    const char *text;
};

// Windows Sockets 1.1 codes with the program's own texts.
constexpr ErrorText ERROR_TEXTS[] = {
    {0, "No Error"},
    {10004, "Interrupted function call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Resource temporarily unavailable"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Cannot assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Cannot send after socket shutdown"},
    {10059, "Too many references"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Loop"},
    {10063, "Name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disk quota"},
    {10070, "Stale"},
    {10071, "Remote"},
    {10091, "Network subsystem is unavailable"},
    {10092, "WINSOCK.DLL version out of range"},
    {10093, "Successful WSAStartup not yet performed"},
    {10101, "Graceful shutdown in progress"},
    {11001, "Host not found"},
    {11002, "Non-authoritative host not found"},
    {11003, "This is a non-recoverable error"},
    {11004, "Valid name, no data record of requested type"},
};
static_assert(sizeof ERROR_TEXTS / sizeof ERROR_TEXTS[0] == 52);

constexpr int SOCKET_NOT_INITIALISED = 10093;

std::atomic<bool> g_started{false};
std::atomic<AddressResolver> g_address_resolver{nullptr};
std::atomic<bool> g_confirm_names{false};

bool is_address_text(const char *name)
{
    uint8_t bytes[16];
    return parse_dotted_address(name, bytes) == 1 || platform_parse_ipv6(name, bytes) == 1;
}

// Whether the name a resolver gave is a host name, its trailing dot taken
// off (names are shown without it). Empty, the root, a name that is an
// address (a PTR record can say anything), or one holding a blank or a
// control byte, which would also end a cache record early, is no name.
int usable_host_name(char *name)
{
    size_t length = std::strlen(name);
    if (length > 0 && name[length - 1] == '.')
        name[--length] = '\0';
    if (length == 0 || is_address_text(name))
        return 0;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c <= 32 || c == 127)
            return 0;
    }
    return 1;
}

// Most PTR names of one address that a confirmation tries.
constexpr int MOST_PTR_NAMES = 8;

// A reverse record can claim any name; only the name's own addresses say
// whether it belongs to this one. When the resolver's name does not
// confirm, every other PTR name of the address is tried, and the first
// that does becomes the name: the resolver gives only one of several, in
// the order the server sends them. A forward lookup that failed for now
// makes the whole lookup fail for now.
int confirmed(HostInfo &info, const uint8_t *address, size_t length)
{
    if (!g_confirm_names.load(std::memory_order_relaxed))
        return 1;
    constexpr uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (length == 16 && std::memcmp(address, MAPPED_PREFIX, sizeof MAPPED_PREFIX) == 0) {
        address += 12;
        length = 4;
    }
    if (platform_name_has_address(info.name, address, length) == 1)
        return 1;
    if (socket_failure_is_definite() == 0)
        return 0;
    char names[MOST_PTR_NAMES][HOST_INFO_NAME_SIZE];
    const int count = platform_address_names(address, length, names[0], sizeof names[0], MOST_PTR_NAMES);
    bool for_now = count < 0 && socket_failure_is_definite() == 0;
    for (int i = 0; i < count; ++i) {
        if (usable_host_name(names[i]) == 0 || std::strcmp(names[i], info.name) == 0)
            continue;
        if (platform_name_has_address(names[i], address, length) == 1) {
            std::memcpy(info.name, names[i], sizeof names[i]);
            return 1;
        }
        for_now = for_now || socket_failure_is_definite() == 0;
    }
    platform_socket_set_last_error(for_now ? SOCKET_TRY_AGAIN : SOCKET_NO_DATA);
    return 0;
}

int system_resolve_address(HostInfo *info, const uint8_t address[4])
{
    return platform_resolve_address(address, info->name, sizeof info->name, info->address);
}

// The resolvers work only between start-up and clean-up, as the socket
// library of the original platform does.
int require_started()
{
    if (g_started.load())
        return 1;
    platform_socket_set_last_error(SOCKET_NOT_INITIALISED);
    return 0;
}

// An address (4 or 16 bytes) to its name, through the scripted resolver
// when one is set (IPv4 only) or the system's; the name must then pass the
// confirmation when it is on. On failure the record is left zeroed.
int resolve_address_with(AddressResolver scripted, HostInfo *info, const uint8_t *address, size_t length)
{
    CHECK_POINTER(SITE_FILE, info);
    CHECK_POINTER(SITE_FILE, address);
    std::memset(info, 0, sizeof *info);
    if (scripted == nullptr && require_started() == 0)
        return 0;
    int found = 0;
    if (scripted != nullptr) {
        // A scripted resolver that fails without saying why found no name.
        platform_socket_set_last_error(SOCKET_HOST_NOT_FOUND);
        found = scripted(info, address);
    } else if (length == 4) {
        found = system_resolve_address(info, address);
    } else {
        found = platform_resolve_address6(address, info->name, sizeof info->name);
    }
    if (found == 1 && usable_host_name(info->name) == 0) {
        platform_socket_set_last_error(SOCKET_HOST_NOT_FOUND);
        found = 0;
    }
    if (found == 1 && confirmed(*info, address, length) == 1)
        return 1;
    std::memset(info, 0, sizeof *info);
    return 0;
}

} // namespace

int socket_startup()
{
    uint16_t granted = 0;
    if (platform_socket_startup(SOCKET_VERSION, &granted) != 0) {
        out_print("WSAStartup failed (%s)\n", socket_error_text());
        return 0;
    }
    // Started even when the version is wrong: the clean-up at exit stops it.
    g_started = true;
    return socket_check_version(granted);
}

int socket_check_version(uint16_t granted)
{
    if (granted != SOCKET_VERSION) {
        out_print("Wrong Winsock version (%d != %d)\n", granted, SOCKET_VERSION);
        return 0;
    }
    return 1;
}

int socket_cleanup()
{
    if (!g_started.exchange(false) || platform_socket_cleanup() == -1) {
        platform_socket_set_last_error(SOCKET_NOT_INITIALISED);
        out_print("WSACleanup failed (%s)\n", socket_error_text());
        return 0;
    }
    return 1;
}

const char *socket_error_text()
{
    int code = platform_socket_last_error();
    for (const ErrorText &entry : ERROR_TEXTS) {
        if (entry.code == code)
            return entry.text;
    }
    out_print("\nUnknown (%d) (0x%.8X)\n", code, static_cast<unsigned>(code));
    return "Unknown error code";
}

int parse_dotted_address(const char *text, uint8_t out[4])
{
    CHECK_POINTER(SITE_FILE, text);
    CHECK_POINTER(SITE_FILE, out);
    uint8_t octets[4] = {0, 0, 0, 0};
    int dots = 0;
    unsigned value = 0; // kept modulo 256: a part may have any number of digits
    if (*text == '\0')
        return 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == '.') {
            if (dots == 3)
                return 0;
            octets[dots++] = static_cast<uint8_t>(value);
            value = 0;
        } else if (*p >= '0' && *p <= '9') {
            value = (value * 10 + static_cast<unsigned>(*p - '0')) % 256;
        } else {
            return 0;
        }
    }
    if (dots != 3)
        return 0;
    octets[3] = static_cast<uint8_t>(value);
    std::memcpy(out, octets, 4);
    return 1;
}

int resolve_name(HostInfo *info, const char *name)
{
    CHECK_POINTER(SITE_FILE, info);
    CHECK_POINTER(SITE_FILE, name);
    std::memset(info, 0, sizeof *info);
    if (require_started() == 0)
        return 0;
    if (platform_resolve_name(name, info->name, sizeof info->name, info->address) == 1)
        return 1;
    std::memset(info, 0, sizeof *info);
    return 0;
}

int resolve_address(HostInfo *info, const uint8_t address[4])
{
    return resolve_address_with(g_address_resolver.load(), info, address, 4);
}

int resolve_address6(HostInfo *info, const uint8_t address[16])
{
    return resolve_address_with(nullptr, info, address, 16);
}

int socket_failure_is_definite()
{
    const int code = platform_socket_last_error();
    return code == SOCKET_HOST_NOT_FOUND || code == SOCKET_NO_DATA || code == SOCKET_NAME_TOO_LONG ? 1 : 0;
}

void socket_set_confirm_names(int confirm)
{
    g_confirm_names = confirm != 0;
}

void socket_set_address_resolver(AddressResolver resolver)
{
    g_address_resolver = resolver;
}
