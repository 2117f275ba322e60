// Messages for the relay's store, record and HTTP tests and the page fixture: records as
// intake would store them, with attachment sizes and digests filled in and a package hash
// of their own; and their delivery attempts.
#ifndef FANOUT_TESTS_RELAYD_TEST_MESSAGES_H
#define FANOUT_TESTS_RELAYD_TEST_MESSAGES_H

#include <string>
#include <vector>

#include "relayd/record/message.h"
#include "relayd/store/store.h"

namespace test_support {

// A captured message received now, from "qem_sender" to sReceivers (';'-separated).
relayd::SMessage TestMessage(relay_proto::CHANNEL eChannel, const std::string& sTitle,
                             const std::string& sContent, const std::string& sReceivers = "alice");

void AddAttachment(relayd::SMessage& oMessage, const std::string& sName, const std::string& sData);
void SetImage(relayd::SMessage& oMessage, const std::string& sData);

// Stores oMessage (a fresh package hash each time, so nothing counts as a duplicate) and
// returns its id; 0 when the store failed, with the reason in sErrMsg.
int64_t StoreMessage(relayd::IStore& oStore, relayd::SMessage oMessage, std::string& sErrMsg);

// Records one attempt of message llId (IStore::RecordAttempts with one record).
bool RecordAttempt(relayd::IStore& oStore, int64_t llId, const relayd::SDelivery& oAttempt,
                   relayd::STATUS eStatus, int64_t llNextAttemptMs, std::string& sErrMsg);

// Lower-case hex SHA-256 of sData.
std::string Sha256Hex(const std::string& sData);

// A 1x1 PNG picture.
std::string TinyPng();

}  // namespace test_support

#endif  // FANOUT_TESTS_RELAYD_TEST_MESSAGES_H
