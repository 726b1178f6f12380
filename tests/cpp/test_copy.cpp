// File and tree copies of the build step.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/build/build_step.h"
#include "core/common/errors.h"
#include "core/files/copy.h"

namespace fs = std::filesystem;
using namespace mosswork::core;

namespace {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "mosswork-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void write(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

std::string read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST(CopyFile, CopiesAndOverwritesAndSkipsMissing) {
  TempDir src, dst;
  write(src.path() / "requirements.txt", "PyYAML\n");
  write(dst.path() / "requirements.txt", "old content that is longer\n");
  EXPECT_TRUE(files::copy_file("requirements.txt", src.path(), dst.path()));
  EXPECT_EQ(read(dst.path() / "requirements.txt"), "PyYAML\n");
  EXPECT_FALSE(files::copy_file("absent.txt", src.path(), dst.path()));
  EXPECT_FALSE(fs::exists(dst.path() / "absent.txt"));
}

TEST(CopyFile, OntoItselfKeepsTheContent) {
  TempDir dir;
  write(dir.path() / "a.yaml", "x: 1\n");
  EXPECT_TRUE(files::copy_file("a.yaml", dir.path(), dir.path()));
  EXPECT_EQ(read(dir.path() / "a.yaml"), "x: 1\n");
}

TEST(CopyFile, FailuresCarryErrnoAndPath) {
  TempDir src;
  write(src.path() / "f", "1");
  try {
    files::copy_file("f", src.path(), src.path() / "missing-dir");
    FAIL() << "copy into a missing directory must fail";
  } catch (const IoError& e) {
    EXPECT_EQ(e.error_number(), ENOENT);
    EXPECT_NE(std::string(e.what()).find("missing-dir"), std::string::npos);
    EXPECT_EQ(e.path(), (src.path() / "missing-dir").string());  // the culprit, not the source
  }
  fs::create_directory(src.path() / "d");
  EXPECT_THROW(files::copy_file("d", src.path(), src.path()), IoError);
}

TEST(DeepCopy, MirrorsNestedTreeUnderSourceDir) {
  TempDir root, out, elsewhere;
  write(root.path() / "configs/service.yaml", "service: {}\n");
  write(root.path() / "configs/a/b.yaml", "b: 2\n");
  write(root.path() / "configs/a/c/d.txt", "deep");
  fs::create_directories(root.path() / "configs/empty");
  // The walk must not depend on the working directory.
  const fs::path cwd = fs::current_path();
  fs::current_path(elsewhere.path());
  std::size_t n = files::deep_copy_file("configs", root.path(), out.path());
  fs::current_path(cwd);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(read(out.path() / "configs/a/b.yaml"), "b: 2\n");
  EXPECT_EQ(read(out.path() / "configs/a/c/d.txt"), "deep");
  EXPECT_EQ(read(out.path() / "configs/service.yaml"), "service: {}\n");
  EXPECT_TRUE(fs::is_directory(out.path() / "configs/empty"));
}

TEST(DeepCopy, MissingTreeCopiesNothingAndLinkedDirsAreSkipped) {
  TempDir root, out, outside;
  EXPECT_EQ(files::deep_copy_file("configs", root.path(), out.path()), 0u);
  EXPECT_FALSE(fs::exists(out.path() / "configs"));

  write(outside.path() / "secret.txt", "s");
  write(root.path() / "configs/x.yaml", "x");
  fs::create_directory_symlink(outside.path(), root.path() / "configs/linked");
  EXPECT_EQ(files::deep_copy_file("configs", root.path(), out.path()), 1u);
  EXPECT_FALSE(fs::exists(out.path() / "configs/linked"));
}

TEST(BuildStep, TargetsBuildLibOrSourceTree) {
  TempDir root, lib;
  write(root.path() / "configs/plugins/plugins_chains.yaml", "plugins: []\n");
  write(root.path() / "requirements.txt", "PyYAML\n");

  build::BuildStep step;
  step.root_dir = root.path();
  step.build_lib = lib.path();
  auto r = build::run_build_step(step);
  EXPECT_EQ(r.configs_files, 1u);
  EXPECT_TRUE(r.requirements_copied);
  EXPECT_EQ(read(lib.path() / "configs/plugins/plugins_chains.yaml"), "plugins: []\n");
  EXPECT_EQ(read(lib.path() / "requirements.txt"), "PyYAML\n");

  // In place, the files are already where they belong and stay intact.
  build::BuildStep inplace;
  inplace.root_dir = root.path();
  inplace.inplace = true;
  EXPECT_EQ(inplace.target_dir(), root.path());
  build::run_build_step(inplace);
  EXPECT_EQ(read(root.path() / "requirements.txt"), "PyYAML\n");

  build::BuildStep missing;
  missing.root_dir = root.path();
  EXPECT_THROW(build::run_build_step(missing), InvalidArgument);
}
