// A package: a fixed header record followed by a body of big-endian numbers and byte
// strings, all held in one byte string whose first sizeof(HEAD) bytes are the header.
//
//   xcgi::CPackage<MSG_PKG_HEAD> oPkg;       // 43 zero bytes
//   oPkg.head().set_cmd(1);                  // writes in place
//   oPkg << uint32_t(2) << std::string("hi"); // appends 00 00 00 02 68 69
//
// A string field is its length as a number, then its bytes: the string operator alone
// appends no length. head() and data() are views valid until the next change.
#ifndef BASE_XCGI_PACKAGE_H
#define BASE_XCGI_PACKAGE_H

#include <arpa/inet.h>

#include <cstdint>
#include <string>

namespace xcgi {

template <typename HEAD>
class CPackage {
public:
    CPackage() : m_iPos(0), m_pkgData(sizeof(HEAD), '\0') {}

    // The header record in place. The caller makes sure the package holds a whole
    // header (always true for a package it built; a loaded reply may be shorter).
    HEAD& head() { return *reinterpret_cast<HEAD*>(&m_pkgData[0]); }
    const HEAD& head() const { return *reinterpret_cast<const HEAD*>(m_pkgData.data()); }

    CPackage& operator<<(uint32_t dwValue) {
        const uint32_t dwNet = htonl(dwValue);
        m_pkgData.append(reinterpret_cast<const char*>(&dwNet), sizeof(dwNet));
        return *this;
    }

    CPackage& operator<<(const std::string& sValue) {
        m_pkgData.append(sValue);
        return *this;
    }

    // Room for nBytes in all, so a package of known size is built without regrowing.
    void Reserve(size_t nBytes) { m_pkgData.reserve(nBytes); }

    const char* data() const { return m_pkgData.data(); }
    int32_t size() const { return static_cast<int32_t>(m_pkgData.size()); }
    const std::string& str() const { return m_pkgData; }

    // Hands the whole byte string to the caller (who sends it) without copying it;
    // the package is left holding what sPkgData held.
    void SwapPkgData(std::string& sPkgData) {
        m_iPos = 0;
        m_pkgData.swap(sPkgData);
    }

    void SetPkgData(const std::string& sPkgData) {
        m_iPos = 0;
        m_pkgData = sPkgData;
    }

private:
    int32_t m_iPos;
    std::string m_pkgData;
};

}  // namespace xcgi

#endif  // BASE_XCGI_PACKAGE_H
