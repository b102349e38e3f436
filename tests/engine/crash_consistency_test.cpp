// Crash consistency of commits: a writer killed at every file operation of its append and flush
// cycles, torn and damaged header slots, and a generation that cannot grow.
// After each, the file opens in both modes, holds exactly the last completed commit and takes more.
#include <elf.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>

#include "tests/engine/fixtures.hpp"

namespace molarium::testing {
namespace {

using storage::AtomDatabase;
constexpr int kPerCycle = 3;

Result<void> append_cycle(AtomDatabase& db, int cycle) {
  std::vector<Molecule> batch;
  for (int item = 0; item < kPerCycle; ++item) {
    batch.push_back(small_molecule(1 + (cycle + item) % 4, float(cycle * 10 + item)));
    batch.back().properties["cycle"] = PropertyValue(std::int64_t{cycle});
  }
  std::vector<const Molecule*> pointers;
  for (const auto& m : batch) pointers.push_back(&m);
  return db.add_molecules(pointers);
}

// Appends and commits cycle after cycle, noting each completed commit where a parent can read it.
int run_writer(const std::string& path, int cycles, std::atomic<int>* completed) {
  auto db = AtomDatabase::open_with_options(path, false, false);
  if (!db) return 10;
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    if (!append_cycle(*db, cycle) || !db->flush()) return 11;
    completed->store(cycle);
  }
  return 0;
}

std::atomic<int>* shared_counter() {
  void* memory = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return new (memory) std::atomic<int>(0);
}

// A header slot as a test writes it.
SlotFields slot(std::uint64_t generation, std::uint64_t data_start = 8192, std::uint64_t index_offset = 0,
                std::uint64_t count = 0, std::uint64_t schema_offset = 0, std::uint64_t schema_length = 0) {
  return {.generation = generation, .data_start = data_start, .index_offset = index_offset,
          .index_length = index_offset ? 8 + 20 * count : 0, .record_count = count,
          .schema_offset = schema_offset, .schema_length = schema_length};
}

// The uninterrupted run: the file after each commit g, its committed end, and every record.
struct Reference {
  std::vector<Bytes> bytes;
  std::vector<std::uint64_t> committed_end;
  std::vector<Bytes> records;
};

Reference make_reference(const std::string& path, int cycles, CompressionType codec) {
  Reference ref;
  auto db = AtomDatabase::create_with_format(path, codec).value();
  for (int cycle = 0; cycle <= cycles; ++cycle) {
    EXPECT_TRUE(cycle == 0 || (append_cycle(db, cycle) && db.flush()));
    ref.committed_end.push_back(db.committed_end());
    ref.bytes.push_back(read_file(path));
  }
  std::vector<std::size_t> all(db.len());
  std::iota(all.begin(), all.end(), std::size_t{0});
  ref.records = db.get_raw_bytes(all).value();
  return ref;
}

// The file holds commit `reported` or the next (killed after its header write, before noting it):
// exactly its bytes and records in both modes; and it takes a further commit. Returns the generation.
std::uint64_t check_survivor(const std::string& path, const Reference& ref, int reported, int cycles) {
  AtomDatabase db = open_database(path);
  const std::uint64_t g = db.generation();
  EXPECT_GE(g, std::uint64_t(reported)) << "a completed commit was lost";
  EXPECT_LE(g, std::uint64_t(std::min(reported + 1, cycles)));
  if (g > std::uint64_t(cycles)) return g;
  const Bytes bytes = read_file(path);
  const std::uint64_t end = ref.committed_end[g];
  EXPECT_TRUE(bytes.size() >= end &&
              std::equal(bytes.begin() + 8192, bytes.begin() + end, ref.bytes[g].begin() + 8192));
  std::vector<std::size_t> all(g * kPerCycle);
  std::iota(all.begin(), all.end(), std::size_t{0});
  for (bool mapped : {false, true}) {
    const auto records = open_database(path, mapped).get_raw_bytes(all).value();
    EXPECT_TRUE(std::ranges::equal(records, std::span(ref.records).first(all.size())));
  }
  EXPECT_TRUE(append_cycle(db, 1000) && db.flush());
  const AtomDatabase reopened = open_database(path, true);
  EXPECT_EQ(reopened.len(), all.size() + kPerCycle);
  EXPECT_EQ(reopened.generation(), g + 1);
  return g;
}

#if defined(__x86_64__)
long syscall_number(pid_t pid) {
  user_regs_struct regs{};
  return ptrace(PTRACE_GETREGS, pid, nullptr, &regs) == 0 ? long(regs.orig_rax) : -1;
}
#elif defined(__aarch64__)
long syscall_number(pid_t pid) {
  user_regs_struct regs{};
  iovec io{&regs, sizeof regs};
  return ptrace(PTRACE_GETREGSET, pid, reinterpret_cast<void*>(NT_PRSTATUS), &io) == 0 ? long(regs.regs[8]) : -1;
}
#else
long syscall_number(pid_t) { return -2; }
#endif

bool touches_file(long number) {
  const long calls[] = {SYS_openat, SYS_close,     SYS_lseek,     SYS_write,
                        SYS_pwrite64, SYS_fsync, SYS_fdatasync, SYS_ftruncate};
  return std::ranges::find(calls, number) != std::end(calls);
}

// Runs the writer in a traced child; every entry to and exit from one of its file calls is a point,
// and at point `kill_at` the child is killed. Returns the number of points passed, or -1 when the
// system refuses tracing. Only the writer's own thread is traced.
int traced_writer(const std::string& path, int cycles, std::atomic<int>* completed, int kill_at) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(60);
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(120);
    raise(SIGSTOP);
    _exit(run_writer(path, cycles, completed));
  }
  int status = 0, points = 0, pass = 0;
  waitpid(pid, &status, 0);
  const long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL;
  if (!WIFSTOPPED(status) || ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(options)) != 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  while (ptrace(PTRACE_SYSCALL, pid, nullptr, reinterpret_cast<void*>(long(pass))) == 0 &&
         waitpid(pid, &status, 0) == pid) {
    pass = 0;
    if (WIFEXITED(status)) return WEXITSTATUS(status) == 0 ? points : -2;
    if (!WIFSTOPPED(status)) break;
    if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
      pass = WSTOPSIG(status);  // a signal for the child itself
      continue;
    }
    if (touches_file(syscall_number(pid)) && points++ == kill_at) break;
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return points;
}

