// A thin RAII wrapper over SQLite's C interface: a database connection, prepared statements
// and transactions. Every SQLite return code is checked; a failure throws std::runtime_error
// naming the database file and SQLite's own message.
//
// Threads: a Database and its Statements belong to one thread at a time (the caller locks);
// the connection is opened in SQLite's multi-thread mode, with no locking of its own.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace weapon_detect::sqlite {

class Database {
public:
    // Opens (`create`: or makes) the file; ":memory:" is a private in-memory database.
    Database(const std::string& path, bool create);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Runs one or more statements that return no rows.
    void Exec(const std::string& sql);
    // How long a statement waits for a lock held by another connection before it fails.
    void BusyTimeout(std::chrono::milliseconds wait);
    long long LastInsertId() const;
    int Changes() const;

    // A std::runtime_error naming the file, `what` and SQLite's last message.
    [[noreturn]] void Fail(const std::string& what) const;
    void Check(int rc, const std::string& what) const;

    const std::string& path() const { return path_; }
    sqlite3* handle() const { return db_; }

private:
    std::string path_;
    sqlite3* db_ = nullptr;
};

// One prepared statement, made once and reused: Bind, Step (true while a row is there),
// the Column reads of that row, then Reset for the next use.
class Statement {
public:
    Statement(Database& db, const std::string& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Parameters count from 1, as in SQL's ?1.
    Statement& Bind(int index, long long value);
    Statement& Bind(int index, double value);
    Statement& Bind(int index, const std::string& value);
    Statement& Bind(int index, const std::optional<long long>& value);
    Statement& Bind(int index, const std::optional<std::string>& value);
    Statement& BindNull(int index);

    // The next row: true when there is one, false when the statement is done.
    bool Step();
    // Runs a statement that returns no rows, then resets it.
    void Run();
    // Ready for another use, with every parameter unbound.
    void Reset();

    // Columns count from 0.
    bool IsNull(int column) const;
    long long Int(int column) const;
    double Double(int column) const;
    std::string Text(int column) const;
    std::optional<long long> OptionalInt(int column) const;
    std::optional<std::string> OptionalText(int column) const;

private:
    void CheckBind(int rc, int index);

    Database& db_;
    std::string sql_;
    sqlite3_stmt* stmt_ = nullptr;
};

// Begins at once (BEGIN IMMEDIATE: the write lock taken now, not at the first write);
// rolls back in the destructor unless Commit() was called.
class Transaction {
public:
    explicit Transaction(Database& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void Commit();

private:
    Database& db_;
    bool done_ = false;
};

}  // namespace weapon_detect::sqlite
