// The store's layout, and its laying down.
#include "regstore/layout.h"

#include <sys/random.h>
#include <time.h>

namespace regstore {

// The tables and a new store's rows: its identity, and the hive's root with its time of last
// write. sqlite3_mprintf fills them in, with the layout's version and the application id.
constexpr char LayoutSql[] =
    "CREATE TABLE keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  written INTEGER NOT NULL,"
    "  UNIQUE(parent, name));"
    "CREATE TABLE vals("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, name));"
    // Values enumerate in the order they were created: this index is ordered by (key, rowid).
    "CREATE INDEX vals_order ON vals(key);"
    // Tells this store from any other, so that a handle never outlives the file it was opened
    // in, even when a new file takes the old one's place (and maybe its inode number). Every
    // write transaction counts itself in writes, so that each commit in the log carries the
    // store's identity, by which the log is known as the store's own.
    "CREATE TABLE store(id INTEGER NOT NULL, writes INTEGER NOT NULL DEFAULT 0);"
    "INSERT INTO store(id) VALUES(%lld);"
    "INSERT INTO keys(id, parent, name, written) VALUES(1, NULL, '', %lld);"
    "PRAGMA user_version = %d;"
    "PRAGMA application_id = %d;";

const char* const UpgradeSql =
    "ALTER TABLE store ADD COLUMN writes INTEGER NOT NULL DEFAULT 0; PRAGMA user_version = 2;";

int64_t NewStoreId() {
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, 0) != (ssize_t)sizeof bits) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    bits = (uint64_t)now.tv_nsec * 0x9E3779B97F4A7C15u ^ (uint64_t)now.tv_sec;
  }
  // Positive, and never 0, which stands for no store.
  return (int64_t)((bits & ~(uint64_t{1} << 63)) | 1);
}

int LayDown(sqlite3* db, int64_t id, int64_t written) {
  char* sql = sqlite3_mprintf(LayoutSql, (long long)id, (long long)written, SchemaVersion,
                              (int)ApplicationId);
  int rc = sql ? sqlite3_exec(db, sql, nullptr, nullptr, nullptr) : SQLITE_NOMEM;
  sqlite3_free(sql);
  return rc;
}

}  // namespace regstore
