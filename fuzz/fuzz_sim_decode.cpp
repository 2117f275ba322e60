// The relay simulator's side of a request: the frame reader and the request decoder, and the
// JSON line it writes for what it decoded.
//
// Input: a control byte, then the package. Control bits 0-1 choose the channel; the upper bits
// give the size of the pieces in which the frame reader gets the package's frame, and then the
// package itself as a stream.
//
// Properties: the frame reader gives back exactly the package, whatever the pieces, and judges
// any other stream by the frame rules without taking a byte past the frame; a package the
// decoder accepts encodes back to the same bytes (the reserved header bytes aside, which the
// decoder drops); a refused one comes with a reason; the JSON line always parses, and gives back
// every text field (valid UTF-8 as itself, anything else in its "_hex" field); attachment names
// become file names that stay inside their folder.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <string>

#include "fanout_client/pkg_define.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "relay_proto/frame.h"
#include "relay_proto/request.h"
#include "relay_proto/utf8.h"
#include "relay_sim/sim_json.h"
#include "relay_sim/sim_save.h"
#include "tests/wire_bytes.h"

namespace {

const uint32_t kMaxFrame = 1u << 20;

std::string Hex(const std::string& sBytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string sHex;
    for (const char c : sBytes) {
        sHex += kDigits[static_cast<uint8_t>(c) >> 4];
        sHex += kDigits[static_cast<uint8_t>(c) & 0x0F];
    }
    return sHex;
}

// Feeds sStream to a frame reader in pieces of at most nPiece bytes, until it stops asking or
// the stream ends, and checks its verdict against the frame rules: never a byte taken past the
// frame's end, and the payload of a whole frame given back unchanged (its first nKeep bytes
// when the reader keeps only those).
void CheckFrameReader(const std::string& sStream, size_t nPiece, size_t nKeep = SIZE_MAX) {
    typedef relay_proto::CFrameReader READER;
    READER oReader(kMaxFrame);
    if (nKeep != SIZE_MAX) {
        oReader.KeepOnly(nKeep);
    }
    READER::STATUS eStatus = READER::FR_MORE;
    size_t nFed = 0;
    while (eStatus == READER::FR_MORE && nFed < sStream.size()) {
        size_t nRoom = 0;
        char* pRoom = oReader.Room(nRoom);
        FUZZ_CHECK(nRoom > 0);
        const size_t nTake = std::min({nRoom, nPiece, sStream.size() - nFed});
        sStream.copy(pRoom, nTake, nFed);
        nFed += nTake;
        eStatus = oReader.Commit(nTake);
    }
    FUZZ_CHECK(oReader.BytesRead() == nFed);
    if (sStream.empty()) {
        FUZZ_CHECK(eStatus == READER::FR_MORE);
        return;
    }
    if (sStream[0] != 0x02) {
        FUZZ_CHECK(eStatus == READER::FR_NOT_FRAME);
        return;
    }
    if (sStream.size() < relay_proto::FRAME_HEAD_SIZE) {
        FUZZ_CHECK(eStatus == READER::FR_MORE);
        return;
    }
    const uint32_t dwSize = wire_bytes::ReadBe32(sStream.data() + 1);
    if (dwSize < relay_proto::FRAME_OVERHEAD || dwSize > kMaxFrame) {
        FUZZ_CHECK(eStatus == READER::FR_NOT_FRAME);
        return;
    }
    if (sStream.size() < dwSize) {
        FUZZ_CHECK(eStatus == READER::FR_MORE && nFed == sStream.size());
        return;
    }
    FUZZ_CHECK(nFed == dwSize);
    if (sStream[dwSize - 1] != 0x03) {
        FUZZ_CHECK(eStatus == READER::FR_BAD_END);
        return;
    }
    FUZZ_CHECK(eStatus == READER::FR_FRAME);
    FUZZ_CHECK(oReader.FrameSize() == dwSize);
    FUZZ_CHECK(oReader.TakePayload() ==
               sStream.substr(relay_proto::FRAME_HEAD_SIZE,
                              std::min<size_t>(nKeep, dwSize - relay_proto::FRAME_OVERHEAD)));
}

// The package the client would build for oReq, written by hand.
std::string Encode(const relay_proto::SRequest& oReq) {
    using wire_bytes::Field;
    std::string sPkg = wire_bytes::Header(oReq.m_cCmd, oReq.m_cPkgType, oReq.m_cClientVersion,
                                          oReq.m_dwTimestamp, oReq.m_dwResult);
    sPkg += Field(oReq.m_sKeyId) + Field(oReq.m_sSender) + Field(oReq.m_sReceivers);
    switch (oReq.m_eChannel) {
        case relay_proto::CH_LUMO:
            return sPkg + Field(oReq.m_sContent) + Field(oReq.m_sImage);
        case relay_proto::CH_MAIL:
            sPkg += Field(oReq.m_sCc) + Field(oReq.m_sTitle) + Field(oReq.m_sContent);
            sPkg += wire_bytes::Be32(static_cast<uint32_t>(oReq.m_vecAttachments.size()));
            for (const relay_proto::SRequest::SAttachment& oAttach : oReq.m_vecAttachments) {
                sPkg += Field(oAttach.m_sName) + Field(oAttach.m_sData);
            }
            return sPkg;
        case relay_proto::CH_SMS:
        case relay_proto::CH_ZEPH:
            break;
    }
    return sPkg + Field(oReq.m_sTitle) + Field(oReq.m_sContent);
}

// The header without its reserved bytes, and the body.
std::string WithoutReserved(const std::string& sPkg) {
    const size_t nReservedAt = sizeof(MSG_PKG_HEAD) - RESERVE_BYTES;
    return sPkg.substr(0, nReservedAt) + sPkg.substr(sizeof(MSG_PKG_HEAD));
}

void CheckText(const nlohmann::json& oParsed, const std::string& sName, const std::string& sText) {
    if (relay_proto::IsValidUtf8(sText)) {
        FUZZ_CHECK(oParsed.at(sName).get<std::string>() == sText);
        FUZZ_CHECK(!oParsed.contains(sName + "_hex"));
    } else {
        FUZZ_CHECK(oParsed.at(sName + "_hex").get<std::string>() == Hex(sText));
    }
}

void CheckJson(const relay_proto::SRequest& oReq) {
    relay_sim::JSON_OBJ oLine;
    relay_sim::AddRequestFields(oReq, oLine);
    const std::string sLine = relay_sim::JsonLine(oLine);
    FUZZ_CHECK(!sLine.empty() && sLine.back() == '\n');
    FUZZ_CHECK(sLine.find('\n') == sLine.size() - 1);
    const nlohmann::json oParsed = nlohmann::json::parse(sLine, nullptr, false);
    FUZZ_CHECK(!oParsed.is_discarded());
    FUZZ_CHECK(oParsed.at("timestamp").get<uint32_t>() == oReq.m_dwTimestamp);
    FUZZ_CHECK(oParsed.at("result").get<uint32_t>() == oReq.m_dwResult);
    CheckText(oParsed, "key_id", oReq.m_sKeyId);
    CheckText(oParsed, "sender", oReq.m_sSender);
    CheckText(oParsed, "receivers", oReq.m_sReceivers);
    CheckText(oParsed, "content", oReq.m_sContent);
    if (oReq.m_eChannel == relay_proto::CH_MAIL) {
        CheckText(oParsed, "cc", oReq.m_sCc);
        const nlohmann::json& oList = oParsed.at("attachments");
        FUZZ_CHECK(oList.size() == oReq.m_vecAttachments.size());
        for (size_t i = 0; i < oList.size(); ++i) {
            CheckText(oList[i], "name", oReq.m_vecAttachments[i].m_sName);
            FUZZ_CHECK(oList[i].at("size").get<size_t>() ==
                       oReq.m_vecAttachments[i].m_sData.size());
        }
    }
}

void CheckSafeFileName(const std::string& sName) {
    const std::string sSafe = relay_sim::SafeFileName(sName);
    FUZZ_CHECK(sSafe.size() <= 255);
    FUZZ_CHECK(sSafe != "." && sSafe != "..");
    for (const char c : sSafe) {
        const uint8_t b = static_cast<uint8_t>(c);
        FUZZ_CHECK(c != '/' && b >= 0x20 && b != 0x7F);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzz::CFuzzInput oInput(pData, nSize);
    const uint8_t cControl = oInput.TakeByte();
    const relay_proto::CHANNEL eChannel = static_cast<relay_proto::CHANNEL>(cControl & 3);
    const std::string sPkg = oInput.TakeRest();

    // The package inside its frame, then the input itself as a stream.
    const size_t nPiece = (cControl >> 2) + 1u;
    if (sPkg.size() + relay_proto::FRAME_OVERHEAD <= kMaxFrame) {
        CheckFrameReader(relay_proto::BuildFrame(sPkg), nPiece);
        CheckFrameReader(relay_proto::BuildFrame(sPkg), nPiece, cControl % 64);
    }
    CheckFrameReader(sPkg, nPiece);
    CheckSafeFileName(sPkg);

    relay_proto::SRequest oReq;
    std::string sErrMsg;
    if (!relay_proto::DecodeRequest(eChannel, sPkg, oReq, sErrMsg)) {
        FUZZ_CHECK(!sErrMsg.empty());
        relay_sim::JSON_OBJ oLine;
        oLine["error"] = sErrMsg;
        FUZZ_CHECK(
            !nlohmann::json::parse(relay_sim::JsonLine(oLine), nullptr, false).is_discarded());
        return 0;
    }
    FUZZ_CHECK(oReq.m_eChannel == eChannel);
    FUZZ_CHECK(WithoutReserved(Encode(oReq)) == WithoutReserved(sPkg));
    CheckJson(oReq);
    for (const relay_proto::SRequest::SAttachment& oAttach : oReq.m_vecAttachments) {
        CheckSafeFileName(oAttach.m_sName);
    }
    return 0;
}
