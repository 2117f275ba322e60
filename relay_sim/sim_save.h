// Writing a request's image and attachments to files, for a person or a test to compare.
#ifndef RELAY_SIM_SIM_SAVE_H
#define RELAY_SIM_SIM_SAVE_H

#include <cstdint>
#include <string>

#include "relay_proto/request.h"

namespace relay_sim {

// An attachment name as a file name that stays inside its folder: the part after the
// last '/', control bytes replaced by '_', at most 255 bytes. Empty when nothing usable
// is left ("", "." or "..").
std::string SafeFileName(const std::string& sName);

// Writes the image (as "image") and the attachments of oReq into a new folder
// sDir/<ddwSeq>-<channel> (".1", ".2"... appended when it exists). Does nothing and
// leaves sSavedDir empty when the request carries neither. False with sErrMsg when a
// folder or file cannot be written.
bool SaveRequest(const std::string& sDir, uint64_t ddwSeq, const relay_proto::SRequest& oReq,
                 std::string& sSavedDir, std::string& sErrMsg);

}  // namespace relay_sim

#endif  // RELAY_SIM_SIM_SAVE_H
