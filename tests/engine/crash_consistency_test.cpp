// Crash consistency of commits: a writer killed at any point of its append and flush cycles, torn
// and damaged header slots, and a commit generation that cannot grow. After each, the file opens
// in both modes, holds exactly the molecules of the last completed commit and accepts appends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>
#include <elf.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/atom.hpp"
#include "engine/storage/database.hpp"
#include "tests/engine/handmade_file.hpp"

namespace molarium::storage {
namespace {

using molarium::testing::FileBytes;
using molarium::testing::get;
using molarium::testing::handmade_slot;
using molarium::testing::read_file;
using molarium::testing::reference_adler32;
using molarium::testing::put;
using molarium::testing::SlotFields;
using molarium::testing::TempDir;
using molarium::testing::write_file;

constexpr std::size_t kSlotB = 4096;
constexpr std::size_t kDataStart = 8192;
constexpr int kMoleculesPerCycle = 3;

// Molecule `item` of cycle `cycle`: its atom count, coordinates and properties depend on both,
// so a record from another cycle or position never compares equal.
atom::Molecule cycle_molecule(int cycle, int item) {
  const int atoms = 1 + (cycle + item) % 4;
  std::vector<types::Vec3F32> positions;
  std::vector<std::uint8_t> numbers;
  for (int a = 0; a < atoms; ++a) {
    positions.push_back({static_cast<float>(cycle), static_cast<float>(item), static_cast<float>(a) * 0.5f});
    numbers.push_back(static_cast<std::uint8_t>(1 + (cycle * 7 + item + a) % 90));
  }
  atom::Molecule m = *atom::Molecule::create(std::move(positions), std::move(numbers));
  m.energy = types::FloatScalarData(-1.0 * cycle - 0.125 * item);
  m.properties["cycle"] = types::PropertyValue(std::in_place_index<types::property_index::kI64>, std::int64_t{cycle});
  return m;
}

Result<void> append_cycle(AtomDatabase& db, int cycle) {
  std::vector<atom::Molecule> batch;
  for (int item = 0; item < kMoleculesPerCycle; ++item) batch.push_back(cycle_molecule(cycle, item));
  std::vector<const atom::Molecule*> pointers;
  for (const auto& m : batch) pointers.push_back(&m);
  return db.add_molecules(pointers);
}

// The writer: append and commit cycle after cycle on a file created empty beforehand, storing
// the number of completed commits where the parent can read it after a kill. Returns an exit code.
int run_writer(const std::string& path, int cycles, std::atomic<int>* completed) {
  auto db = AtomDatabase::open_with_options(path, false, false);
  if (!db) return 10;
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    if (!append_cycle(*db, cycle)) return 11;
    if (!db->flush()) return 12;
    completed->store(cycle);
  }
  return 0;
}

// A counter shared with a forked writer, in memory that survives its death.
class SharedCounter {
 public:
  SharedCounter() {
    void* memory = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) std::abort();
    counter_ = new (memory) std::atomic<int>(0);
  }
  ~SharedCounter() { munmap(counter_, sizeof(std::atomic<int>)); }
  std::atomic<int>* get() const { return counter_; }

 private:
  std::atomic<int>* counter_;
};

// The uninterrupted run every killed run is compared with: its final bytes, and per commit g its
// committed end and the records committed so far.
struct Reference {
  FileBytes bytes;
  std::vector<std::uint64_t> committed_end;  // [g], g = 0 .. cycles
  std::vector<Bytes> records;                // every record of the full run, in order
};

Reference make_reference(const std::string& path, int cycles, compression::CompressionType codec) {
  Reference ref;
  auto db = AtomDatabase::create_with_format(path, codec);
  EXPECT_TRUE(db.has_value());
  ref.committed_end.push_back(db->committed_end());
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    EXPECT_TRUE(append_cycle(*db, cycle).has_value());
    EXPECT_TRUE(db->flush().has_value());
    ref.committed_end.push_back(db->committed_end());
  }
  std::vector<std::size_t> all(db->len());
  std::iota(all.begin(), all.end(), std::size_t{0});
  ref.records = *db->get_raw_bytes(all);
  ref.bytes = read_file(path);
  return ref;
}