// A victim file, created empty, and the uninterrupted run its killed writers are compared with.
class Killed : public ::testing::Test {
 protected:
  void start(int cycles, CompressionType codec) {
    ref_ = make_reference(dir_.path("reference"), cycles, codec);
    ASSERT_TRUE(AtomDatabase::create_with_format(path_, codec));
    empty_ = read_file(path_);
  }
  void reset() {
    write_file(path_, empty_);
    completed_->store(0);
  }
  TempDir dir_;
  std::string path_ = dir_.path("victim");
  Reference ref_;
  Bytes empty_;
  std::atomic<int>* completed_ = shared_counter();
};

TEST_F(Killed, AtEveryFileOperationOfAppendAndFlushTheLastCommitHolds) {
  if (syscall_number(0) == -2) GTEST_SKIP() << "system call tracing is set up for x86-64 and AArch64 only";
  start(3, CompressionType::zstd(3));
  const int points = traced_writer(path_, 3, completed_, -1);
  if (points == -1) GTEST_SKIP() << "this system refuses to trace a child process";
  ASSERT_GT(points, 20);
  ASSERT_EQ(read_file(path_), ref_.bytes.back());
  for (int point = 0; point < points && !HasFailure(); ++point) {
    reset();
    ASSERT_EQ(traced_writer(path_, 3, completed_, point), point + 1);
    SCOPED_TRACE("killed at point " + std::to_string(point));
    check_survivor(path_, ref_, completed_->load(), 3);
  }
}

// The third commit's slot B torn after a prefix, or pointing at an index that never reached the disk:
// the second commit holds.
TEST(CrashConsistency, TornNewerSlotFallsBackToThePreviousCommit) {
  TempDir dir;
  const Reference ref = make_reference(dir.path("reference"), 3, CompressionType::none());
  const Bytes& second = ref.bytes[2];
  const Bytes& third = ref.bytes[3];
  std::vector<Bytes> damaged;
  for (std::size_t written : {0, 1, 8, 16, 24, 40, 56, 60, 76, 512, 4091, 4092, 4093, 4095}) {
    damaged.push_back(third);
    std::copy(second.begin() + 4096 + written, second.begin() + 8192, damaged.back().begin() + 4096 + written);
  }
  damaged.push_back(third);
  const Bytes lost = handmade_slot(slot(3, 8192, third.size(), 9));
  std::copy(lost.begin(), lost.end(), damaged.back().begin() + 4096);
  const std::string path = dir.path("damaged");
  for (std::size_t i = 0; i < damaged.size(); ++i) {
    write_file(path, damaged[i]);
    EXPECT_EQ(check_survivor(path, ref, 2, 2), 2u) << "damage " << i;
  }
  write_file(path, third);
  EXPECT_EQ(check_survivor(path, ref, 3, 3), 3u);
}

// Both slots at the largest generation: a commit could only repeat it and lose the tie to slot A
// at the next open, so flush refuses and writes nothing.
TEST(CrashConsistency, CommitWithSaturatedGenerationIsRefusedAndLosesNothing) {
  TempDir dir;
  const std::string path = dir.path("saturated");
  {
    auto db = AtomDatabase::create_with_format(path, CompressionType::none()).value();
    ASSERT_TRUE(append_cycle(db, 1) && db.flush());
  }
  Bytes bytes = read_file(path);
  for (std::size_t slot : {0, 4096}) {
    put(bytes, slot + 8, ~0ull, 8);
    put(bytes, slot + 4092, reference_adler32(bytes.data() + slot, 4092), 4);
  }
  write_file(path, bytes);
  AtomDatabase db = open_database(path);
  ASSERT_EQ(db.len(), 0u);
  ASSERT_TRUE(append_cycle(db, 2));
  auto flushed = db.flush();
  EXPECT_TRUE(refused_as(flushed, Error::Kind::InvalidData));
  EXPECT_EQ(failure(flushed), "Commit generation 18446744073709551615 cannot be advanced");
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 8192, read_file(path).begin()));
}

