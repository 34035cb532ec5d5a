#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/codesign/bundle_manifest.hpp"
#include "platform/codesign/file_access.hpp"

namespace vantreel::platform::codesign {
namespace {

namespace fs = std::filesystem;

class BundleManifestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vt-manifest-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
    root_ = scratch_ / "Test.app";
    fs::create_directories(root_ / "Contents/MacOS");
    fs::create_directories(root_ / "Contents/Resources/sub");
    write("Contents/MacOS/tool", "binary");
    fs::permissions(root_ / "Contents/MacOS/tool", fs::perms::owner_exec, fs::perm_options::add);
    write("Contents/Resources/sub/data", "data");
    fs::create_symlink("sub/data", root_ / "Contents/Resources/link");
  }
  void TearDown() override { fs::remove_all(scratch_); }

  void write(const std::string& relative, const std::string& text) {
    std::ofstream(root_ / relative, std::ios::binary | std::ios::trunc) << text;
  }
  std::vector<std::uint8_t> manifest(BundleManifest::Limits limits = {}) {
    auto built = BundleManifest::buildForPath(root_.string(), limits);
    EXPECT_TRUE(built.has_value());
    return built.value_or(std::vector<std::uint8_t>{});
  }

  fs::path scratch_;
  fs::path root_;
};

TEST_F(BundleManifestTest, EveryKindOfChangeAltersTheManifest) {
  const auto original = manifest();
  EXPECT_EQ(manifest(), original) << "the manifest must be deterministic";

  write("Contents/Resources/sub/data", "dat4");
  EXPECT_NE(manifest(), original) << "changed contents";
  write("Contents/Resources/sub/data", "data");
  ASSERT_EQ(manifest(), original);

  write("Contents/Resources/added", "");
  EXPECT_NE(manifest(), original) << "added file";
  fs::remove(root_ / "Contents/Resources/added");
  ASSERT_EQ(manifest(), original);

  fs::remove(root_ / "Contents/Resources/link");
  EXPECT_NE(manifest(), original) << "removed link";
  fs::create_symlink("sub/../sub/data", root_ / "Contents/Resources/link");
  EXPECT_NE(manifest(), original) << "re-pointed link";
  fs::remove(root_ / "Contents/Resources/link");
  fs::create_symlink("sub/data", root_ / "Contents/Resources/link");
  ASSERT_EQ(manifest(), original);

  fs::permissions(root_ / "Contents/Resources/sub/data", fs::perms::owner_exec,
                  fs::perm_options::add);
  EXPECT_NE(manifest(), original) << "exec bit";
  fs::permissions(root_ / "Contents/Resources/sub/data", fs::perms::owner_exec,
                  fs::perm_options::remove);
  ASSERT_EQ(manifest(), original);

  fs::rename(root_ / "Contents/Resources/sub/data", root_ / "Contents/Resources/sub/date");
  EXPECT_NE(manifest(), original) << "renamed file";
}

TEST_F(BundleManifestTest, SealFolderIsLeftOutButOnlyAtItsOwnPlace) {
  const auto original = manifest();
  fs::create_directories(root_ / "Contents/_CodeSignature");
  write("Contents/_CodeSignature/CodeResources", "seal");
  write("Contents/_CodeSignature/other", "x");
  EXPECT_EQ(manifest(), original);
  fs::create_directories(root_ / "Contents/Resources/_CodeSignature");
  write("Contents/Resources/_CodeSignature/CodeResources", "seal");
  EXPECT_NE(manifest(), original);
}

TEST_F(BundleManifestTest, LinksAreRecordedNotFollowed) {
  const fs::path outside = scratch_ / "outside";
  fs::create_directories(outside);
  std::ofstream(outside / "secret") << "one";
  fs::create_directory_symlink(outside, root_ / "Contents/Resources/escape");
  const auto before = manifest();
  // What lies behind a link to a directory is not part of the bundle.
  std::ofstream(outside / "secret") << "two";
  std::ofstream(outside / "more") << "three";
  EXPECT_EQ(manifest(), before);
}