// Checks a file left by a killed writer that had completed `reported` commits. The file must hold
// commit `reported` or, when the kill came after a header write but before the writer noted it,
// the next one; exactly its molecules, byte for byte; and it must take a further commit.
// Returns the generation found.
std::uint64_t check_survivor(const std::string& path, const Reference& ref, int reported, int cycles,
                             const std::string& context) {
  SCOPED_TRACE(context);
  auto db = AtomDatabase::open_with_options(path, false, false);
  EXPECT_TRUE(db.has_value()) << (db ? "" : db.error().display());
  if (!db) return 0;
  const std::uint64_t g = db->generation();
  EXPECT_GE(g, static_cast<std::uint64_t>(reported)) << "a completed commit was lost";
  EXPECT_LE(g, static_cast<std::uint64_t>(std::min(reported + 1, cycles)));
  if (g > static_cast<std::uint64_t>(cycles)) return g;
  const std::size_t expected_count = g * kMoleculesPerCycle;
  EXPECT_EQ(db->len(), expected_count);

  // Every committed byte equals the reference run's bytes of that commit.
  const FileBytes bytes = read_file(path);
  const std::uint64_t end = ref.committed_end[g];
  EXPECT_GE(bytes.size(), end);
  if (bytes.size() >= end) {
    EXPECT_TRUE(std::equal(bytes.begin() + kDataStart, bytes.begin() + static_cast<std::ptrdiff_t>(end),
                           ref.bytes.begin() + kDataStart));
  }
  std::vector<std::size_t> all(expected_count);
  std::iota(all.begin(), all.end(), std::size_t{0});
  for (bool mapped : {false, true}) {
    auto reader = AtomDatabase::open_with_options(path, mapped, false);
    EXPECT_TRUE(reader.has_value());
    if (!reader) continue;
    EXPECT_EQ(reader->len(), expected_count);
    auto records = reader->get_raw_bytes(all);
    EXPECT_TRUE(records.has_value());
    if (!records) continue;
    for (std::size_t i = 0; i < records->size(); ++i) EXPECT_EQ((*records)[i], ref.records[i]) << "record " << i;
  }

  // New appends land after the last commit; any uncommitted tail is cut away.
  EXPECT_TRUE(append_cycle(*db, 1000).has_value());
  EXPECT_TRUE(db->flush().has_value());
  auto reopened = AtomDatabase::open_with_options(path, true, false);
  EXPECT_TRUE(reopened.has_value());
  if (reopened) {
    EXPECT_EQ(reopened->len(), expected_count + kMoleculesPerCycle);
    EXPECT_EQ(reopened->generation(), g + 1);
    auto records = reopened->get_raw_bytes(all);
    EXPECT_TRUE(records.has_value() && std::equal(records->begin(), records->end(), ref.records.begin()));
  }
  return g;
}

// ---------------------------------------------------------------------------------------------
// Kills at every file operation of the writer, found by tracing its system calls.
// ---------------------------------------------------------------------------------------------

#if defined(__x86_64__) || defined(__aarch64__)
constexpr bool kCanTraceSyscalls = true;
long syscall_number(pid_t pid) {
#if defined(__x86_64__)
  user_regs_struct regs{};
  if (ptrace(PTRACE_GETREGS, pid, nullptr, &regs) != 0) return -1;
  return static_cast<long>(regs.orig_rax);
#else
  user_regs_struct regs{};
  iovec io{&regs, sizeof regs};
  if (ptrace(PTRACE_GETREGSET, pid, reinterpret_cast<void*>(NT_PRSTATUS), &io) != 0) return -1;
  return static_cast<long>(regs.regs[8]);
#endif
}
#else
constexpr bool kCanTraceSyscalls = false;
long syscall_number(pid_t) { return -1; }
#endif

// The calls through which a commit or an append reaches the file.
bool touches_file(long number) {
  switch (number) {
    case SYS_openat:
    case SYS_close:
    case SYS_lseek:
    case SYS_write:
    case SYS_pwrite64:
    case SYS_fsync:
    case SYS_fdatasync:
    case SYS_ftruncate:
      return true;
    default:
      return false;
  }
}

struct TracedRun {
  bool traced = false;     // false when the platform refuses tracing
  int points = 0;          // stops at entry to and exit from the writer's file calls
  bool killed = false;
  int exit_code = -1;
};

// Runs the writer in a traced child. Every entry to and exit from one of its file calls is a
// point; at point `kill_at` (counted from 0) the child is killed with SIGKILL. Only the writer's
// own thread is traced; the worker pool's threads run freely.
TracedRun traced_writer(const std::string& path, int cycles, std::atomic<int>* completed, int kill_at) {
  TracedRun run;
  const pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    alarm(60);
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(120);
    raise(SIGSTOP);
    _exit(run_writer(path, cycles, completed));
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return run;
  }
  if (ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL)) !=
      0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return run;
  }
  run.traced = true;
  int pass_signal = 0;
  for (;;) {
    if (ptrace(PTRACE_SYSCALL, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(pass_signal))) != 0) break;
    pass_signal = 0;
    if (waitpid(pid, &status, 0) != pid) break;
    if (WIFEXITED(status)) {
      run.exit_code = WEXITSTATUS(status);
      return run;
    }
    if (WIFSIGNALED(status)) return run;
    if (!WIFSTOPPED(status)) continue;
    if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
      pass_signal = WSTOPSIG(status);  // a signal for the child itself
      continue;
    }
    if (!touches_file(syscall_number(pid))) continue;
    if (run.points++ == kill_at) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      run.killed = true;
      return run;
    }
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return run;
}

