// The relay protocol's package header and the program's package types.
#ifndef FANOUT_CLIENT_PKG_DEFINE_H
#define FANOUT_CLIENT_PKG_DEFINE_H

#include <arpa/inet.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "base/xcgi_package.h"

enum { RESERVE_BYTES = 32 };

// The header's fixed values: every package carries command 1 and client version 1; a
// request is type 0, the relay's reply type 1.
enum { PKG_CMD = 1, PKG_CLIENT_VERSION = 1 };
enum { PKG_TYPE_REQUEST = 0, PKG_TYPE_RESPONSE = 1 };

// The result codes of a reply (m_result). Any other value is unknown to the client.
enum PKG_RESULT {
    RES_OK = 0,
    RES_UNAUTHORIZED_IP = 1,  // the relay takes no requests from the client's address
    RES_INVALID_PARAM = 2,    // a field of the request is not acceptable
    RES_REMOTE_FAILED = 3,    // the service behind the relay failed
    RES_BAD_PACKAGE = 4,      // the relay could not take the package apart
    RES_KEY_REJECTED = 5,     // the key id did not pass the relay's check
};

// The wire image of the header: packed, 43 bytes, the two 32-bit fields held in
// network byte order inside the record (setters convert on store, getters on read).
#pragma pack(push, 1)
struct MSG_PKG_HEAD {
    uint8_t m_cmd;
    uint8_t m_pkg_type;  // PKG_TYPE_REQUEST or PKG_TYPE_RESPONSE
    uint8_t m_client_version;
    uint32_t m_timestamp;
    uint32_t m_result;  // a PKG_RESULT
    uint8_t m_reserved[RESERVE_BYTES];

    void set_cmd(uint8_t cCmd) { m_cmd = cCmd; }
    uint8_t cmd() const { return m_cmd; }
    void set_pkg_type(uint8_t cType) { m_pkg_type = cType; }
    uint8_t pkg_type() const { return m_pkg_type; }
    void set_client_version(uint8_t cVersion) { m_client_version = cVersion; }
    uint8_t client_version() const { return m_client_version; }
    void set_timestamp(uint32_t dwTimestamp) { m_timestamp = htonl(dwTimestamp); }
    uint32_t timestamp() const { return ntohl(m_timestamp); }
    void set_result(uint32_t dwResult) { m_result = htonl(dwResult); }
    uint32_t result() const { return ntohl(m_result); }
};
#pragma pack(pop)

static_assert(sizeof(MSG_PKG_HEAD) == 43, "the package header is 43 bytes on the wire");

// The header's timestamp for the time tNow: seconds since 1970 as an unsigned 32-bit
// number, exact until February 2106 and counted modulo 2^32 after it. A 32-bit time_t
// ends in January 2038 (time() then fails), so the build asks for a 64-bit one
// (_TIME_BITS=64) on 32-bit hosts too.
static_assert(sizeof(time_t) >= 8, "time_t holds times past January 2038");
inline uint32_t PkgTimestamp(time_t tNow) {
    return static_cast<uint32_t>(static_cast<uint64_t>(tNow));
}

typedef xcgi::CPackage<MSG_PKG_HEAD> MSG_PKG;
typedef std::vector<std::string> VEC_STR;
typedef uint32_t PKG_SIZE_T;

#endif  // FANOUT_CLIENT_PKG_DEFINE_H
