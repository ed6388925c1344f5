// Writing and reading model files. A save replaces a regular file only once the new text is
// completely on disk, so a failed save leaves the previous model intact.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "persist/model_text.hpp"
#include "persist/utf8.hpp"

namespace quorvanta {

namespace {

[[noreturn]] void fail_io(const std::string& description) {
  fail(std::string(kErrValuePrefix) + description);
}

// A path with a NUL byte would be cut short by the operating system and name another file.
void refuse_nul_byte(const std::string& path) {
  if (path.find('\0') != std::string::npos) fail_io("file name contained an unexpected NUL byte");
}

std::string os_error_description(int error) {
  return std::system_category().message(error) + " (os error " + std::to_string(error) + ")";
}

// Closes the descriptor on every path; `release` hands the close (and its error) to the caller.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Writes the whole text; an empty description means success.
std::string write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return os_error_description(errno);
    }
    if (written == 0) return "failed to write whole buffer";
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Devices, pipes and other special files are written in place: truncate, then write.
void write_in_place(const std::string& path, const std::string& text) {
  FileDescriptor file(open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (file.get() < 0) fail_io(os_error_description(errno));
  const std::string error = write_all(file.get(), text);
  if (!error.empty()) fail_io(error);
}

// A name beside the target that no other save of this process is using.
std::string temporary_path_for(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  return target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
}

// Creates the temporary file: mode 0666 less the umask, as a new target would get, or the
// permission bits of the file it is about to replace. Returns -1 when it cannot be created.
int create_temporary(const std::string& temporary, const struct stat* replaced) {
  const int fd = open_retrying(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 || replaced == nullptr) return fd;
  // Keeping the owner matters when an administrator saves over a user's file; it may be refused
  // for an unprivileged caller, in which case the file simply belongs to whoever saved it.
  [[maybe_unused]] const int owner_kept = ::fchown(fd, replaced->st_uid, replaced->st_gid);
  [[maybe_unused]] const int mode_kept = ::fchmod(fd, replaced->st_mode & 07777);
  return fd;
}

// Writes the text to a fresh file beside the target and renames it over the target. Returns
// false, having changed nothing, when no temporary file can be created there.
bool write_by_rename(const std::string& target, const std::string& text,
                     const struct stat* replaced) {
  const std::string temporary = temporary_path_for(target);
  FileDescriptor file(create_temporary(temporary, replaced));
  if (file.get() < 0) return false;
  std::string error = write_all(file.get(), text);
  if (error.empty() && ::fsync(file.get()) != 0 && errno != EINVAL) {
    error = os_error_description(errno);
  }
  if (error.empty() && ::close(file.release()) != 0 && errno != EINTR) {
    error = os_error_description(errno);
  }
  if (error.empty() && ::rename(temporary.c_str(), target.c_str()) != 0) {
    error = os_error_description(errno);
  }
  if (!error.empty()) {
    ::unlink(temporary.c_str());
    fail_io(error);
  }
  return true;
}

}  // namespace

void write_model_file(const std::string& path, const std::string& text) {
  refuse_nul_byte(path);
  // A symbolic link stays a link: the file it points to is the one replaced.
  std::string target = path;
  struct stat link_status {};
  if (::lstat(path.c_str(), &link_status) == 0 && S_ISLNK(link_status.st_mode)) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
      write_in_place(path, text);
      return;
    }
    target = resolved;
    std::free(resolved);
  }

  struct stat status {};
  if (::stat(target.c_str(), &status) == 0) {
    // A file the caller may not write keeps refusing the save, as an in-place write would.
    if (S_ISREG(status.st_mode) && ::access(target.c_str(), W_OK) == 0 &&
        write_by_rename(target, text, &status)) {
      return;
    }
  } else if (errno == ENOENT) {
    if (write_by_rename(target, text, nullptr)) return;
  }
  // Special files, and directories where no temporary file can be made, are written as they
  // are; the open reports why a target cannot be written at all.
  write_in_place(target, text);
}

std::string read_text_file(const std::string& path) {
  refuse_nul_byte(path);
  FileDescriptor file(open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) fail_io(os_error_description(errno));
  std::string text;
  char buffer[1 << 16];
  while (true) {
    // A file without end (a pipe, a device) or a huge one can be given up on with Ctrl-C.
    check_interruption();
    const ssize_t n_read = ::read(file.get(), buffer, sizeof buffer);
    if (n_read < 0) {
      if (errno == EINTR) continue;
      fail_io(os_error_description(errno));
    }
    if (n_read == 0) break;
    text.append(buffer, static_cast<std::size_t>(n_read));
  }
  if (!is_valid_utf8(text)) fail_io("stream did not contain valid UTF-8");
  return text;
}

}  // namespace quorvanta
