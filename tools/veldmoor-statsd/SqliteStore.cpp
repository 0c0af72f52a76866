#include <sqlite3.h>

#include "tools/veldmoor-statsd/EventStore.h"

namespace veldmoor::statsd {
namespace {

class SqliteStore final : public IEventStore {
public:
    explicit SqliteStore(sqlite3* database) : database_(database) {}
    ~SqliteStore() override {
        sqlite3_finalize(insert_);
        sqlite3_finalize(insertDigest_);
        sqlite3_close(database_);
    }

    bool Prepare(std::string& error) override {
        const std::string sql = "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; " +
                                EventTableSql("id INTEGER PRIMARY KEY AUTOINCREMENT") +
                                "; CREATE INDEX IF NOT EXISTS events_day_code ON events(day, code);"
                                " CREATE INDEX IF NOT EXISTS events_session ON events(session_id);";
        if (!Execute(sql, error)) return false;
        for (const std::string& statement : SideTablesSql())
            if (!Execute(statement, error)) return false;
        std::string insert = "INSERT INTO events (";
        std::string values;
        for (const std::string& column : EventColumns()) {
            insert += (values.empty() ? "" : ", ") + column;
            values += values.empty() ? "?" : ", ?";
        }
        insert += ") VALUES (" + values + ")";
        if (sqlite3_prepare_v2(database_, insert.c_str(), -1, &insert_, nullptr) != SQLITE_OK) return Fail(error);
        const char* insertDigest = "INSERT OR IGNORE INTO batch_digests (digest, received_at) VALUES (?, ?)";
        if (sqlite3_prepare_v2(database_, insertDigest, -1, &insertDigest_, nullptr) != SQLITE_OK) return Fail(error);
        return true;
    }

    StoreOutcome StoreBatch(const std::vector<ParsedEvent>& events, const BatchStamp& stamp, std::string& error) override {
        if (!Execute("BEGIN IMMEDIATE", error)) return StoreOutcome::kFailed;
        sqlite3_reset(insertDigest_);
        sqlite3_bind_text(insertDigest_, 1, stamp.digest.data(), static_cast<int>(stamp.digest.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(insertDigest_, 2, stamp.receivedAt);
        const bool digestStepped = sqlite3_step(insertDigest_) == SQLITE_DONE;
        sqlite3_reset(insertDigest_);
        if (!digestStepped || sqlite3_changes(database_) == 0) {
            if (!digestStepped) Fail(error);
            std::string ignored;
            Execute("ROLLBACK", ignored);
            return digestStepped ? StoreOutcome::kReplayed : StoreOutcome::kFailed;
        }
        for (const ParsedEvent& event : events) {
            const std::vector<std::string> values = EventValues(event, stamp.receivedAt, stamp.peer);
            sqlite3_reset(insert_);
            for (size_t i = 0; i < values.size(); ++i)
                sqlite3_bind_text(insert_, static_cast<int>(i + 1), values[i].data(), static_cast<int>(values[i].size()),
                                  SQLITE_TRANSIENT);
            if (sqlite3_step(insert_) != SQLITE_DONE) {
                Fail(error);
                sqlite3_reset(insert_);
                std::string ignored;
                Execute("ROLLBACK", ignored);
                return StoreOutcome::kFailed;
            }
        }
        sqlite3_reset(insert_);
        if (!Execute("COMMIT", error)) {
            std::string ignored;
            Execute("ROLLBACK", ignored);
            return StoreOutcome::kFailed;
        }
        return StoreOutcome::kStored;
    }

    // One file has one writer at a time already: the transaction is enough.
    bool RunAlone(const std::vector<std::string>& statements, std::string& error) override {
        if (!Execute("BEGIN IMMEDIATE", error)) return false;
        for (const std::string& statement : statements) {
            if (!Execute(statement, error)) {
                std::string ignored;
                Execute("ROLLBACK", ignored);
                return false;
            }
        }
        if (Execute("COMMIT", error)) return true;
        std::string ignored;
        Execute("ROLLBACK", ignored);
        return false;
    }

    bool Query(const std::string& sql, Rows& rows, std::string& error) override {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(database_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return Fail(error);
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int column = 0; column < sqlite3_column_count(statement); ++column) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
                row.emplace_back(text ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement, column))) : "");
            }
            rows.push_back(std::move(row));
        }
        sqlite3_finalize(statement);
        if (step != SQLITE_DONE) return Fail(error);
        return true;
    }

private:
    bool Execute(const std::string& sql, std::string& error) {
        char* message = nullptr;
        if (sqlite3_exec(database_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
        error = message ? message : "unknown SQLite error";
        sqlite3_free(message);
        return false;
    }

    bool Fail(std::string& error) {
        error = sqlite3_errmsg(database_);
        return false;
    }

    sqlite3* database_;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* insertDigest_ = nullptr;
};

}  // namespace

std::unique_ptr<IEventStore> OpenSqliteStore(const std::string& path, std::string& error) {
    sqlite3* database = nullptr;
    if (sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        error = database ? sqlite3_errmsg(database) : "cannot open " + path;
        sqlite3_close(database);
        return nullptr;
    }
    sqlite3_busy_timeout(database, 5000);
    return std::make_unique<SqliteStore>(database);
}

}  // namespace veldmoor::statsd
