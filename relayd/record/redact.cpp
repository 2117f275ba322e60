#include "relayd/record/redact.h"

#include <cctype>
#include <vector>

#include "relayd/record/text_codec.h"

namespace relayd {

namespace {

const char* const kHidden = "(set)";

// A query parameter name as the library reads it: percent-decoded, lower case.
std::string DecodedName(const std::string& sName) {
    std::string sOut = PercentDecode(sName, false);
    for (char& c : sOut) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return sOut;
}

bool NamesSecret(const std::string& sName) {
    const std::string sDecoded = DecodedName(sName);
    for (const char* szWord : {"pass", "secret", "token", "key", "sig", "auth"}) {
        if (sDecoded.find(szWord) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The userinfo's password: everything from its first ':' to the last '@' before the
// query. Hiding up to the last '@' also covers a password holding a raw '@' or '/'. There
// is userinfo only when an '@' comes before the path.
std::string WithoutUserPassword(const std::string& sUrl, size_t nAuthority, size_t nQuery,
                                std::vector<std::string>& vecHidden) {
    const size_t nFirstAt = sUrl.find('@', nAuthority);
    if (nFirstAt == std::string::npos || nFirstAt > nQuery ||
        sUrl.find('/', nAuthority) < nFirstAt) {
        return sUrl;
    }
    const size_t nAt = sUrl.rfind('@', nQuery);
    const size_t nColon = sUrl.find(':', nAuthority);
    if (nColon == std::string::npos || nColon > nAt) {
        return sUrl;
    }
    vecHidden.push_back(sUrl.substr(nColon + 1, nAt - nColon - 1));
    return sUrl.substr(0, nColon + 1) + kHidden + sUrl.substr(nAt);
}

// Each "name=value" of the query whose name speaks of a secret gets its value hidden.
std::string WithoutQuerySecrets(const std::string& sUrl, size_t nQuery,
                                std::vector<std::string>& vecHidden) {
    if (nQuery == std::string::npos) {
        return sUrl;
    }
    std::string sOut = sUrl.substr(0, nQuery + 1);
    size_t nStart = nQuery + 1;
    while (nStart <= sUrl.size()) {
        size_t nEnd = sUrl.find_first_of("&#", nStart);
        if (nEnd == std::string::npos) {
            nEnd = sUrl.size();
        }
        const std::string sPair = sUrl.substr(nStart, nEnd - nStart);
        const size_t nEq = sPair.find('=');
        if (nEq != std::string::npos && NamesSecret(sPair.substr(0, nEq))) {
            sOut += sPair.substr(0, nEq + 1) + kHidden;
            vecHidden.push_back(sPair.substr(nEq + 1));
        } else {
            sOut += sPair;
        }
        if (nEnd == sUrl.size()) {
            break;
        }
        if (sUrl[nEnd] == '#') {
            sOut += sUrl.substr(nEnd);
            break;
        }
        sOut += '&';
        nStart = nEnd + 1;
    }
    return sOut;
}

// libpq's "key=value key='quoted value'" form: values of secret keys hidden, quotes and
// backslash escapes followed so a quoted value with blanks is hidden whole.
std::string WithoutConninfoSecrets(const std::string& sText, std::vector<std::string>& vecHidden) {
    std::string sOut;
    size_t i = 0;
    while (i < sText.size()) {
        if (isspace(static_cast<unsigned char>(sText[i]))) {
            sOut += sText[i++];
            continue;
        }
        const size_t nKeyStart = i;
        while (i < sText.size() && sText[i] != '=' &&
               !isspace(static_cast<unsigned char>(sText[i]))) {
            ++i;
        }
        const std::string sKey = sText.substr(nKeyStart, i - nKeyStart);
        size_t nEq = i;
        while (nEq < sText.size() && isspace(static_cast<unsigned char>(sText[nEq]))) {
            ++nEq;
        }
        if (nEq >= sText.size() || sText[nEq] != '=') {
            sOut += sKey;
            continue;
        }
        size_t nValue = nEq + 1;
        while (nValue < sText.size() && isspace(static_cast<unsigned char>(sText[nValue]))) {
            ++nValue;
        }
        size_t nEnd = nValue;
        if (nEnd < sText.size() && sText[nEnd] == '\'') {
            for (++nEnd; nEnd < sText.size() && sText[nEnd] != '\''; ++nEnd) {
                nEnd += sText[nEnd] == '\\' ? 1 : 0;
            }
            nEnd = nEnd < sText.size() ? nEnd + 1 : nEnd;
        } else {
            while (nEnd < sText.size() && !isspace(static_cast<unsigned char>(sText[nEnd]))) {
                nEnd += sText[nEnd] == '\\' ? 2 : 1;
            }
        }
        nEnd = nEnd > sText.size() ? sText.size() : nEnd;
        sOut += sText.substr(nKeyStart, nValue - nKeyStart);
        const std::string sValue = sText.substr(nValue, nEnd - nValue);
        if (NamesSecret(sKey)) {
            vecHidden.push_back(sValue);
        }
        sOut += NamesSecret(sKey) ? std::string(kHidden) : sValue;
        i = nEnd;
    }
    return sOut;
}

// sText with its secrets hidden; each hidden value, as written, into vecHidden.
std::string Redact(const std::string& sText, std::vector<std::string>& vecHidden) {
    const size_t nScheme = sText.find("://");
    if (nScheme == std::string::npos) {
        return sText.find('=') == std::string::npos ? sText
                                                    : WithoutConninfoSecrets(sText, vecHidden);
    }
    const size_t nAuthority = nScheme + 3;
    const size_t nQuery = sText.find('?', nAuthority);
    const std::string sNoUser = WithoutUserPassword(sText, nAuthority, nQuery, vecHidden);
    return WithoutQuerySecrets(sNoUser, sNoUser.find('?', nAuthority), vecHidden);
}

}  // namespace

std::string Redacted(const std::string& sText) {
    std::vector<std::string> vecHidden;
    return Redact(sText, vecHidden);
}

std::string WithoutSecretsOf(const std::string& sMessage, const std::string& sUrl) {
    std::vector<std::string> vecHidden;
    Redact(sUrl, vecHidden);
    std::string sOut = sMessage;
    for (const std::string& sSecret : vecHidden) {
        for (size_t nAt = sSecret.empty() ? std::string::npos : sOut.find(sSecret);
             nAt != std::string::npos; nAt = sOut.find(sSecret, nAt + 5)) {
            sOut.replace(nAt, sSecret.size(), kHidden);
        }
    }
    return sOut;
}

}  // namespace relayd
