// A SQLite file system over the default one that counts the writes and syncs of one store's
// database file and log, and at the Nth of them kills the process, fails it once with an I/O
// error, or fails it and every later one as a full disk does: the store's own handling of a
// crash or a failing disk, tried at every point.
#pragma once

#include <string>

enum class Fault { None, Kill, IoErrorOnce, DiskFull };

// Becomes SQLite's default file system in this process: store is the database file's real path.
void InstallFaultVfs(const std::string& store, Fault fault, int at);

// The writes and syncs counted so far.
int FaultVfsCount();