// --- Commits over header slots that disagree with the file's length -----------------------------

// A slot that names bytes past the end of the file is invalid at open, but the bytes a writer
// appends could make it valid again, ahead of the commits made since.
const SlotFields kEmptyIndex1 = slot(1, 8192, 8192);

struct DamagedHeader {
  const char* name;
  SlotFields a, b;
  bool empty_index;               // the data region holds an empty index at 8192
  std::uint64_t open_generation;  // the commit an open finds
};
std::ostream& operator<<(std::ostream& out, const DamagedHeader& c) { return out << c.name; }

const DamagedHeader kDamagedHeaders[] = {
    {"DataStartPastEndAheadOfTheNextCommit", slot(256, 8220), slot(0), false, 0},
    {"IndexPastEndAheadOfTheNextCommit", slot(5, 8192, 8192, 2), slot(0), false, 0},
    {"TyingTheNextCommitInSlotA", slot(1, 8300), slot(0), false, 0},
    {"SchemaPastEndAheadOfTheNextCommit", slot(7, 8192, 8192, 0, 8200, 40), slot(0, 8192, 8192), true, 0},
    {"NewerIndexLostInTheSlotOfTheNextCommit", slot(2, 8192, 8200, 3), kEmptyIndex1, true, 1},
    {"NewerDataStartPastEndInTheSlotOfTheNextCommit", slot(4, 8192, 8192), slot(9, 8201), true, 4},
    {"TiedSlotAPastEndInTheSlotOfTheNextCommit", slot(1, 8201), kEmptyIndex1, true, 1},
    {"OlderSlotPastEnd", slot(0, 8300), kEmptyIndex1, true, 1},
};

class DamagedHeaderCommit : public ::testing::TestWithParam<DamagedHeader> {};

// One record keeps the file short of the damaged slot until the commit's own index carries it past;
// eight carry it past before the commit. Zeros appended later must not bring the slot back either.
TEST_P(DamagedHeaderCommit, CommitIsTheOneEveryLaterOpenReads) {
  const DamagedHeader& c = GetParam();
  TempDir dir;
  for (int count : {1, 8}) {
    const std::string path = dir.path(std::to_string(count));
    write_file(path, cat({handmade_slot(c.a), handmade_slot(c.b), c.empty_index ? le(0, 8) : Bytes{}}));
    AtomDatabase db = open_database(path);
    ASSERT_EQ(db.generation(), c.open_generation);
    for (int i = 0; i < count; ++i) ASSERT_TRUE(db.add_molecule(small_molecule(1, float(i))));
    ASSERT_TRUE(db.flush());
    std::vector<std::size_t> all(count);
    std::iota(all.begin(), all.end(), std::size_t{0});
    const auto written = db.get_raw_bytes(all).value();
    for (bool grown : {false, true}) {
      if (grown) write_file(path, cat({read_file(path), Bytes(1 << 16, 0)}));
      for (bool mapped : {false, true}) {
        const AtomDatabase reopened = open_database(path, mapped);
        EXPECT_EQ(reopened.generation(), c.open_generation + 1) << count << grown << mapped;
        EXPECT_EQ(reopened.get_raw_bytes(all).value(), written);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SlotsPastTheEnd, DamagedHeaderCommit, ::testing::ValuesIn(kDamagedHeaders),
                         [](const auto& info) { return std::string(info.param.name); });

// A commit whose schema blob lies after its index (swapped by hand in a file the engine wrote):
// the committed end covers the blob, so cutting an uncommitted tail keeps the commit whole.
TEST(CrashConsistency, SchemaBlobAfterTheIndexSurvivesTheTailCut) {
  TempDir dir;
  const std::string path = dir.path("swapped");
  write_database(path, CompressionType::none(), {small_molecule(1, 1)});
  const Bytes original = read_file(path);
  const std::size_t blob = get(original, 4096 + 60, 8), blob_length = get(original, 4096 + 68, 8);
  const std::size_t index = get(original, 4096 + 24, 8);
  ASSERT_EQ(blob + blob_length, index);
  SlotFields b = slot(1, 8192, blob, 1, blob + original.size() - index, blob_length);
  const Bytes records(original.begin() + 8192, original.begin() + blob);
  const Bytes index_bytes(original.begin() + index, original.end());
  write_file(path, cat({handmade_slot(slot(0)), handmade_slot(b), records, index_bytes,
                        Bytes(original.begin() + blob, original.begin() + index)}));
  AtomDatabase db = open_database(path);
  EXPECT_FALSE(db.has_uncommitted_tail());
  ASSERT_TRUE(db.add_molecule(small_molecule(1, 2)));
  ASSERT_TRUE(db.flush());
  const AtomDatabase reopened = open_database(path);
  EXPECT_EQ(reopened.len(), 2u);
  EXPECT_EQ(reopened.get_raw_bytes(std::vector<std::size_t>{0}).value()[0], records);
}

}  // namespace
}  // namespace molarium::testing
