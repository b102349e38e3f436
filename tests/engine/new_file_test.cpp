// Creating a database at a path: what was at the path, or appeared there before the create, is
// either refused untouched or replaced whole, and no temporary is left beside it, however the
// file system lets the new file be put at its name.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include <sys/syscall.h>
#include <unistd.h>

#include "engine/storage/new_file.hpp"
#include "tests/engine/fixtures.hpp"

namespace molarium::testing {
namespace {

using storage::AtomDatabase;
namespace fs = std::filesystem;

std::vector<std::string> names_in(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(fs::path(dir.path(".")))) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// What another process put at the path after the caller's own check, as the engine finds it.
struct Competitor {
  const char* name;
  const char* link;  // the path is a link to "other", or nothing
  bool other_exists;
};

// "././…/other", longer than the first buffer the link is read into.
constexpr auto kLongLink = [] {
  std::array<char, 306> link{};
  for (std::size_t i = 0; i < 300; i += 2) link[i] = '.', link[i + 1] = '/';
  for (std::size_t i = 0; i < 5; ++i) link[300 + i] = "other"[i];
  return link;
}();

class CreateOverACompetitor : public ::testing::TestWithParam<Competitor> {};

TEST_P(CreateOverACompetitor, ExclusiveCreateRefusesItUntouchedAndReplacingSwapsItWhole) {
  const Competitor& c = GetParam();
  TempDir dir;
  const std::string path = dir.path("db");
  const std::string made_at = c.link ? dir.path("other") : path;
  write_database(dir.path("seed"), CompressionType::none(), {Molecule::create({{1, 2, 3}}, {8}).value()});
  const Bytes competing = read_file(dir.path("seed"));
  if (c.other_exists) fs::rename(dir.path("seed"), made_at);
  else fs::remove(dir.path("seed"));
  if (c.link) fs::create_symlink(c.link, path);
  const auto before = names_in(dir);

  auto exclusive = AtomDatabase::create_with_format(path, CompressionType::none(), false);
  if (c.other_exists) {
    EXPECT_TRUE(refused_as(exclusive, Error::Kind::Exists));
    EXPECT_EQ(read_file(made_at), competing);
  } else {
    ASSERT_TRUE(exclusive) << exclusive.error().debug();
    EXPECT_EQ(read_file(made_at).size(), 8192u);  // made where the dangling link points
  }
  EXPECT_EQ(names_in(dir), c.other_exists ? before : [&] {
    auto with = before;
    with.push_back("other");
    std::sort(with.begin(), with.end());
    return with;
  }());

  const auto after_exclusive = names_in(dir);
  auto replaced = AtomDatabase::create_with_format(path, CompressionType::lz4(), true);
  ASSERT_TRUE(replaced) << replaced.error().debug();
  EXPECT_EQ(names_in(dir), after_exclusive);  // the link stays a link; no temporary is left
  EXPECT_EQ(fs::is_symlink(path), c.link != nullptr);
  EXPECT_EQ(open_database(path).compression().codec, compression::Codec::Lz4);
}

INSTANTIATE_TEST_SUITE_P(Paths, CreateOverACompetitor,
                         ::testing::Values(Competitor{"File", nullptr, true}, Competitor{"Link", "other", true},
                                           Competitor{"LongLink", kLongLink.data(), true},
                                           Competitor{"DanglingLink", "other", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Fault injection: the errors that renameat2 and linkat give while set, for file systems that
// support neither. The test binary's definitions take the place of the C library's for the engine.
int fail_renameat2 = 0;
int fail_linkat = 0;

// The ways a new file is put where nothing is: a rename that replaces nothing, a link, or a name
// taken exclusively and then renamed over.
struct Placement {
  const char* name;
  int rename_errno;
  int link_errno;
};

class PutWhereNothingIs : public ::testing::TestWithParam<Placement> {
 protected:
  void SetUp() override { fail_renameat2 = GetParam().rename_errno, fail_linkat = GetParam().link_errno; }
  void TearDown() override { fail_renameat2 = fail_linkat = 0; }
};

// A file put at the name while the new one is being filled: an exclusive create refuses it
// untouched; a replacing create replaces it whole. Either way no temporary is left.
TEST_P(PutWhereNothingIs, ANameTakenWhileTheFileIsFilledIsRefusedOrReplacedWhole) {
  for (const bool competitor : {false, true}) {
    for (const bool replace : {false, true}) {
      TempDir dir;
      const std::string path = dir.path("db");
      const Bytes competing{'o', 't', 'h', 'e', 'r'}, made_bytes{'n', 'e', 'w'};
      int fills = 0;
      auto made = storage::make_new_file(path, replace, [&](storage::File& file) -> Result<void> {
        if (competitor && fills++ == 0) write_file(path, competing);
        return file.write_all(made_bytes);
      });
      EXPECT_EQ(names_in(dir), std::vector<std::string>{"db"});
      if (competitor && !replace) {
        EXPECT_TRUE(refused_as(made, Error::Kind::Exists));
        EXPECT_EQ(read_file(path), competing);
        continue;
      }
      ASSERT_TRUE(made) << made.error().debug();
      EXPECT_EQ(fs::hard_link_count(path), 1u);
      // The second descriptor is of the same file, and writes it.
      ASSERT_TRUE(made->writer.file().seek_end() && made->writer.file().write_all(Bytes{'!'}));
      EXPECT_EQ(read_file(path), (Bytes{'n', 'e', 'w', '!'}));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Ways, PutWhereNothingIs,
                         ::testing::Values(Placement{"RenameNoReplace", 0, 0}, Placement{"Link", EINVAL, 0},
                                           Placement{"ReserveThenRename", EINVAL, EPERM}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NewFile, AFailureToPutTheFileInPlaceLeavesNothing) {
  TempDir dir;
  fail_renameat2 = EINVAL, fail_linkat = EIO;
  auto made = storage::make_new_file(dir.path("db"), false, [](storage::File&) -> Result<void> { return {}; });
  fail_renameat2 = fail_linkat = 0;
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error().kind(), Error::Kind::Io);
  EXPECT_TRUE(names_in(dir).empty());
}

}  // namespace
}  // namespace molarium::testing

extern "C" int renameat2(int from_folder, const char* from, int to_folder, const char* to, unsigned flags) noexcept {
  if (flags != 0 && molarium::testing::fail_renameat2 != 0) return errno = molarium::testing::fail_renameat2, -1;
  return static_cast<int>(::syscall(SYS_renameat2, from_folder, from, to_folder, to, flags));
}

extern "C" int linkat(int from_folder, const char* from, int to_folder, const char* to, int flags) noexcept {
  if (molarium::testing::fail_linkat != 0) return errno = molarium::testing::fail_linkat, -1;
  return static_cast<int>(::syscall(SYS_linkat, from_folder, from, to_folder, to, flags));
}
