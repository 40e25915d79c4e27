// qsbench: how long qsprofile takes and how much memory it needs, measured as the administrator
// meets it, as a separate process on a store of its own.
//
//   qsbench [--runs N] [--profiles N] [--qsprofile PATH]
//   qsbench [--profiles N] --seed FOLDER
//
// Four runs, each N times (default 31) after one unmeasured warm-up, interleaved, each on a
// fresh XDG_CONFIG_HOME in a temporary folder:
//   usage  qsprofile with no arguments: shows the usage text;
//   fresh  qsprofile -m on an empty store, answering the Exchange dialog with a server, a
//          mailbox and "check": the full provisioning run, which creates the store;
//   edit   the same again on the store an unmeasured fresh run left: the run that edits an
//          existing profile;
//   seeded the fresh run on a store that already holds --profiles profiles (default 10,000),
//          copied from a template seeded once through the registry stand-in;
//   read   qsreg query of the one value the Manager role keeps, on the store a fresh run left:
//          the least that any run which opens the store costs, for comparison;
//   floor  this program itself (--floor FILE) on the store a fresh run left: it opens the file
//          through SQLite, writes one value in one transaction and closes, as SQLite is set up
//          for the store; the least any run that writes to the store can cost in this design.
// It prints the medians of wall time and of user+system CPU time, the ratios fresh/floor,
// edit/floor and seeded/fresh, and the peak resident memory of the full runs, each against its
// target, and fresh/usage, edit/usage and read/usage without one. With strace on the machine it
// also runs each kind once more to count the syncs (fsync, fdatasync) it makes. The targets are
// reported, never enforced: the exit status is 0 unless a run fails (a non-zero exit, a signal, or
// a full run after which the Manager role's stored name is not "QuorvaneManager"), 1 then, and 2
// for a bad command line or a broken environment.
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/runner.h"
#include "bench/seed.h"

#ifndef QSPROFILE_PATH
#define QSPROFILE_PATH "qsprofile"
#endif
#ifndef QSREG_PATH
#define QSREG_PATH "qsreg"
#endif

namespace {

const char ManagerKey[] =
    "Software\\Tessivar\\Quorvane Enterprise Server\\Manager\\ExchangeAdaptor";
const char StoredNameValue[] = "MAPIProfile";
const char ManagerDefaultName[] = "QuorvaneManager";
const char DialogAnswers[] = "server1\nmailbox1\ncheck\n";

// Targets: the first run on a fresh store at most 2 times the floor run, a run that edits an
// existing profile at most 1.5 times, a full store at most 1.2 times an empty one, and a peak
// resident set under 8 MiB.
const double FreshOverFloorTarget = 2.0;
const double EditOverFloorTarget = 1.5;
const double SeededOverFreshTarget = 1.2;
const long PeakRssTargetKiB = 8 * 1024;

enum Scenario { Usage, Fresh, Edit, Seeded, Read, Floor, ScenarioCount };
const char* const ScenarioNames[ScenarioCount] = {"usage (no arguments)",   "full, empty store",
                                                  "edit, existing profile", "full, seeded store",
                                                  "read one value (qsreg)", "floor (SQLite alone)"};

struct Samples {
  std::vector<double> wall, cpu;
  std::vector<long> rss;
};

[[noreturn]] void Fail(const std::string& message) {
  fprintf(stderr, "qsbench: %s\n", message.c_str());
  exit(2);
}

std::string MakeTempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/qsbench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp: " + std::string(strerror(errno)));
  return pattern;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

void RemoveTree(const std::string& path) {
  nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void MakeDir(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
    Fail("mkdir " + path + ": " + strerror(errno));
}

void CopyFile(const std::string& from, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) Fail("open " + from + ": " + strerror(errno));
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) Fail("open " + to + ": " + strerror(errno));
  char buffer[1 << 16];
  ssize_t n;
  while ((n = read(in, buffer, sizeof buffer)) > 0)
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out, buffer + done, (size_t)(n - done));
      if (w < 0) Fail("write " + to + ": " + strerror(errno));
      done += w;
    }
  if (n < 0) Fail("read " + from + ": " + strerror(errno));
  close(in);
  // On disk before the run starts: otherwise the run's first sync would write the whole copy
  // and be charged for it.
  if (fsync(out) != 0) Fail("fsync " + to + ": " + strerror(errno));
  if (close(out) != 0) Fail("close " + to + ": " + strerror(errno));
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Now() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

