#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <string>

#include "persist/model_text.hpp"
#include "persist_test_support.hpp"

namespace quorvanta {
namespace {

using testing::err_value;
using testing::fault_message;
namespace fs = std::filesystem;

class ModelFileIo : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "qv_persist_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
  }
  void TearDown() override {
    // Restore write permission so that the folder can be removed after permission tests.
    ::chmod(directory_.c_str(), 0700);
    fs::remove_all(directory_);
  }

  std::string path(const std::string& name) const { return (directory_ / name).string(); }

  static std::string contents(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  static void write_raw(const std::string& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
  }

  std::size_t entries() const {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(directory_), fs::directory_iterator()));
  }

  fs::path directory_;
};

TEST_F(ModelFileIo, WritesAndReadsWholeText) {
  const std::string file = path("model.txt");
  write_model_file(file, "first version, rather long\n\n");
  write_model_file(file, "short\n\n");
  EXPECT_EQ(read_text_file(file), "short\n\n");
  EXPECT_EQ(entries(), 1u);  // no temporary file left behind
  write_model_file(file, "");
  EXPECT_EQ(read_text_file(file), "");
}

TEST_F(ModelFileIo, NewFilesGetTheUsualModeAndReplacedFilesKeepTheirs) {
  const mode_t old_mask = ::umask(022);
  const std::string created = path("new.txt");
  write_model_file(created, "x");
  ::umask(old_mask);
  struct stat status {};
  ASSERT_EQ(::stat(created.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);

  ASSERT_EQ(::chmod(created.c_str(), 0640), 0);
  write_model_file(created, "y");
  ASSERT_EQ(::stat(created.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  EXPECT_EQ(contents(created), "y");
}

TEST_F(ModelFileIo, SavingThroughASymlinkReplacesItsTarget) {
  const std::string target = path("target.txt");
  const std::string link = path("link.txt");
  write_raw(target, "old");
  fs::create_symlink(target, link);
  write_model_file(link, "new");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(contents(target), "new");
}

TEST_F(ModelFileIo, AWriteFailingHalfWayKeepsThePreviousFile) {
  const std::string file = path("model.txt");
  write_raw(file, "previous model");
  // A file size limit makes the write stop part of the way through.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = saved;
  limited.rlim_cur = 8;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  const std::string message =
      fault_message([&] { write_model_file(file, "a new model that does not fit"); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(message, err_value("File too large (os error 27)"));
  EXPECT_EQ(contents(file), "previous model");
  EXPECT_EQ(entries(), 1u);
}

TEST_F(ModelFileIo, AFailedSaveKeepsThePreviousFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "permission checks do not apply to root";
  const std::string file = path("model.txt");
  write_raw(file, "previous model");
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  EXPECT_EQ(fault_message([&] { write_model_file(file, "new"); }),
            err_value("Permission denied (os error 13)"));
  EXPECT_EQ(contents(file), "previous model");
}

TEST_F(ModelFileIo, WritesSpecialFilesInPlace) {
  write_model_file("/dev/null", "discarded");
  const std::string fifo = path("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Keep a reader open so that opening the pipe for writing does not block.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  write_model_file(fifo, "through the pipe");
  char buffer[64] = {};
  EXPECT_EQ(::read(reader, buffer, sizeof buffer), 16);
  EXPECT_EQ(std::string(buffer), "through the pipe");
  ::close(reader);
  EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST_F(ModelFileIo, ReportsOperatingSystemErrors) {
  EXPECT_EQ(fault_message([&] { read_text_file(path("absent.txt")); }),
            err_value("No such file or directory (os error 2)"));
  EXPECT_EQ(fault_message([&] { write_model_file(path("no/such/dir.txt"), "x"); }),
            err_value("No such file or directory (os error 2)"));
  EXPECT_EQ(fault_message([&] { write_model_file(directory_.string(), "x"); }),
            err_value("Is a directory (os error 21)"));
  EXPECT_EQ(fault_message([&] { read_text_file(directory_.string()); }),
            err_value("Is a directory (os error 21)"));
  if (fs::exists("/dev/full")) {
    EXPECT_EQ(fault_message([&] { write_model_file("/dev/full", "x"); }),
              err_value("No space left on device (os error 28)"));
  }
}

TEST_F(ModelFileIo, RefusesTextThatIsNotUtf8) {
  const std::string file = path("model.txt");
  const std::string invalid[] = {"\xff", "a\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"};
  for (const std::string& text : invalid) {
    write_raw(file, text);
    EXPECT_EQ(fault_message([&] { read_text_file(file); }),
              err_value("stream did not contain valid UTF-8"));
  }
  write_raw(file, "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  EXPECT_EQ(read_text_file(file), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
}

}  // namespace
}  // namespace quorvanta
