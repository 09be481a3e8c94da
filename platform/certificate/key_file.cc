#include "platform/certificate/key_file.h"

#include <openssl/crypto.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/failure/failure.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace kolvo {
namespace {

// A missing file is named with the directory it was looked for in: the name is a bare one, and
// the directory is what a scheduled job most often gets wrong.
std::string working_directory() {
  std::error_code error;
  const std::filesystem::path directory = std::filesystem::current_path(error);
  return error ? std::string("an unknown working directory") : directory.string();
}

[[noreturn]] void fail_to_open(const std::string& file, const std::string& cause) {
  throw Failure("certificate: cannot open the key file \"" + file + "\" in " + working_directory() +
                ": " + cause);
}

void check_size(const std::string& file, std::uint64_t size) {
  if (size > kMaxKeyFileBytes) {
    throw Failure("certificate: the key file \"" + file + "\" is too large for a key file");
  }
}

[[noreturn]] void fail_irregular(const std::string& file) {
  throw Failure("certificate: the key file \"" + file + "\" is not a regular file");
}

#ifdef _WIN32

struct Handle {
  explicit Handle(HANDLE handle) : handle(handle) {}
  ~Handle() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE handle;
};

// Windows' own words for the error are in the user's language and code page; the number is
// what a search finds, and the common ones get a name.
std::string system_error(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "No such file or directory";
    case ERROR_ACCESS_DENIED:
      return "Permission denied";
    case ERROR_SHARING_VIOLATION:
      return "The file is in use by another program";
    default:
      return "Windows error " + std::to_string(code);
  }
}

#else

struct FileDescriptor {
  explicit FileDescriptor(int fd) : fd(fd) {}
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int fd;
};

std::string system_error() { return std::error_code(errno, std::generic_category()).message(); }

#endif

}  // namespace

KeyFileBytes::~KeyFileBytes() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }

#ifdef _WIN32

std::unique_ptr<KeyFileBytes> read_key_file(const std::string& file, std::size_t padding) {
  // The name is narrow text, in the code page the rest of the program's text is in. Others may
  // read the file meanwhile, but not write it.
  const Handle input(CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (input.handle == INVALID_HANDLE_VALUE) fail_to_open(file, system_error(GetLastError()));
  // A pipe or a device in the key file's place is refused instead of waited on.
  if (GetFileType(input.handle) != FILE_TYPE_DISK) fail_irregular(file);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(input.handle, &size)) {
    throw Failure("certificate: cannot read the key file \"" + file +
                  "\": " + system_error(GetLastError()));
  }
  check_size(file, static_cast<std::uint64_t>(size.QuadPart));
  auto bytes = std::make_unique<KeyFileBytes>(static_cast<std::size_t>(size.QuadPart), padding);
  std::size_t done = 0;
  while (done < bytes->size()) {
    DWORD got = 0;
    if (!ReadFile(input.handle, bytes->data() + done, static_cast<DWORD>(bytes->size() - done),
                  &got, nullptr)) {
      throw Failure("certificate: cannot read the key file \"" + file +
                    "\": " + system_error(GetLastError()));
    }
    if (got == 0) break;  // the file shrank since its size was read
    done += got;
  }
  bytes->resize(done);
  return bytes;
}

#else

std::unique_ptr<KeyFileBytes> read_key_file(const std::string& file, std::size_t padding) {
  // Non-blocking, so that a FIFO in the key file's place is refused below instead of waited on.
  // Not through a symbolic link: that could lead to a key that is not this user's.
  const FileDescriptor input(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
  if (input.fd < 0 && errno == ELOOP) {
    throw Failure("certificate: the key file \"" + file + "\" is a symbolic link");
  }
  if (input.fd < 0) fail_to_open(file, system_error());
  struct stat status {};
  if (::fstat(input.fd, &status) != 0) {
    throw Failure("certificate: cannot read the key file \"" + file + "\": " + system_error());
  }
  if (!S_ISREG(status.st_mode)) fail_irregular(file);
  // A key that someone else may write is one they could swap for a key of their own account,
  // whose registry would then be printed as ours; one they may read is theirs to sign in with.
  if (status.st_uid != ::geteuid() || (status.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    throw Failure("certificate: the key file \"" + file + "\" has mode " + mode + " and owner " +
                  std::to_string(status.st_uid) + ": it must be this user's (" +
                  std::to_string(::geteuid()) + ") and readable by it alone: chmod 600 " + file);
  }
  check_size(file, static_cast<std::uint64_t>(status.st_size));
  auto bytes = std::make_unique<KeyFileBytes>(static_cast<std::size_t>(status.st_size), padding);
  std::size_t done = 0;
  while (done < bytes->size()) {
    const ssize_t got = ::read(input.fd, bytes->data() + done, bytes->size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      throw Failure("certificate: cannot read the key file \"" + file + "\": " + system_error());
    }
    if (got == 0) break;  // the file shrank since fstat
    done += static_cast<std::size_t>(got);
  }
  bytes->resize(done);
  return bytes;
}

#endif

}  // namespace kolvo