long ParseCount(const char* option, const char* text, long least) {
  char* end = nullptr;
  errno = 0;
  long value = text ? strtol(text, &end, 10) : 0;
  if (!text || *end || errno || value < least || value > 1000000)
    Fail(std::string(option) + " needs a whole number from " + std::to_string(least));
  return value;
}

// The floor run: opens the store file through SQLite, writes one value in one transaction and
// closes, with SQLite set up as the store sets it up.
int WriteOneValue(const char* path) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(db,
                      "PRAGMA journal_size_limit = 0; PRAGMA synchronous = NORMAL; BEGIN IMMEDIATE;"
                      " INSERT OR REPLACE INTO vals(key, name, type, data) VALUES(1, 'floor', 1,"
                      " x'00'); COMMIT",
                      nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) fprintf(stderr, "qsbench --floor: %s\n", sqlite3_errmsg(db));
  sqlite3_close(db);
  return rc == SQLITE_OK ? 0 : 1;
}

// The syncs a run makes, counted by strace; -1 where strace is not there or did not count.
int CountSyncs(const std::vector<std::string>& argv, const std::string& input,
               const std::vector<std::string>& environment) {
  if (access("/usr/bin/strace", X_OK) != 0) return -1;
  std::vector<std::string> traced = {"/usr/bin/strace", "-f", "-c", "-e", "trace=fsync,fdatasync"};
  traced.insert(traced.end(), argv.begin(), argv.end());
  MeasuredRun run = RunMeasured(traced, input, environment);
  if (run.exitCode != 0) return -1;
  // strace's table: "% time  seconds  usecs/call  calls  [errors]  syscall", a line each.
  int syncs = 0;
  for (size_t start = 0, end; start < run.err.size(); start = end + 1) {
    end = run.err.find('\n', start);
    if (end == std::string::npos) end = run.err.size();
    std::string line = run.err.substr(start, end - start);
    size_t last = line.find_last_of(' ');
    std::string name = last == std::string::npos ? "" : line.substr(last + 1);
    long calls = 0;
    if ((name == "fsync" || name == "fdatasync") &&
        sscanf(line.c_str(), "%*f %*f %*d %ld", &calls) == 1)
      syncs += (int)calls;
  }
  return syncs;
}

void PrintHelp() {
  printf(
      "usage: qsbench [--runs N] [--profiles N] [--qsprofile PATH] [--qsreg PATH]\n"
      "  --runs N        measured runs of each kind (default 31)\n"
      "  --profiles N    profiles in the seeded store (default 10000)\n"
      "  --qsprofile P   the program to measure (default %s)\n"
      "  --qsreg P       the qsreg of the read run (default %s)\n",
      QSPROFILE_PATH, QSREG_PATH);
}

}  // namespace

