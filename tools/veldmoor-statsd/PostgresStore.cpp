#include <libpq-fe.h>

#include "tools/veldmoor-statsd/EventStore.h"

namespace veldmoor::statsd {
namespace {

class PostgresStore final : public IEventStore {
public:
    explicit PostgresStore(PGconn* connection) : connection_(connection) {}
    ~PostgresStore() override { PQfinish(connection_); }

    bool Prepare(std::string& error) override {
        if (!Command(EventTableSql("id BIGSERIAL PRIMARY KEY"), error) ||
            !Command("CREATE INDEX IF NOT EXISTS events_day_code ON events(day, code)", error) ||
            !Command("CREATE INDEX IF NOT EXISTS events_session ON events(session_id)", error))
            return false;
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
        PGresult* result = PQprepare(connection_, "insert_event", insert.c_str(), static_cast<int>(index), nullptr);
        const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
        if (!ok) error = PQresultErrorMessage(result);
        PQclear(result);
        return ok;
    }

    bool StoreBatch(const std::vector<ParsedEvent>& events, int64_t receivedAt, const std::string& peer,
                    std::string& error) override {
        if (!Reconnected(error) || !Command("BEGIN", error)) return false;
        for (const ParsedEvent& event : events) {
            const std::vector<std::string> values = EventValues(event, receivedAt, peer);
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
                return false;
            }
        }
        return Command("COMMIT", error);
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
    bool Command(const std::string& sql, std::string& error) {
        PGresult* result = PQexec(connection_, sql.c_str());
        const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
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
