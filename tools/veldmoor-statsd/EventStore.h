#pragma once
// Where received events are kept: SQLite (one file) or PostgreSQL, chosen by
// the database text. A batch is stored whole or not at all.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/veldmoor-statsd/BatchParser.h"

namespace veldmoor::statsd {

using Rows = std::vector<std::vector<std::string>>;

// Where a batch came from and what identifies it.
struct BatchStamp {
    int64_t receivedAt = 0;  // calendar seconds
    std::string peer;        // "a.b.c.d:port"
    std::string digest;      // BatchDigest of its events
};

enum class StoreOutcome {
    kStored,
    kReplayed,  // a batch with the same digest is already stored: nothing was added
    kFailed,
};

class IEventStore {
public:
    virtual ~IEventStore() = default;
    // Creates the tables and indexes when missing.
    virtual bool Prepare(std::string& error) = 0;
    // Stores the events, or nothing when the digest is already recorded; the
    // digest and the events land in one transaction, so collectors sharing
    // one database store a batch once between them.
    virtual StoreOutcome StoreBatch(const std::vector<ParsedEvent>& events, const BatchStamp& stamp,
                                    std::string& error) = 0;
    // Runs a read-only query; every value comes back as text ("" for NULL).
    virtual bool Query(const std::string& sql, Rows& rows, std::string& error) = 0;
    // Runs the statements in one transaction that no other collector on the
    // same database runs at the same time.
    virtual bool RunAlone(const std::vector<std::string>& statements, std::string& error) = 0;
};

// "postgresql://...", "postgres://..." or "key=value ..." texts open PostgreSQL;
// anything else (optionally prefixed "sqlite:") is a SQLite file path.
std::unique_ptr<IEventStore> OpenEventStore(const std::string& database, std::string& error);
bool IsPostgresConnection(const std::string& database);

std::unique_ptr<IEventStore> OpenSqliteStore(const std::string& path, std::string& error);
std::unique_ptr<IEventStore> OpenPostgresStore(const std::string& connection, std::string& error);

// The columns in insert order, and each event's values as texts for them.
const std::vector<std::string>& EventColumns();
std::vector<std::string> EventValues(const ParsedEvent& event, int64_t receivedAt, const std::string& peer);
// "CREATE TABLE ..." with the given key column and big-integer type.
std::string EventTableSql(const std::string& keyColumn);
// The tables beside `events`: the digests of recent batches and the daily
// figures kept when old events are removed.
std::vector<std::string> SideTablesSql();
// A hex SHA-256 over every stored member of the events, in order: the same
// batch sent twice, however it was encoded, has the same digest.
std::string BatchDigest(const std::vector<ParsedEvent>& events);
// The UTC day "YYYY-MM-DD" of a calendar second.
std::string UtcDay(int64_t calendarSeconds);

}  // namespace veldmoor::statsd
