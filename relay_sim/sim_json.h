// The relay's JSON lines: a decoded request as JSON fields, and the one-line text.
//
// Text fields are JSON strings. Bytes that are not valid UTF-8 cannot stand in a JSON
// string: they are replaced by U+FFFD when the line is written, and the field's raw
// bytes are added in hexadecimal under "<field>_hex", so nothing is lost.
#ifndef RELAY_SIM_SIM_JSON_H
#define RELAY_SIM_SIM_JSON_H

#include <nlohmann/json.hpp>
#include <string>

#include "relay_proto/request.h"

namespace relay_sim {

// Keeps the fields in the order they were added, so lines read like the package.
typedef nlohmann::ordered_json JSON_OBJ;

// oJson[szName] = sText, plus szName + "_hex" when sText is not valid UTF-8.
void AddText(JSON_OBJ& oJson, const char* szName, const std::string& sText);

// The header fields and the channel's body fields, in wire order. Bulk data appear as
// sizes: "image_size" (lumo) and per attachment "name" and "size" (mail).
void AddRequestFields(const relay_proto::SRequest& oReq, JSON_OBJ& oJson);

// oJson as one line of valid JSON with a trailing line end.
std::string JsonLine(const JSON_OBJ& oJson);

}  // namespace relay_sim

#endif  // RELAY_SIM_SIM_JSON_H
