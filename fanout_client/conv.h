#ifndef FANOUT_CLIENT_CONV_H
#define FANOUT_CLIENT_CONV_H

#include <string>

// Whole-string conversions between GBK (code page 936) and UTF-8. Conversion ends at the first
// zero byte of sMsg; malformed or unmappable input is replaced or dropped, never an error.
std::string Conv2Utf8(const std::string& sMsg);
std::string Conv2Gbk(const std::string& sMsg);

#endif
