// The attachments of a mail request, each opened once and sent from where it lies.
//
// Every attachment is opened once, and all that is sent of it comes from that open: a
// named pipe gives its bytes to one open only. A mail's attachments make up nearly all
// of its package. A regular file of nonzero size is mapped (its page-cache pages, mapped
// in one go) and sent from the mapping; anything else (a pipe, a file of the proc file
// system, whose size shows 0) is read into a buffer of its own. The rest of the package,
// then each attachment's name and content fields, go out in one gathered send: no copy
// of the attachments into the package. The request bytes on the wire are the same.
#ifndef FANOUT_CLIENT_MAIL_FILES_H
#define FANOUT_CLIENT_MAIL_FILES_H

#include <sys/uio.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fanout_client/pkg_define.h"

class CMailFiles {
public:
    CMailFiles() = default;
    ~CMailFiles();

    // Opens and maps or reads every attachment in order, all of them together held to the
    // attachment limit. False, with OpenFailedMessage in sErrMsg, at the first one that
    // does not open, is a folder, cannot be read or passes what is left of the limit;
    // nothing then stays mapped.
    bool Open(const VEC_STR& vecPaths, std::string& sErrMsg);
    // One exchange with the server: the package begun in sPkg (everything before the
    // attachments), then each attachment's name and content fields. On success sPkg
    // holds the reply.
    bool SendRecv(const std::string& sIp, uint16_t wPort, std::string& sPkg, std::string& sErrMsg,
                  uint32_t dwTimeout) const;

private:
    // One attachment: its name field and the length of its content field, as sent, and
    // its content, mapped (oMap) or else read (sRead).
    struct SAttachment {
        std::string sFieldHead;
        iovec oMap = {nullptr, 0};
        std::string sRead;
    };

    CMailFiles(const CMailFiles&);
    CMailFiles& operator=(const CMailFiles&);

    void Close();

    std::vector<SAttachment> m_vecFiles;
};

#endif  // FANOUT_CLIENT_MAIL_FILES_H
