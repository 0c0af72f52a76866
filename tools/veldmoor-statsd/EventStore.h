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

class IEventStore {
public:
    virtual ~IEventStore() = default;
    // Creates the table and indexes when missing.
    virtual bool Prepare(std::string& error) = 0;
    virtual bool StoreBatch(const std::vector<ParsedEvent>& events, int64_t receivedAt, const std::string& peer,
                            std::string& error) = 0;
    // Runs a read-only query; every value comes back as text ("" for NULL).
    virtual bool Query(const std::string& sql, Rows& rows, std::string& error) = 0;
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
// The UTC day "YYYY-MM-DD" of a calendar second.
std::string UtcDay(int64_t calendarSeconds);

}  // namespace veldmoor::statsd
