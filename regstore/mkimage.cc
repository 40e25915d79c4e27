// Run by the build: makes a new, empty store with SQLite and writes it out as C++ source, so
// that a first write copies a ready file instead of laying the layout down itself. The store's
// identity and the root's time are marks whose places the source gives, to be filled in.
//   mkimage OUTPUT.inc
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "regstore/layout.h"

namespace {

// Eight-byte values, as the image keeps every identity and every time.
constexpr int64_t IdMark = 0x5153504944454e54;    // "QSPIDENT"
constexpr int64_t TimeMark = 0x0151535054494d45;  // "\1QSPTIME"

int Fail(const std::string& what) {
  fprintf(stderr, "mkimage: %s\n", what.c_str());
  return 1;
}

// The place of the one big-endian copy of mark in image; npos when there is not exactly one.
size_t Find(const std::string& image, int64_t mark) {
  char bytes[8];
  for (int i = 0; i < 8; i++) bytes[i] = (char)((uint64_t)mark >> (56 - 8 * i));
  size_t at = image.find(std::string(bytes, 8));
  if (at == std::string::npos || image.find(std::string(bytes, 8), at + 1) != std::string::npos)
    return std::string::npos;
  return at;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return Fail("usage: mkimage OUTPUT.inc");
  std::string output = argv[1], store = output + ".db";
  unlink(store.c_str());
  // In write-ahead-log mode, entered under exclusive locking so that no index file is made; the
  // close copies the log into the file.
  sqlite3* db = nullptr;
  int rc = sqlite3_open(store.c_str(), &db);
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(db, "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; BEGIN", nullptr,
                      nullptr, nullptr);
  if (rc == SQLITE_OK) rc = regstore::LayDown(db, IdMark, TimeMark);
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(db, "COMMIT; PRAGMA locking_mode = EXCLUSIVE; PRAGMA journal_mode = WAL",
                      nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return Fail(store + ": " + sqlite3_errmsg(db));
  if (sqlite3_close(db) != SQLITE_OK) return Fail(store + ": cannot close");

  std::string image;
  FILE* in = fopen(store.c_str(), "rb");
  if (!in) return Fail(store + ": " + strerror(errno));
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, in)) > 0;) image.append(buffer, n);
  fclose(in);
  unlink(store.c_str());
  size_t idAt = Find(image, IdMark), timeAt = Find(image, TimeMark);
  if (idAt == std::string::npos || timeAt == std::string::npos)
    return Fail("the marks are not each found once in the image");

  std::string text = "// Made by mkimage at build time: the image of a new, empty store.\n";
  text += "constexpr size_t StoreImageIdAt = " + std::to_string(idAt) + ";\n";
  text += "constexpr size_t StoreImageTimeAt = " + std::to_string(timeAt) + ";\n";
  text += "constexpr unsigned char StoreImage[" + std::to_string(image.size()) + "] = {";
  for (size_t i = 0; i < image.size(); i++) {
    if (i % 24 == 0) text += "\n";
    text += std::to_string((unsigned char)image[i]) + ",";
  }
  text += "\n};\n";
  std::string temporary = output + ".tmp";
  FILE* out = fopen(temporary.c_str(), "wb");
  if (!out || fwrite(text.data(), 1, text.size(), out) != text.size() || fclose(out) != 0)
    return Fail(temporary + ": cannot write");
  if (rename(temporary.c_str(), output.c_str()) != 0) return Fail(output + ": cannot write");
  return 0;
}
