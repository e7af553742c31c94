// The socket layer: start-up and clean-up of the socket library with its
// version check, texts for socket error codes, the dotted-address parser and
// the two blocking resolvers, whose results are copied into a record that
// the caller owns.
#pragma once

#include <cstdint>

// Socket interface version requested and the only one accepted (1.1).
inline constexpr uint16_t SOCKET_VERSION = 0x0101;
// A resolved name, terminator included: the longest DNS name has 253
// characters, so every name the resolver can give fits.
inline constexpr int HOST_INFO_NAME_SIZE = 256;

struct HostInfo {
    char name[HOST_INFO_NAME_SIZE]; // official name of the host
    uint8_t address[4];             // its first address, octet 0 first
};

// 1 when the socket library is started at version 1.1; 0 after printing
// "WSAStartup failed (...)" or "Wrong Winsock version (...)".
int socket_startup();
// 1 when stopped; 0 after printing "WSACleanup failed (...)".
int socket_cleanup();
// Checks a granted version; 1 when it is 1.1, else prints why and returns 0.
int socket_check_version(uint16_t granted);

// Text for the calling thread's last socket error. An unknown code first
// prints "\nUnknown (%d) (0x%.8X)\n" and gives "Unknown error code".
const char *socket_error_text();

// Dotted-decimal text to four octets: only digits and exactly three dots,
// each part modulo 256, an empty part 0. Returns 1 and fills out; returns 0
// and leaves out untouched for anything else.
int parse_dotted_address(const char *text, uint8_t out[4]);

// Resolves a host name (resolve_name) or four octets (resolve_address).
// The record is zeroed first; 1 and the record filled when the resolver
// found an answer, 0 otherwise. Safe to call from many threads at once,
// each with its own record.
int resolve_name(HostInfo *info, const char *name);
int resolve_address(HostInfo *info, const uint8_t address[4]);
// The same for an IPv6 address; only info->name is filled.
int resolve_address6(HostInfo *info, const uint8_t address[16]);

// After a resolver returned 0: 1 when the failure was an answer, that the
// address (or name) has no name (or no address); 0 when it failed for now
// (no answer in time, a server failure or refusal, no memory), which says
// nothing about the name. Read from the calling thread's last socket error.
int socket_failure_is_definite();

// With confirmation on, a name found for an address counts only when a
// forward lookup of that name gives the address back among its addresses
// (the IPv4 address of an IPv4-mapped one); otherwise resolve_address and
// resolve_address6 fail. Set before any lookup thread starts.
void socket_set_confirm_names(int confirm);

// Test seam: replaces the system resolver behind resolve_address for every
// thread (null restores it). A scripted resolver fills info and returns 1,
// or returns 0.
using AddressResolver = int (*)(HostInfo *info, const uint8_t address[4]);
void socket_set_address_resolver(AddressResolver resolver);
