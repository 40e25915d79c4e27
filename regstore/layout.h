// The store's layout: its tables, and laying them down in a new file.
#pragma once

#include <sqlite3.h>
#include <stdint.h>

namespace regstore {

constexpr int SchemaVersion = 2;
// The header's application id of this program's stores ("QSRG"); stores older than it have none.
constexpr uint32_t ApplicationId = 0x51535247;

// Brings a store of layout 1, which did not count its writes, to the current layout.
extern const char* const UpgradeSql;

// A new store's identity: random, and always stored in eight bytes.
int64_t NewStoreId();

// Lays the layout and the hive's root down in an empty database, inside the caller's
// transaction: the store's identity id, and written as the root's time of last write.
int LayDown(sqlite3* db, int64_t id, int64_t written);

}  // namespace regstore