int main(int argc, char** argv) {
  long runs = 31, profiles = 10000;
  std::string program = QSPROFILE_PATH, qsreg = QSREG_PATH;
  std::string seedOnly;
  for (int i = 1; i < argc; i++) {
    std::string option = argv[i];
    if (option == "--runs") {
      runs = ParseCount("--runs", i + 1 < argc ? argv[++i] : nullptr, 1);
    } else if (option == "--profiles") {
      profiles = ParseCount("--profiles", i + 1 < argc ? argv[++i] : nullptr, 0);
    } else if (option == "--seed" && i + 1 < argc) {
      seedOnly = argv[++i];
    } else if (option == "--qsprofile" && i + 1 < argc) {
      program = argv[++i];
    } else if (option == "--qsreg" && i + 1 < argc) {
      qsreg = argv[++i];
    } else if (option == "--floor" && i + 1 < argc) {
      return WriteOneValue(argv[++i]);
    } else if (option == "--help" || option == "-h") {
      PrintHelp();
      return 0;
    } else {
      PrintHelp();
      return 2;
    }
  }
  if (!seedOnly.empty()) {
    if (seedOnly[0] != '/') Fail("--seed needs an absolute folder");
    return SeedProfiles(seedOnly, (int)profiles) ? 0 : 1;
  }
  for (const std::string& tool : {program, qsreg})
    if (access(tool.c_str(), X_OK) != 0) Fail(tool + ": " + strerror(errno));

  std::string work = MakeTempDir();
  std::string templateHome = work + "/template";
  MakeDir(templateHome);
  printf("qsbench: %s\nseeding %ld profiles... ", program.c_str(), profiles);
  fflush(stdout);
  double seedStart = Now();
  if (profiles > 0 && !SeedProfiles(templateHome, (int)profiles)) {
    RemoveTree(work);
    Fail("seeding the template store failed");
  }
  printf("%.1f s\n", Now() - seedStart);

  // The template store's files, to copy into each seeded run. A shared-memory index is not
  // copied: SQLite rebuilds it.
  std::vector<std::string> storeFiles;
  if (profiles > 0) {
    for (const char* file : {"registry.db", "registry.db-wal", "registry.db-journal"})
      if (access((templateHome + "/qsprofile/" + file).c_str(), F_OK) == 0)
        storeFiles.push_back(file);
  }

  Samples samples[ScenarioCount];
  int syncs[ScenarioCount];
  std::fill(syncs, syncs + ScenarioCount, -1);
  char selfPath[4096];
  ssize_t selfLength = readlink("/proc/self/exe", selfPath, sizeof selfPath - 1);
  if (selfLength <= 0) Fail("cannot find this program's own path");
  std::string selfExe(selfPath, (size_t)selfLength);
  bool failed = false;
  std::string runHome = work + "/run";
  for (long iteration = 0; iteration <= runs && !failed; iteration++) {
    // Rotate the order so that no kind always follows the same other kind.
    for (int k = 0; k < ScenarioCount && !failed; k++) {
      Scenario scenario = (Scenario)((k + iteration) % ScenarioCount);
      RemoveTree(runHome);
      MakeDir(runHome);
      MakeDir(runHome + "/config");
      if (scenario == Seeded) {
        MakeDir(runHome + "/config/qsprofile");
        for (const std::string& file : storeFiles)
          CopyFile(templateHome + "/qsprofile/" + file, runHome + "/config/qsprofile/" + file);
      }
      // Start every run with nothing of ours waiting to be written, so that its own syncs write
      // only what it wrote.
      auto settle = [&] {
        int folder = open(runHome.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0 || syncfs(folder) != 0) Fail("syncfs " + runHome + ": " + strerror(errno));
        close(folder);
      };
      std::vector<std::string> full = {program, "-m"};
      std::vector<std::string> args =
          scenario == Usage ? std::vector<std::string>{program}
          : scenario == Read
              ? std::vector<std::string>{qsreg, "query", std::string("HKCU\\") + ManagerKey, "/v",
                                         StoredNameValue}
          : scenario == Floor ? std::vector<std::string>{selfExe, "--floor",
                                                         runHome + "/config/qsprofile/registry.db"}
                              : full;
      std::vector<std::string> environment = {"HOME=" + runHome,
                                              "XDG_CONFIG_HOME=" + runHome + "/config"};
      MeasuredRun run;
      // The edit, read and floor runs follow a fresh run on the same store, and find it as it
      // left it.
      if (scenario == Edit || scenario == Read || scenario == Floor) {
        settle();
        run = RunMeasured(full, DialogAnswers, environment);
      }
      if (run.signal == 0 && run.exitCode == 0) {
        settle();
        std::string input =
            scenario == Usage || scenario == Read || scenario == Floor ? "" : DialogAnswers;
        // The warm-up, which is not measured, counts the syncs.
        if (iteration == 0) {
          syncs[scenario] = CountSyncs(args, input, environment);
          if (syncs[scenario] >= 0) continue;
        }
        run = RunMeasured(args, input, environment);
      }
      std::string problem;
      if (run.signal != 0) {
        problem = "killed by signal " + std::to_string(run.signal);
      } else if (run.exitCode != 0) {
        problem = "exit status " + std::to_string(run.exitCode);
      } else if (scenario != Usage) {
        std::string stored;
        if (!ReadStoredString(runHome + "/config", ManagerKey, StoredNameValue, &stored))
          problem = std::string("the Manager role's ") + StoredNameValue + " " + stored;
        else if (stored != ManagerDefaultName)
          problem = std::string("the Manager role's ") + StoredNameValue + " holds \"" + stored +
                    "\", not \"" + ManagerDefaultName + "\"";
      }
      if (!problem.empty()) {
        fprintf(stderr, "qsbench: run \"%s\" failed: %s\n--- stdout\n%s--- stderr\n%s---\n",
                ScenarioNames[scenario], problem.c_str(), run.out.c_str(), run.err.c_str());
        failed = true;
        break;
      }
      if (iteration == 0) continue;  // the warm-up
      samples[scenario].wall.push_back(run.wallSeconds);
      samples[scenario].cpu.push_back(run.cpuSeconds);
      samples[scenario].rss.push_back(run.maxRssKiB);
    }
  }
  RemoveTree(work);
  if (failed) return 1;

  // A child's ru_maxrss starts from the forking process's resident set, so it is never below
  // this program's own; the figures are upper bounds.
  struct rusage self;
  getrusage(RUSAGE_SELF, &self);

  printf("%ld measured runs of each kind, %ld profiles in the seeded store\n\n", runs, profiles);
  printf("%-24s %14s %14s %16s %6s\n", "run", "wall ms", "cpu ms", "peak RSS KiB", "syncs");
  printf("%-24s %14s %14s %16s\n", "", "(median)", "(median)", "(median / max)");
  double wall[ScenarioCount];
  long maxRss[ScenarioCount];
  for (int s = 0; s < ScenarioCount; s++) {
    wall[s] = Median(samples[s].wall);
    std::vector<double> rss(samples[s].rss.begin(), samples[s].rss.end());
    maxRss[s] = *std::max_element(samples[s].rss.begin(), samples[s].rss.end());
    char rssText[32];
    snprintf(rssText, sizeof rssText, "%.0f / %ld", Median(rss), maxRss[s]);
    char syncText[16] = "?";
    if (syncs[s] >= 0) snprintf(syncText, sizeof syncText, "%d", syncs[s]);
    printf("%-24s %14.2f %14.2f %16s %6s\n", ScenarioNames[s], wall[s] * 1e3,
           Median(samples[s].cpu) * 1e3, rssText, syncText);
  }
  double cpu[ScenarioCount];
  for (int s = 0; s < ScenarioCount; s++) cpu[s] = Median(samples[s].cpu);
  long peak = std::max({maxRss[Fresh], maxRss[Edit], maxRss[Seeded]});
  auto ratio = [&](const char* what, int a, int b, double target) {
    printf("%-16s wall %5.2f (cpu %5.2f)", what, wall[a] / wall[b], cpu[a] / cpu[b]);
    if (target > 0)
      printf("  target <= %.1f: %s", target, wall[a] / wall[b] <= target ? "met" : "MISSED");
    printf("\n");
  };
  printf("\n");
  ratio("full / floor:", Fresh, Floor, FreshOverFloorTarget);
  ratio("edit / floor:", Edit, Floor, EditOverFloorTarget);
  ratio("seeded / empty:", Seeded, Fresh, SeededOverFreshTarget);
  ratio("full / usage:", Fresh, Usage, 0);
  ratio("edit / usage:", Edit, Usage, 0);
  ratio("read / usage:", Read, Usage, 0);
  printf("peak RSS of the full runs: %.2f MiB    target < %ld MiB: %s\n", (double)peak / 1024,
         PeakRssTargetKiB / 1024, peak < PeakRssTargetKiB ? "met" : "MISSED");
  printf("(a child's peak RSS counts from this program's own, %ld KiB, at its fork)\n",
         self.ru_maxrss);
  return 0;
}
