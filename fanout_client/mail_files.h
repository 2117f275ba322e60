// The attachments of a mail request sent straight from their files.
//
// A mail's attachments make up nearly all of its package. When every attachment is a
// regular file, it is mapped (its page-cache pages, mapped in one go) and sent from the
// mapping with the rest of the package in one gathered send, instead of being read into
// a package buffer first: one copy (into the socket) instead of three, and no buffer as
// large as the attachments to fault in. The request bytes on the wire are the same.
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

    // Maps every attachment; true when each is a regular file of nonzero size (for the
    // others, such as pipes and files of the proc file system, the size is unknown until
    // they are read) and their total is within the attachment limit. Otherwise nothing
    // stays mapped and false is returned.
    bool Open(const VEC_STR& vecPaths);
    // One exchange with the server: the package begun in sPkg (everything before the
    // attachments), then each attachment's name and content fields. On success sPkg
    // holds the reply.
    bool SendRecv(const std::string& sIp, uint16_t wPort, std::string& sPkg, std::string& sErrMsg,
                  uint32_t dwTimeout) const;

private:
    CMailFiles(const CMailFiles&);
    CMailFiles& operator=(const CMailFiles&);

    void Close();

    // Per attachment: its name field and the length of its content field, as sent.
    std::vector<std::string> m_vecFieldHeads;
    // Per attachment: its mapped content.
    std::vector<iovec> m_vecMaps;
};

#endif  // FANOUT_CLIENT_MAIL_FILES_H
