// One writer per file: the write lock between handles, the stale-handle check and handles inherited
// across fork, each refusal leaving the file's bytes as they were.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "engine/atom.hpp"
#include "engine/compression.hpp"
#include "engine/storage/database.hpp"
#include "engine/storage/file.hpp"
#include "tests/engine/handmade_file.hpp"

namespace molarium::storage {
namespace {

using compression::CompressionType;
using molarium::testing::read_file;
using molarium::testing::TempDir;

atom::Molecule molecule(float tag) {
  std::vector<types::Vec3F32> positions = {{tag, 0.0f, 0.0f}, {tag + 1.0f, 0.0f, 0.0f}};
  return atom::Molecule::create(std::move(positions), {6, 8}).value();
}

AtomDatabase open(const std::string& path) { return AtomDatabase::open_with_options(path, false, false).value(); }

// One way of writing through a handle.
struct Write {
  const char* name;
  std::function<Result<void>(AtomDatabase&)> run;
};

const Write kWrites[] = {
    {"AddMolecule", [](AtomDatabase& db) { return db.add_molecule(molecule(9.0f)); }},
    {"Flush", [](AtomDatabase& db) { return db.flush(); }},
};

class Writers : public ::testing::TestWithParam<Write> {
 protected:
  void SetUp() override {
    auto db = AtomDatabase::create_with_format(path_, CompressionType::none()).value();
    ASSERT_TRUE(db.add_molecule(molecule(1.0f)));
    ASSERT_TRUE(db.flush());
  }

  TempDir dir_;
  std::string path_ = dir_.path("db.mol");
};

TEST_P(Writers, SecondHandleIsRefusedWhileTheFirstLivesAndWritesAfterItIsDestroyed) {
  AtomDatabase second = open(path_);
  {
    AtomDatabase first = open(path_);
    ASSERT_TRUE(first.add_molecule(molecule(2.0f)));  // takes the lock; nothing committed
    const auto before = read_file(path_);
    auto refused = GetParam().run(second);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind(), Error::Kind::Locked) << refused.error().display();
    EXPECT_EQ(read_file(path_), before);
    EXPECT_EQ(second.len(), 1u);
  }
  // The first handle's uncommitted record goes with it; the second knows the newest commit still.
  ASSERT_TRUE(GetParam().run(second));
  ASSERT_TRUE(second.flush());
  EXPECT_EQ(open(path_).len(), second.len());
}

TEST_P(Writers, HandleOpenedBeforeAnotherCommitIsRefusedAndWritesNothing) {
  AtomDatabase stale = open(path_);
  {
    AtomDatabase first = open(path_);
    ASSERT_TRUE(first.add_molecule(molecule(2.0f)));
    ASSERT_TRUE(first.flush());
  }
  const auto before = read_file(path_);
  auto refused = GetParam().run(stale);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), Error::Kind::Stale) << refused.error().display();
  EXPECT_EQ(read_file(path_), before);
  // The refusal took no lock: a new handle writes.
  AtomDatabase fresh = open(path_);
  ASSERT_TRUE(GetParam().run(fresh));
  ASSERT_TRUE(fresh.flush());
}

TEST_P(Writers, InheritedHandleIsRefusedInTheChildAndTheParentKeepsItsLock) {
  AtomDatabase db = open(path_);
  ASSERT_TRUE(db.add_molecule(molecule(2.0f)));
  const auto before = read_file(path_);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto refused = GetParam().run(db);
    if (refused || refused.error().kind() != Error::Kind::Stale) std::_Exit(10);
    // The child's own handle meets the lock the parent holds.
    AtomDatabase own = open(path_);
    auto locked = own.add_molecule(molecule(3.0f));
    std::_Exit(!locked && locked.error().kind() == Error::Kind::Locked ? 0 : 11);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(read_file(path_), before);
  ASSERT_TRUE(db.flush());
  EXPECT_EQ(open(path_).len(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Each, Writers, ::testing::ValuesIn(kWrites),
                         [](const ::testing::TestParamInfo<Write>& info) { return std::string(info.param.name); });

TEST(WriterLock, ReadingHandlesTakeNoLock) {
  TempDir dir;
  const std::string path = dir.path("db.mol");
  {
    auto db = AtomDatabase::create_with_format(path, CompressionType::lz4()).value();
    ASSERT_TRUE(db.add_molecule(molecule(1.0f)));
    ASSERT_TRUE(db.flush());
  }
  const AtomDatabase mapped = AtomDatabase::open_with_options(path, true, false).value();
  const AtomDatabase in_memory = open(path);
  ASSERT_EQ(mapped.get_raw_bytes(std::vector<std::size_t>{0}).value().size(), 1u);
  ASSERT_EQ(in_memory.get_raw_bytes(std::vector<std::size_t>{0}).value().size(), 1u);
  AtomDatabase writer = open(path);
  ASSERT_TRUE(writer.add_molecule(molecule(2.0f)));
  ASSERT_TRUE(writer.flush());
  EXPECT_EQ(in_memory.get_raw_bytes(std::vector<std::size_t>{0}).value().size(), 1u);
}

TEST(WriterLock, FileLockConflictsBetweenDescriptionsAndGoesWithTheLastDescriptor) {
  TempDir dir;
  const std::string path = dir.path("lock");
  ASSERT_TRUE(File::create_truncate(path).value().close());
  File first = File::open_read_write(path).value();
  File second = File::open_read_write(path).value();
  EXPECT_TRUE(first.try_lock_exclusive().value());
  EXPECT_FALSE(second.try_lock_exclusive().value());
  // A descriptor opened and closed beside the lock does not release it, as a POSIX record lock would.
  ASSERT_TRUE(File::open_read(path).value().close());
  EXPECT_FALSE(second.try_lock_exclusive().value());
  ASSERT_TRUE(first.close());
  EXPECT_TRUE(second.try_lock_exclusive().value());
}

}  // namespace
}  // namespace molarium::storage
