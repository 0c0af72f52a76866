#include <libpq-fe.h>

#include "tools/veldmoor-statsd/EventStore.h"

namespace veldmoor::statsd {
namespace {

// Collectors sharing one database take this advisory lock around schema
// changes and clean-ups, so they never run them side by side.
constexpr const char* kTakeCollectorsLock = "SELECT pg_advisory_xact_lock(7256117310)";

class PostgresStore final : public IEventStore {
public:
    explicit PostgresStore(PGconn* connection) : connection_(connection) {}
    ~PostgresStore() override { PQfinish(connection_); }

    bool Prepare(std::string& error) override {
        // Two collectors starting at once would race on CREATE ... IF NOT EXISTS.
        std::vector<std::string> schema = {EventTableSql("id BIGSERIAL PRIMARY KEY"),
                                           "CREATE INDEX IF NOT EXISTS events_day_code ON events(day, code)",
                                           "CREATE INDEX IF NOT EXISTS events_session ON events(session_id)"};
        for (std::string& statement : SideTablesSql()) schema.push_back(std::move(statement));
        if (!RunAlone(schema, error)) return false;
        std::string insert = "INSERT INTO events (";
        std::string values;
        size_t index = 0;
        for (const std::string& column : EventColumns()) {
            const std::string separator = index == 0 ? "" : ", ";
            ++index;
            insert += separator + column;
            values += separator + "$" + std::to_string(index);
        }
        insert += ") VALUES (" + values + ")";
        return PrepareStatement("insert_event", insert, static_cast<int>(index), error) &&
               PrepareStatement("insert_digest",
                                "INSERT INTO batch_digests (digest, received_at) VALUES ($1, $2) ON CONFLICT DO NOTHING",
                                2, error);
    }

    StoreOutcome StoreBatch(const std::vector<ParsedEvent>& events, const BatchStamp& stamp, std::string& error) override {
        if (!Reconnected(error) || !Command("BEGIN", error)) return StoreOutcome::kFailed;
        // A second collector inserting the same digest waits here for our
        // commit, then finds the row and stores nothing.
        const std::string receivedAt = std::to_string(stamp.receivedAt);
        const char* digestValues[] = {stamp.digest.c_str(), receivedAt.c_str()};
        PGresult* digest = PQexecPrepared(connection_, "insert_digest", 2, digestValues, nullptr, nullptr, 0);
        const bool digestOk = PQresultStatus(digest) == PGRES_COMMAND_OK;
        const bool replayed = digestOk && std::string(PQcmdTuples(digest)) == "0";
        if (!digestOk) error = PQresultErrorMessage(digest);
        PQclear(digest);
        if (!digestOk || replayed) {
            std::string ignored;
            Command("ROLLBACK", ignored);
            return replayed ? StoreOutcome::kReplayed : StoreOutcome::kFailed;
        }
        for (const ParsedEvent& event : events) {
            const std::vector<std::string> values = EventValues(event, stamp.receivedAt, stamp.peer);
            std::vector<const char*> pointers;
            std::vector<int> lengths;
            for (const std::string& value : values) {
                pointers.push_back(value.c_str());
                lengths.push_back(static_cast<int>(value.size()));
            }
            PGresult* result = PQexecPrepared(connection_, "insert_event", static_cast<int>(values.size()), pointers.data(),
                                              lengths.data(), nullptr, 0);
            const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
            if (!ok) error = PQresultErrorMessage(result);
            PQclear(result);
            if (!ok) {
                std::string ignored;
                Command("ROLLBACK", ignored);
                return StoreOutcome::kFailed;
            }
        }
        return Command("COMMIT", error) ? StoreOutcome::kStored : StoreOutcome::kFailed;
    }

    bool RunAlone(const std::vector<std::string>& statements, std::string& error) override {
        if (!Command("BEGIN", error)) return false;
        bool ok = Command(kTakeCollectorsLock, error);
        for (size_t i = 0; ok && i < statements.size(); ++i) ok = Command(statements[i], error);
        if (ok && Command("COMMIT", error)) return true;
        std::string ignored;
        Command("ROLLBACK", ignored);
        return false;
    }

    bool Query(const std::string& sql, Rows& rows, std::string& error) override {
        PGresult* result = PQexec(connection_, sql.c_str());
        const bool ok = PQresultStatus(result) == PGRES_TUPLES_OK;
        if (!ok) {
            error = PQresultErrorMessage(result);
        } else {
            for (int row = 0; row < PQntuples(result); ++row) {
                std::vector<std::string> values;
                for (int column = 0; column < PQnfields(result); ++column)
                    values.emplace_back(PQgetvalue(result, row, column), static_cast<size_t>(PQgetlength(result, row, column)));
                rows.push_back(std::move(values));
            }
        }
        PQclear(result);
        return ok;
    }

private:
    bool PrepareStatement(const char* name, const std::string& sql, int parameters, std::string& error) {
        PGresult* result = PQprepare(connection_, name, sql.c_str(), parameters, nullptr);
        const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
        if (!ok) error = PQresultErrorMessage(result);
        PQclear(result);
        return ok;
    }

    bool Command(const std::string& sql, std::string& error) {
        PGresult* result = PQexec(connection_, sql.c_str());
        const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK || PQresultStatus(result) == PGRES_TUPLES_OK;
        if (!ok) error = PQresultErrorMessage(result);
        PQclear(result);
        return ok;
    }

    // A server restart breaks the connection; the next batch opens it again.
    bool Reconnected(std::string& error) {
        if (PQstatus(connection_) == CONNECTION_OK) return true;
        PQreset(connection_);
        if (PQstatus(connection_) != CONNECTION_OK) {
            error = PQerrorMessage(connection_);
            return false;
        }
        return Prepare(error);
    }

    PGconn* connection_;
};

}  // namespace

std::unique_ptr<IEventStore> OpenPostgresStore(const std::string& connection, std::string& error) {
    PGconn* handle = PQconnectdb(connection.c_str());
    if (!handle || PQstatus(handle) != CONNECTION_OK) {
        error = handle ? PQerrorMessage(handle) : "cannot reach PostgreSQL";
        PQfinish(handle);
        return nullptr;
    }
    return std::make_unique<PostgresStore>(handle);
}

}  // namespace veldmoor::statsd