TEST_F(BundleManifestTest, WalkIsBoundedAndRefusesSpecialFiles) {
  fs::path deep = root_ / "Contents/Resources";
  for (int i = 0; i < 6; ++i) {
    deep /= "d";
  }
  fs::create_directories(deep);
  EXPECT_FALSE(BundleManifest::buildForPath(root_.string(), {.maxDepth = 6, .maxEntries = 1000}));
  EXPECT_TRUE(BundleManifest::buildForPath(root_.string(), {.maxDepth = 16, .maxEntries = 1000}));
  const auto few = BundleManifest::buildForPath(root_.string(), {.maxDepth = 16, .maxEntries = 5});
  ASSERT_FALSE(few.has_value());
  EXPECT_EQ(few.error(), errSecCSBadResource);

  // Contents of 10 bytes in all: a bound on bytes holds for the sealing walk and the check.
  const BundleManifest::Limits nineBytes{.maxDepth = 16, .maxEntries = 1000, .maxBytes = 9};
  const BundleManifest::Limits tenBytes{.maxDepth = 16, .maxEntries = 1000, .maxBytes = 10};
  EXPECT_FALSE(BundleManifest::buildForPath(root_.string(), nineBytes));
  const auto built = BundleManifest::buildForPath(root_.string(), tenBytes);
  ASSERT_TRUE(built.has_value());
  EXPECT_FALSE(BundleManifest::decode(*built, nineBytes));
  const auto entries = BundleManifest::decode(*built, tenBytes);
  ASSERT_TRUE(entries.has_value());
  const auto rootFd = file_access::openDirectory(root_.string());
  ASSERT_TRUE(rootFd.has_value());
  EXPECT_EQ(BundleManifest::check(rootFd->get(), *entries, tenBytes), errSecSuccess);
  EXPECT_EQ(BundleManifest::check(rootFd->get(), *entries, nineBytes), errSecCSBadResource);

  ASSERT_EQ(::mkfifo((root_ / "Contents/fifo").c_str(), 0600), 0);
  const auto withFifo = BundleManifest::buildForPath(root_.string(), {});
  ASSERT_FALSE(withFifo.has_value());
  EXPECT_EQ(withFifo.error(), errSecCSBadResource);

  EXPECT_EQ(BundleManifest::buildForPath((scratch_ / "missing.app").string(), {}).error(),
            errSecCSStaticCodeNotFound);
}

// A wide bundle of empty folders: the walk holds at most its depth in descriptors, so it does
// under a descriptor limit far below the number of folders, sealing and checking alike.
TEST_F(BundleManifestTest, ManyFoldersCostNoMoreDescriptorsThanTheDepth) {
  for (int i = 0; i < 300; ++i) {
    fs::create_directories(root_ / "Contents/Resources/wide" / std::to_string(i % 30) /
                           std::to_string(i));
  }
  const BundleManifest::Limits limits{.maxDepth = 16, .maxEntries = 5000};
  const auto rootFd = file_access::openDirectory(root_.string());
  ASSERT_TRUE(rootFd.has_value());
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
  // Room for what is open now, the walk's path and a file it hashes; not for 30 folders.
  rlimit low = before;
  low.rlim_cur = static_cast<rlim_t>(rootFd->get()) + 20;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  const auto built = BundleManifest::buildForPath(root_.string(), limits);
  std::optional<OSStatus> checked;
  if (built) {
    if (const auto entries = BundleManifest::decode(*built, limits)) {
      checked = BundleManifest::check(rootFd->get(), *entries, limits);
    }
  }
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &before), 0);
  ASSERT_TRUE(built.has_value());
  EXPECT_EQ(checked, errSecSuccess);
}

}  // namespace
}  // namespace vantreel::platform::codesign