TEST(CrashConsistency, KilledAtEveryFileOperationOfAppendAndFlushKeepsTheLastCommit) {
  if (!kCanTraceSyscalls) GTEST_SKIP() << "system call tracing is set up for x86-64 and AArch64 only";
  constexpr int kCycles = 3;
  TempDir dir;
  const Reference ref = make_reference(dir.path("reference"), kCycles, compression::CompressionType::zstd(3));
  const std::string empty = dir.path("empty");
  ASSERT_TRUE(AtomDatabase::create_with_format(empty, compression::CompressionType::zstd(3)).has_value());
  const FileBytes empty_bytes = read_file(empty);

  // A full traced run counts the points.
  SharedCounter completed;
  const std::string path = dir.path("victim");
  write_file(path, empty_bytes);
  const TracedRun full = traced_writer(path, kCycles, completed.get(), -1);
  if (!full.traced) GTEST_SKIP() << "this system refuses to trace a child process";
  ASSERT_EQ(full.exit_code, 0);
  ASSERT_EQ(completed.get()->load(), kCycles);
  ASSERT_GT(full.points, 20);
  EXPECT_EQ(read_file(path), ref.bytes);

  int kills = 0;
  for (int point = 0; point < full.points; ++point) {
    write_file(path, empty_bytes);
    completed.get()->store(0);
    const TracedRun run = traced_writer(path, kCycles, completed.get(), point);
    ASSERT_TRUE(run.killed) << "point " << point;
    ++kills;
    check_survivor(path, ref, completed.get()->load(), kCycles, "killed at point " + std::to_string(point));
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_EQ(kills, full.points);
  RecordProperty("kill_points", kills);
  std::printf("[ kill points ] %d file-operation points, each killed once\n", kills);
}

TEST(CrashConsistency, KilledAfterRandomDelaysKeepsTheLastCommit) {
  constexpr int kCycles = 40;
  constexpr int kKills = 30;
  TempDir dir;
  const Reference ref = make_reference(dir.path("reference"), kCycles, compression::CompressionType::lz4());
  const std::string empty = dir.path("empty");
  ASSERT_TRUE(AtomDatabase::create_with_format(empty, compression::CompressionType::lz4()).has_value());
  const FileBytes empty_bytes = read_file(empty);
  const std::string path = dir.path("victim");

  // How long a whole run takes, to spread the kills over it.
  SharedCounter completed;
  write_file(path, empty_bytes);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(run_writer(path, kCycles, completed.get()), 0);
  const auto whole_run = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);

  std::mt19937 random(12345);
  std::uniform_int_distribution<long> delay(0, std::max<long>(whole_run.count(), 1000));
  int distinct_states = 0;
  std::uint64_t last_generation = ~std::uint64_t{0};
  for (int k = 0; k < kKills; ++k) {
    write_file(path, empty_bytes);
    completed.get()->store(0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      alarm(60);
      _exit(run_writer(path, kCycles, completed.get()));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    const std::uint64_t g =
        check_survivor(path, ref, completed.get()->load(), kCycles, "kill " + std::to_string(k));
    if (g != last_generation) ++distinct_states;
    last_generation = g;
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GT(distinct_states, 1) << "every kill landed at the same commit";
}

// ---------------------------------------------------------------------------------------------
// Torn and damaged header slots.
// ---------------------------------------------------------------------------------------------

// A file after its second and after its third commit (the third writes slot B).
struct TwoCommits {
  FileBytes second;
  FileBytes third;
};

TwoCommits commits_two_and_three(const std::string& path) {
  TwoCommits out;
  auto db = AtomDatabase::create_with_format(path, compression::CompressionType::none());
  EXPECT_TRUE(db.has_value());
  for (int cycle = 1; cycle <= 3; ++cycle) {
    EXPECT_TRUE(append_cycle(*db, cycle).has_value());
    EXPECT_TRUE(db->flush().has_value());
    if (cycle == 2) out.second = read_file(path);
  }
  EXPECT_EQ(db->generation(), 3u);
  out.third = read_file(path);
  return out;
}

TEST(CrashConsistency, TornWriteOfTheNewerSlotFallsBackToThePreviousCommit) {
  constexpr int kCycles = 3;
  TempDir dir;
  const Reference ref = make_reference(dir.path("reference"), kCycles, compression::CompressionType::none());
  const TwoCommits files = commits_two_and_three(dir.path("source"));
  const std::string path = dir.path("torn");
  // Only the first `written` bytes of the third commit's slot reached the disk; the rest of the
  // slot still holds the first commit's header.
  for (std::size_t written : {0, 1, 8, 16, 24, 40, 56, 60, 76, 512, 4091, 4092, 4093, 4095}) {
    FileBytes torn = files.third;
    std::copy(files.second.begin() + kSlotB + static_cast<std::ptrdiff_t>(written),
              files.second.begin() + kSlotB + 4096, torn.begin() + kSlotB + static_cast<std::ptrdiff_t>(written));
    ASSERT_NE(torn, files.third);
    write_file(path, torn);
    EXPECT_EQ(check_survivor(path, ref, 2, 2, "torn after " + std::to_string(written) + " bytes"), 2u);
  }
  // The whole slot written: the third commit holds.
  write_file(path, files.third);
  EXPECT_EQ(check_survivor(path, ref, 3, 3, "slot written whole"), 3u);
}

TEST(CrashConsistency, DamagedNewerSlotFallsBackToThePreviousCommit) {
  constexpr int kCycles = 3;
  TempDir dir;
  const Reference ref = make_reference(dir.path("reference"), kCycles, compression::CompressionType::none());
  const TwoCommits files = commits_two_and_three(dir.path("source"));
  const std::string path = dir.path("damaged");

  for (std::size_t at : {0, 4, 8, 16, 24, 32, 40, 48, 56, 60, 68, 100, 4000, 4092, 4095}) {
    FileBytes damaged = files.third;
    damaged[kSlotB + at] ^= 0x10;
    write_file(path, damaged);
    EXPECT_EQ(check_survivor(path, ref, 2, 2, "flipped slot byte " + std::to_string(at)), 2u);
  }
  // A slot whose checksum matches but whose index lies past the end of the file (the index write
  // was lost) is not valid either.
  SlotFields fields;
  fields.generation = 3;
  fields.record_count = 9;
  fields.index_length = 8 + 20 * 9;
  fields.index_offset = files.third.size();
  FileBytes lost_index = files.third;
  const FileBytes slot = handmade_slot(fields);
  std::copy(slot.begin(), slot.end(), lost_index.begin() + kSlotB);
  write_file(path, lost_index);
  EXPECT_EQ(check_survivor(path, ref, 2, 2, "index past the end"), 2u);
}

// ---------------------------------------------------------------------------------------------
// A generation that cannot grow.
// ---------------------------------------------------------------------------------------------

// Both slots of a damaged file carry the largest generation. A commit could only repeat it, and
// the tie would pick slot A at the next open: flush must refuse instead of reporting a commit
// that is then lost.
TEST(CrashConsistency, CommitWithSaturatedGenerationIsRefusedAndLosesNothing) {
  TempDir dir;
  const std::string path = dir.path("saturated");
  {
    auto db = AtomDatabase::create_with_format(path, compression::CompressionType::none());
    ASSERT_TRUE(db.has_value());
    ASSERT_TRUE(append_cycle(*db, 1).has_value());
    ASSERT_TRUE(db->flush().has_value());  // generation 1, in slot B
  }
  FileBytes bytes = read_file(path);
  for (std::size_t slot : {std::size_t{0}, kSlotB}) {
    put(bytes, slot + 8, std::numeric_limits<std::uint64_t>::max(), 8);
    put(bytes, slot + 4092, reference_adler32(bytes.data() + slot, 4092), 4);
  }
  // Slot A keeps its empty commit, slot B the three molecules; the tie picks slot A.
  write_file(path, bytes);
  auto db = AtomDatabase::open_with_options(path, false, false);
  ASSERT_TRUE(db.has_value());
  ASSERT_EQ(db->generation(), std::numeric_limits<std::uint64_t>::max());
  ASSERT_EQ(db->len(), 0u);
  ASSERT_TRUE(append_cycle(*db, 2).has_value());
  auto flushed = db->flush();
  ASSERT_FALSE(flushed.has_value());
  EXPECT_EQ(flushed.error().kind(), Error::Kind::InvalidData);
  EXPECT_EQ(flushed.error().message(), "Commit generation 18446744073709551615 cannot be advanced");
  // Nothing was committed or written over: both slots are as they were.
  const FileBytes after = read_file(path);
  EXPECT_TRUE(std::equal(after.begin(), after.begin() + kDataStart, bytes.begin()));
  EXPECT_EQ(get(after, kSlotB + 8, 8), std::numeric_limits<std::uint64_t>::max());
}

}  // namespace
}  // namespace molarium::storage
