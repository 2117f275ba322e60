// The databases the store tests run against: a fresh, empty store each time, and a way
// to run SQL on it behind the store's back.
#ifndef FANOUT_TESTS_STORE_TEST_BACKENDS_H
#define FANOUT_TESTS_STORE_TEST_BACKENDS_H

#include <memory>
#include <string>
#include <vector>

enum BACKEND { BK_SQLITE, BK_POSTGRES };

class IBackend {
public:
    virtual ~IBackend() = default;
    // False when the database cannot be had here; SkipReason() then says why.
    virtual bool Available() = 0;
    virtual std::string SkipReason() const = 0;
    // The URL (or path) of a store nobody has used yet.
    virtual std::string NewStoreUrl() = 0;
    // Runs sSql on the store at sUrl; a failure fails the test.
    virtual void Exec(const std::string& sUrl, const std::string& sSql) = 0;
};

std::vector<BACKEND> AllBackends();
const char* BackendName(BACKEND eBackend);
std::unique_ptr<IBackend> MakeBackend(BACKEND eBackend);

#endif  // FANOUT_TESTS_STORE_TEST_BACKENDS_H
