#include "bench/seed.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/registry.h"
#include "regstore/batch.h"

static const char ProfileStore[] =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles\\";

// The global profile section's UID, and a service section UID that differs per profile; both
// as the subsystem names section keys, in lower-case hex.
static const char GlobalSection[] = "13dbb0c8aa05101a9bb000aa002fc45a";

static void ServiceUid(int index, unsigned char uid[16]) {
  static const unsigned char base[16] = {0x5a, 0x1c, 0x93, 0x07, 0x2e, 0x4b, 0x11, 0xd1,
                                         0x80, 0x3c, 0x00, 0xc0, 0x4f, 0x00, 0x00, 0x00};
  memcpy(uid, base, 16);
  uid[12] = (unsigned char)(index >> 24);
  uid[13] = (unsigned char)(index >> 16);
  uid[14] = (unsigned char)(index >> 8);
  uid[15] = (unsigned char)index;
}

static std::string Hex(const unsigned char* bytes, size_t size) {
  std::string text;
  for (size_t i = 0; i < size; i++) {
    char pair[3];
    snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
  }
  return text;
}

// Fails the seeding child with the call that went wrong.
static void Check(LONG result, const char* call, const std::string& where) {
  if (result == ERROR_SUCCESS) return;
  fprintf(stderr, "qsbench: seeding: %s on %s failed with error %ld\n", call, where.c_str(),
          (long)result);
  _exit(1);
}

static void SetString(HKEY key, const char* name, const std::string& text,
                      const std::string& where) {
  Check(RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text.c_str(), (DWORD)text.size() + 1),
        "RegSetValueExA", where + "\\" + name);
}

static HKEY CreateKey(HKEY parent, const std::string& path, const std::string& where) {
  HKEY key = nullptr;
  Check(RegCreateKeyExA(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr),
        "RegCreateKeyExA", where);
  return key;
}

static void SeedOne(int index) {
  char name[32];
  snprintf(name, sizeof name, "Seeded Profile %05d", index);
  char server[32];
  snprintf(server, sizeof server, "server%05d", index);
  std::string path = std::string(ProfileStore) + name;

  HKEY profile = CreateKey(HKEY_CURRENT_USER, path, path);
  unsigned char uid[16];
  ServiceUid(index, uid);
  SetString(profile, "ProfileName", name, path);
  Check(RegSetValueExA(profile, "Services", 0, REG_BINARY, uid, sizeof uid), "RegSetValueExA",
        path + "\\Services");

  HKEY global = CreateKey(profile, GlobalSection, path);
  SetString(global, "6602001e", server, path);
  SetString(global, "6607001e", std::string("mailbox") + (server + 6), path);
  SetString(global, "6612001e",
            std::string("/o=Tessivar/ou=Site/cn=Configuration/cn=Servers/cn=") + server, path);
  SetString(global, "6603001e",
            std::string("/o=Tessivar/ou=Site/cn=Recipients/cn=mailbox") + (server + 6), path);
  RegCloseKey(global);

  HKEY service = CreateKey(profile, Hex(uid, sizeof uid), path);
  SetString(service, "3d09001e", "MSEMS", path);
  SetString(service, "3001001e", "Exchange Server", path);
  Check(RegSetValueExA(service, "3d0c0102", 0, REG_BINARY, uid, sizeof uid), "RegSetValueExA",
        path + "\\3d0c0102");
  DWORD flags = 0;
  Check(RegSetValueExA(service, "30090003", 0, REG_DWORD, (const BYTE*)&flags, sizeof flags),
        "RegSetValueExA", path + "\\30090003");
  RegCloseKey(service);
  RegCloseKey(profile);
}

// Runs work in a child process with XDG_CONFIG_HOME set to configHome; returns its exit code.
template <typename Work>
static int InChild(const std::string& configHome, Work work) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    fprintf(stderr, "qsbench: fork: %s\n", strerror(errno));
    return -1;
  }
  if (pid == 0) {
    setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
    int code = work();
    fflush(nullptr);
    _exit(code);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool SeedProfiles(const std::string& configHome, int count) {
  return InChild(configHome, [&configHome, count]() -> int {
           // A thousand profiles to a transaction: the store ends up as separate runs would
           // leave it, in a fraction of the time a transaction per call takes.
           for (int first = 1; first <= count; first += 1000) {
             Check(RegBeginBatch(true), "RegBeginBatch", configHome);
             for (int i = first; i <= count && i < first + 1000; i++) SeedOne(i);
             Check(RegEndBatch(true), "RegEndBatch", configHome);
           }
           // End as a program ends: its long log is copied into the database file, as after
           // any run that wrote much.
           exit(0);
         }) == 0;
}

bool ReadStoredString(const std::string& configHome, const char* path, const char* name,
                      std::string* value) {
  int channel[2];
  if (pipe(channel) != 0) {
    *value = std::string("pipe: ") + strerror(errno);
    return false;
  }
  int code = InChild(configHome, [&] {
    close(channel[0]);
    HKEY key = nullptr;
    char data[1024];
    DWORD type = REG_NONE, size = sizeof data;
    LONG result = RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key);
    std::string answer;
    if (result == ERROR_SUCCESS) {
      result = RegQueryValueExA(key, name, nullptr, &type, (LPBYTE)data, &size);
      RegCloseKey(key);
    }
    if (result != ERROR_SUCCESS) {
      answer = "cannot be read: error " + std::to_string(result);
    } else if (type != REG_SZ) {
      answer = "is not a REG_SZ but of type " + std::to_string(type);
    } else {
      answer.assign(data, strnlen(data, size));
    }
    (void)!write(channel[1], answer.data(), answer.size());
    close(channel[1]);
    return result == ERROR_SUCCESS && type == REG_SZ ? 0 : 1;
  });
  close(channel[1]);
  value->clear();
  char buffer[1024];
  ssize_t n;
  while ((n = read(channel[0], buffer, sizeof buffer)) > 0) value->append(buffer, (size_t)n);
  close(channel[0]);
  return code == 0;
}
