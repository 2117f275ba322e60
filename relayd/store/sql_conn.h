// One connection to a SQL database, as the store's shared code sees it: statements with
// numbered parameters ($1, $2, ...), rows of integers and byte strings. SQLite and
// PostgreSQL each implement it; the store's queries are written once above it.
#ifndef RELAYD_STORE_SQL_CONN_H
#define RELAYD_STORE_SQL_CONN_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace relayd {

// A statement parameter. Text and bytes refer to the caller's storage, which must outlive
// the call. Text is readable text (stored as text where the database checks nothing);
// bytes are arbitrary (attachment names and data, hashes).
struct SSqlParam {
    enum KIND { SP_NULL, SP_INT, SP_TEXT, SP_BYTES };
    KIND m_eKind = SP_NULL;
    int64_t m_llValue = 0;
    std::string_view m_svValue;

    static SSqlParam Int(int64_t llValue) { return {SP_INT, llValue, {}}; }
    static SSqlParam Text(std::string_view svValue) { return {SP_TEXT, 0, svValue}; }
    static SSqlParam Bytes(std::string_view svValue) { return {SP_BYTES, 0, svValue}; }
    static SSqlParam Null() { return {}; }
};

// One result value: an integer, or the bytes of a text or binary value.
struct SSqlCell {
    bool m_bNull = true;
    int64_t m_llValue = 0;
    std::string m_sValue;
};
typedef std::vector<SSqlCell> SqlRow;

class ISqlConn {
public:
    virtual ~ISqlConn() = default;

    // Runs one statement. Rows go to pvecRows when given; pddwChanged gets the rows an
    // INSERT, UPDATE or DELETE changed. False with "what failed: why" in sErrMsg.
    virtual bool Exec(const std::string& sSql, const std::vector<SSqlParam>& vecParams,
                      std::vector<SqlRow>* pvecRows, uint64_t* pddwChanged,
                      std::string& sErrMsg) = 0;
    // Runs an INSERT of one row into a table keyed by an integer column `id`, written
    // without a RETURNING clause: llId gets the new row's id, or 0 when the statement
    // inserted nothing (a conflict it was told to ignore).
    virtual bool Insert(const std::string& sSql, const std::vector<SSqlParam>& vecParams,
                        int64_t& llId, std::string& sErrMsg) = 0;
    // Runs several statements without parameters (schema scripts).
    virtual bool ExecScript(const std::string& sSql, std::string& sErrMsg) = 0;
    // True when the last failure was a conflict between transactions (deadlock,
    // serialization) that the same transaction may well survive when run again.
    virtual bool LastFailureRetryable() const = 0;
};

}  // namespace relayd

#endif  // RELAYD_STORE_SQL_CONN_H
