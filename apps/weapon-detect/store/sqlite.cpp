#include "store/sqlite.h"

#include <cstdio>
#include <stdexcept>

namespace weapon_detect::sqlite {

Database::Database(const std::string& path, bool create) : path_(path) {
    const int flags =
        SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        // A handle is made even when opening fails (unless memory ran out): it holds the reason.
        const std::string reason = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error(path + ": cannot open: " + reason);
    }
    Check(sqlite3_extended_result_codes(db_, 1), "extended result codes");
}

Database::~Database() {
    // Every statement is finalised first (they are the owners' members, destroyed before).
    if (db_ && sqlite3_close(db_) != SQLITE_OK) {
        std::fprintf(stderr, "weapon-detect: %s: cannot close: %s\n", path_.c_str(), sqlite3_errmsg(db_));
    }
}

void Database::Fail(const std::string& what) const {
    throw std::runtime_error(path_ + ": " + what + ": " + sqlite3_errmsg(db_));
}

void Database::Check(int rc, const std::string& what) const {
    if (rc != SQLITE_OK) Fail(what);
}

void Database::Exec(const std::string& sql) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        const std::string reason = message ? message : sqlite3_errstr(rc);
        sqlite3_free(message);
        throw std::runtime_error(path_ + ": " + sql.substr(0, 60) + ": " + reason);
    }
}

void Database::BusyTimeout(std::chrono::milliseconds wait) {
    Check(sqlite3_busy_timeout(db_, static_cast<int>(wait.count())), "busy timeout");
}

long long Database::LastInsertId() const { return sqlite3_last_insert_rowid(db_); }

int Database::Changes() const { return sqlite3_changes(db_); }

Statement::Statement(Database& db, const std::string& sql) : db_(db), sql_(sql) {
    db_.Check(sqlite3_prepare_v3(db_.handle(), sql.c_str(), static_cast<int>(sql.size() + 1), SQLITE_PREPARE_PERSISTENT,
                                 &stmt_, nullptr),
              "cannot prepare \"" + sql.substr(0, 60) + "\"");
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

void Statement::CheckBind(int rc, int index) {
    db_.Check(rc, "cannot bind parameter " + std::to_string(index) + " of \"" + sql_.substr(0, 60) + "\"");
}

Statement& Statement::Bind(int index, long long value) {
    CheckBind(sqlite3_bind_int64(stmt_, index, value), index);
    return *this;
}

Statement& Statement::Bind(int index, double value) {
    CheckBind(sqlite3_bind_double(stmt_, index, value), index);
    return *this;
}

Statement& Statement::Bind(int index, const std::string& value) {
    CheckBind(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT), index);
    return *this;
}

Statement& Statement::Bind(int index, const std::optional<long long>& value) {
    return value ? Bind(index, *value) : BindNull(index);
}

Statement& Statement::Bind(int index, const std::optional<std::string>& value) {
    return value ? Bind(index, *value) : BindNull(index);
}

Statement& Statement::BindNull(int index) {
    CheckBind(sqlite3_bind_null(stmt_, index), index);
    return *this;
}

bool Statement::Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    const std::string reason = sqlite3_errmsg(db_.handle());
    sqlite3_reset(stmt_);  // ready for another try; its code repeats the step's
    throw std::runtime_error(db_.path() + ": \"" + sql_.substr(0, 60) + "\": " + reason);
}

void Statement::Run() {
    while (Step()) {
    }
    Reset();
}

void Statement::Reset() {
    // The step's failure was reported by Step(); a reset only repeats it.
    sqlite3_reset(stmt_);
    db_.Check(sqlite3_clear_bindings(stmt_), "cannot clear the parameters");
}

bool Statement::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

long long Statement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

double Statement::Double(int column) const { return sqlite3_column_double(stmt_, column); }

std::string Statement::Text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    if (!text) return {};
    return std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
}

std::optional<long long> Statement::OptionalInt(int column) const {
    if (IsNull(column)) return std::nullopt;
    return Int(column);
}

std::optional<std::string> Statement::OptionalText(int column) const {
    if (IsNull(column)) return std::nullopt;
    return Text(column);
}

Transaction::Transaction(Database& db) : db_(db) { db_.Exec("BEGIN IMMEDIATE"); }

Transaction::~Transaction() {
    if (done_) return;
    char* message = nullptr;
    if (sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, &message) != SQLITE_OK &&
        sqlite3_get_autocommit(db_.handle()) == 0) {
        std::fprintf(stderr, "weapon-detect: %s: cannot roll back: %s\n", db_.path().c_str(),
                     message ? message : "unknown");
    }
    sqlite3_free(message);
}

void Transaction::Commit() {
    db_.Exec("COMMIT");
    done_ = true;
}

}  // namespace weapon_detect::sqlite
