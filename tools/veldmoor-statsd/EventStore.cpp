#include "tools/veldmoor-statsd/EventStore.h"

#include <openssl/evp.h>

#include <cstdio>

#include "platform/CivilDate.h"

namespace veldmoor::statsd {

bool IsPostgresConnection(const std::string& database) {
    return database.rfind("postgresql://", 0) == 0 || database.rfind("postgres://", 0) == 0 ||
           database.find('=') != std::string::npos;
}

std::unique_ptr<IEventStore> OpenEventStore(const std::string& database, std::string& error) {
    if (IsPostgresConnection(database)) return OpenPostgresStore(database, error);
    const std::string path = database.rfind("sqlite:", 0) == 0 ? database.substr(7) : database;
    return OpenSqliteStore(path, error);
}

const std::vector<std::string>& EventColumns() {
    static const std::vector<std::string> columns = {
        "received_at", "day", "peer", "code", "session_id", "machine_id", "mac", "os", "hardware",
        "format_version", "game_id", "app_version", "game_version", "channel", "server_ip", "http_result",
        "total_time", "in_time", "total_bytes", "in_total_bytes", "average_speed", "progress",
        "http_bytes", "in_http_bytes", "http_speed", "p2p_bytes", "in_p2p_bytes", "p2p_speed",
        "corrupt_piece", "file_name", "url", "error_text"};
    return columns;
}

std::vector<std::string> EventValues(const ParsedEvent& e, int64_t receivedAt, const std::string& peer) {
    const auto n = [](int64_t value) { return std::to_string(value); };
    return {n(receivedAt), UtcDay(receivedAt), peer, e.code, e.sessionId, e.machineId, e.adapterAddresses,
            e.osDescriptor, e.hardwareJson, e.formatVersion, e.gameId, e.appVersion, e.gameVersion, e.channel,
            e.serverAddress, e.httpResult, n(e.totalTime), n(e.inTime), n(e.totalBytes), n(e.inTotalBytes),
            n(e.averageSpeed), e.progress, n(e.httpBytes), n(e.inHttpBytes), n(e.httpSpeed), n(e.peerBytes),
            n(e.inPeerBytes), n(e.peerSpeed), n(e.corruptPiece), e.fileName, e.url, e.errorText};
}

std::string EventTableSql(const std::string& keyColumn) {
    std::string sql = "CREATE TABLE IF NOT EXISTS events (" + keyColumn;
    for (const std::string& column : EventColumns()) {
        const bool number = column == "received_at" || column.find("time") != std::string::npos ||
                            column.find("bytes") != std::string::npos || column.find("speed") != std::string::npos ||
                            column == "corrupt_piece";
        sql += ", " + column + (number ? " BIGINT NOT NULL" : " TEXT NOT NULL");
    }
    return sql + ")";
}

std::vector<std::string> SideTablesSql() {
    return {"CREATE TABLE IF NOT EXISTS batch_digests (digest TEXT PRIMARY KEY, received_at BIGINT NOT NULL)",
            "CREATE INDEX IF NOT EXISTS batch_digests_received ON batch_digests(received_at)",
            "CREATE TABLE IF NOT EXISTS daily_codes (day TEXT NOT NULL, code TEXT NOT NULL, events BIGINT NOT NULL,"
            " machines BIGINT NOT NULL, total_bytes BIGINT NOT NULL, p2p_bytes BIGINT NOT NULL,"
            " average_speed BIGINT NOT NULL, http_speed BIGINT NOT NULL, p2p_speed BIGINT NOT NULL,"
            " PRIMARY KEY (day, code))",
            "CREATE TABLE IF NOT EXISTS daily_failed (day TEXT PRIMARY KEY, machines BIGINT NOT NULL)"};
}

std::string BatchDigest(const std::vector<ParsedEvent>& events) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    for (const ParsedEvent& event : events) {
        for (const std::string& value : EventValues(event, 0, "")) {
            // The length first, so no two different value lists hash alike.
            const std::string length = std::to_string(value.size()) + ":";
            EVP_DigestUpdate(context, length.data(), length.size());
            EVP_DigestUpdate(context, value.data(), value.size());
        }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(context, digest, &size);
    EVP_MD_CTX_free(context);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

std::string UtcDay(int64_t calendarSeconds) {
    const platform::CivilDate date = platform::CivilTimeFromSeconds(calendarSeconds).date;
    char text[32];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u", static_cast<long long>(date.year), date.month, date.day);
    return text;
}

}  // namespace veldmoor::statsd
