#include "app/keyfile.h"

#ifdef _WIN32
#include "serial/windows_api.h"
#include "serial/windows_text.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "app/file_names.h"
#include "app/languages.h"

namespace tarvex {

uint8_t TFillerGenerator::Draw() {
  seed_ = seed_ * 134775813u + 1u;
  return static_cast<uint8_t>(seed_ >> 24);
}

uint32_t NewFillerSeed() {
  const auto ticks = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  if (ticks != 0) return static_cast<uint32_t>(static_cast<uint64_t>(ticks));
  // A clock stuck at its epoch would give every file the same filler.
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
  return static_cast<uint32_t>(static_cast<uint64_t>(ms));
}

std::vector<uint8_t> EncodeImage(std::span<const uint8_t> image, uint32_t seed) {
  TFillerGenerator gen(seed);
  std::vector<uint8_t> file(2 * image.size());
  for (size_t k = 0; k < image.size(); ++k) {
    const uint8_t filler1 = gen.Draw();
    file[2 * k] = static_cast<uint8_t>((filler1 & 0xF0) | (image[k] & 0x0F));
    gen.Advance();
    const uint8_t filler2 = gen.Draw();
    file[2 * k + 1] = static_cast<uint8_t>((image[k] & 0xF0) | (filler2 & 0x0F));
    gen.Advance();
  }
  return file;
}

void DecodeImage(std::span<const uint8_t> file, std::span<uint8_t> image) {
  const size_t pairs = std::min(image.size(), file.size() / 2);
  for (size_t k = 0; k < pairs; ++k)
    image[k] = static_cast<uint8_t>((file[2 * k] & 0x0F) | (file[2 * k + 1] & 0xF0));
}

std::string SaveFileName(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || name.find_first_of("\\:/", dot) != std::string::npos) return name + ".tvx";
  return name.substr(0, dot) + ".tvx";
}

namespace {

#ifdef _WIN32
// The error of the last failed call, and its text in the system's words.
int LastFileError() { return static_cast<int>(::GetLastError()); }

std::string SystemText(int err) { return SystemErrorText(static_cast<unsigned long>(err)); }
#else
int LastFileError() { return errno; }

std::string SystemText(int err) { return std::system_category().message(err); }
#endif

// Every I/O failure names the file as well as the cause: the user typed the
// name, and a bare "Permission denied" does not say which file was meant.
std::string IoFailureText(const std::string& path, int err) { return path + ": " + SystemText(err); }

std::string NotKeyCodeFileText(const TSession& s) {
  // A session whose extra texts were never applied would show an empty box.
  if (!s.ExtraStrings.NotKeyCodeFile.empty()) return s.ExtraStrings.NotKeyCodeFile;
  return ExtraStrings(TLanguage::English).NotKeyCodeFile;
}

#ifdef _WIN32

// Owns the temporary file of a save until it has been renamed into place, so
// that every early return removes it. Failures leave their cause for
// LastFileError. The file gets the folder's permissions: Windows has no
// umask to beat, and the folders of a user's profile are private already.
class TTempFile {
 public:
  TTempFile() = default;
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;
  ~TTempFile() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    if (!path_.empty()) ::DeleteFileW(WideFromUtf8(path_).c_str());
  }

  // Creates a new file next to target, under a name no other file has.
  bool Create(const std::string& target) {
    const size_t sep = target.find_last_of("/\\:");
    const std::string folder = sep == std::string::npos ? std::string() : target.substr(0, sep + 1);
    TFillerGenerator names(NewFillerSeed() ^ (static_cast<uint32_t>(::GetCurrentProcessId()) << 16));
    for (int attempt = 0; attempt < 100; ++attempt) {
      names.Advance();
      const std::string name = folder + ".tarvex-" + std::to_string(names.Seed()) + ".tmp";
      handle_ = ::CreateFileW(WideFromUtf8(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle_ != INVALID_HANDLE_VALUE) {
        path_ = name;
        return true;
      }
      if (::GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    return false;
  }

  bool WriteAll(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
      const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 20));
      DWORD n = 0;
      if (!::WriteFile(handle_, bytes.data(), piece, &n, nullptr)) return false;
      if (n == 0) {  // a write that makes no progress would loop for ever
        ::SetLastError(ERROR_WRITE_FAULT);
        return false;
      }
      bytes = bytes.subspan(n);
    }
    return true;
  }

  // Flushes to the disk and closes; the data must be durable before the
  // rename makes it the only copy.
  bool SyncAndClose() {
    if (!::FlushFileBuffers(handle_)) return false;
    const HANDLE h = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return ::CloseHandle(h) != 0;
  }

  // Replaces an earlier file of that name in one step; the write-through
  // flag returns only once the new name is on the disk.
  bool RenameTo(const std::string& target) {
    if (!::MoveFileExW(WideFromUtf8(path_).c_str(), WideFromUtf8(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return false;
    path_.clear();
    return true;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::string path_;
};

// MOVEFILE_WRITE_THROUGH has made the rename durable already.
void SyncFolderOf(const std::string&) {}

#else

// Owns the temporary file of a save until it has been renamed into place, so
// that every early return removes it.
class TTempFile {
 public:
  TTempFile() = default;
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;
  ~TTempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  // Creates an owner-only file next to target. False with errno set.
  bool Create(const std::string& target) {
    const size_t slash = target.rfind('/');
    std::string tmpl = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + ".tarvex-XXXXXX";
    fd_ = ::mkstemp(tmpl.data());
    if (fd_ < 0) return false;
    path_ = tmpl;
    // The file holds user codes; mkstemp already makes it owner-only, but
    // say so rather than rely on it.
    return ::fchmod(fd_, S_IRUSR | S_IWUSR) == 0;
  }

  bool WriteAll(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) {  // a write that makes no progress would loop for ever
        errno = EIO;
        return false;
      }
      bytes = bytes.subspan(static_cast<size_t>(n));
    }
    return true;
  }

  // Flushes to the disk and closes; the data must be durable before the
  // rename makes it the only copy.
  bool SyncAndClose() {
    if (::fdatasync(fd_) != 0) return false;
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

  bool RenameTo(const std::string& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) return false;
    path_.clear();
    return true;
  }

 private:
  int fd_ = -1;
  std::string path_;
};

// Makes the rename itself survive a power cut. Best effort: the file is
// already complete and in place when this runs.
void SyncFolderOf(const std::string& target) {
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

// A name that is a symbolic link is saved through: the file it points to
// is replaced and the link stays, as the user would expect of a link to a
// file kept elsewhere. The rename alone would replace the link itself with
// a file. A link that points nowhere yet gets its file created. False with
// errno set (ELOOP for a chain of links that does not end).
bool FollowLinks(const std::string& path, std::string* resolved) {
  std::string name = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *resolved = name;  // not there yet, or not a link: the save says what is wrong
      return true;
    }
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(name.c_str(), target.data(), target.size());
    if (n <= 0) {
      if (n == 0) errno = ENOENT;
      return false;
    }
    if (static_cast<size_t>(n) >= target.size()) {  // the link changed under us
      errno = ELOOP;
      return false;
    }
    target.resize(static_cast<size_t>(n));
    const size_t slash = name.rfind('/');
    name = target.front() == '/' || slash == std::string::npos ? target : name.substr(0, slash + 1) + target;
  }
  errno = ELOOP;
  return false;
}

#endif

}  // namespace

bool WriteKeyCodeFile(std::span<const uint8_t> image, const std::string& path, std::string* error) {
  const std::vector<uint8_t> file = EncodeImage(image, NewFillerSeed());
  std::string target = path;
#ifndef _WIN32
  if (!FollowLinks(path, &target)) {
    if (error) *error = IoFailureText(path, errno);
    return false;
  }
#endif
  TTempFile tmp;
  if (!tmp.Create(target) || !tmp.WriteAll(file) || !tmp.SyncAndClose() || !tmp.RenameTo(target)) {
    const int err = LastFileError();  // before the temporary file's removal can change it
    if (error) *error = IoFailureText(path, err);
    return false;
  }
  SyncFolderOf(target);
  return true;
}

namespace {

bool SaveImage(TSession& s, std::span<uint8_t> image, const std::string& name, std::string* writtenPath) {
  // The header goes into the image before the file is touched, so the image
  // says where it came from even when the file cannot be written.
  SetImageModel(image, s.Panel.ConnectedModel);
  SetImageDescription(image, s.Panel.PanelDescription);
  SetImageFirmware(image, s.Panel.FirmwareVersion);

  const std::string path = SaveFileName(name);
  if (writtenPath) *writtenPath = path;
  std::string error;
  if (!WriteKeyCodeFile(image, path, &error)) {
    s.Box(TBoxKind::Error, error);
    return false;
  }
  return true;
}

enum class TReadResult { Ok, NotFound, WrongLength, IoError };

// Reads a whole key-code file of either length. Only regular files are
// opened: a device or a fifo could block the window for ever or have side
// effects when opened. *ioText receives the path and the system's
// description for IoError and NotFound.
#ifdef _WIN32
TReadResult ReadKeyCodeBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* ioText) {
  auto isKeyCodeLength = [](int64_t size) {
    return size == static_cast<int64_t>(kSmallFileSize) || size == static_cast<int64_t>(kLargeFileSize);
  };
  auto ioFailure = [&](DWORD e) {
    *ioText = IoFailureText(path, static_cast<int>(e));
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME ? TReadResult::NotFound
                                                                                              : TReadResult::IoError;
  };
  // Windows has no message of its own for it: opening a folder as a file
  // only answers "access denied".
  auto folder = [&] {
    *ioText = path + ": is a folder";
    return TReadResult::IoError;
  };

  WIN32_FILE_ATTRIBUTE_DATA info{};
  if (!::GetFileAttributesExW(WideFromUtf8(path).c_str(), GetFileExInfoStandard, &info)) return ioFailure(::GetLastError());
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return folder();

  const HANDLE h = ::CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return ioFailure(::GetLastError());
  struct TCloser {
    HANDLE h;
    ~TCloser() { ::CloseHandle(h); }
  } closer{h};
  // Device names (NUL, COM1, CON) open like files in every folder.
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    *ioText = path + ": not a regular file";
    return TReadResult::IoError;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(h, &size)) return ioFailure(::GetLastError());
  if (!isKeyCodeLength(size.QuadPart)) return TReadResult::WrongLength;

  // One byte more than the size shows a file that grew while it was read.
  std::vector<uint8_t> buf(static_cast<size_t>(size.QuadPart) + 1);
  size_t got = 0;
  while (got < buf.size()) {
    DWORD n = 0;
    if (!::ReadFile(h, buf.data() + got, static_cast<DWORD>(buf.size() - got), &n, nullptr))
      return ioFailure(::GetLastError());
    if (n == 0) break;
    got += n;
  }
  if (got != static_cast<size_t>(size.QuadPart)) return TReadResult::WrongLength;
  buf.resize(got);
  *bytes = std::move(buf);
  return TReadResult::Ok;
}
#else
TReadResult ReadKeyCodeBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* ioText) {
  auto isKeyCodeLength = [](off_t size) {
    return size == static_cast<off_t>(kSmallFileSize) || size == static_cast<off_t>(kLargeFileSize);
  };
  auto notRegular = [&](const struct stat& st) {
    *ioText = S_ISDIR(st.st_mode) ? IoFailureText(path, EISDIR) : path + ": not a regular file";
    return TReadResult::IoError;
  };
  auto ioFailure = [&](int e) {
    *ioText = IoFailureText(path, e);
    return e == ENOENT || e == ENOTDIR ? TReadResult::NotFound : TReadResult::IoError;
  };

  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return ioFailure(errno);
  if (!S_ISREG(st.st_mode)) return notRegular(st);
  if (!isKeyCodeLength(st.st_size)) return TReadResult::WrongLength;

  // O_NONBLOCK keeps the open from hanging should the name have been
  // replaced by a fifo since the stat.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return ioFailure(errno);
  struct TCloser {
    int fd;
    ~TCloser() { ::close(fd); }
  } closer{fd};
  if (::fstat(fd, &st) != 0) return ioFailure(errno);
  if (!S_ISREG(st.st_mode)) return notRegular(st);
  if (!isKeyCodeLength(st.st_size)) return TReadResult::WrongLength;

  // The size is one of the two lengths, so the buffer is bounded; one byte
  // more than the size shows a file that grew while it was read.
  std::vector<uint8_t> buf(static_cast<size_t>(st.st_size) + 1);
  size_t got = 0;
  while (got < buf.size()) {
    const ssize_t n = ::read(fd, buf.data() + got, buf.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ioFailure(errno);
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got != static_cast<size_t>(st.st_size)) return TReadResult::WrongLength;
  buf.resize(got);
  *bytes = std::move(buf);
  return TReadResult::Ok;
}
#endif

// Keys 16 to 127 carry no names on a small panel; whatever a file holds
// there must not reach one.
void ClearUnnamedKeys(std::span<uint8_t> smallImage) {
  for (size_t k = kNamedKeys; k < kKeyCount; ++k)
    smallImage[kKeyTableOffset + k * kKeyEntrySize + kKeyNameOffset] = 0;
}

TLoadResult LoadImage(TSession& s, std::span<uint8_t> image, bool smallLayout, const std::string& name) {
  std::vector<uint8_t> file;
  const TWipeOnExit wipeFile(file);
  std::string ioText;
  switch (ReadKeyCodeBytes(name, &file, &ioText)) {
    case TReadResult::Ok: break;
    case TReadResult::NotFound:
      s.Box(TBoxKind::Error, s.LangStrings.FileNotFound);
      return TLoadResult::NotFound;
    case TReadResult::WrongLength:
      s.Box(TBoxKind::Error, NotKeyCodeFileText(s));
      return TLoadResult::NotKeyCodeFile;
    case TReadResult::IoError:
      s.Box(TBoxKind::Error, ioText);
      return TLoadResult::IoError;
  }
  // A file of the other layout's length was saved from the other class of
  // panel.
  if (file.size() != 2 * image.size()) {
    s.Box(TBoxKind::Error, s.LangStrings.PanelMismatch);
    return TLoadResult::Mismatch;
  }

  // Decoded aside so that a rejected file leaves the image as it was.
  std::vector<uint8_t> scratch(image.size(), 0xFF);
  const TWipeOnExit wipeScratch(scratch);
  DecodeImage(file, scratch);
  if (smallLayout) ClearUnnamedKeys(scratch);
  if ((ImageModel(scratch) == kLargeModel) != (s.Panel.ConnectedModel == kLargeModel)) {
    s.Box(TBoxKind::Error, s.LangStrings.PanelMismatch);
    return TLoadResult::Mismatch;
  }
  std::copy(scratch.begin(), scratch.end(), image.begin());
  return TLoadResult::Loaded;
}

}  // namespace

bool SaveSmallFile(TSession& s, const std::string& name, std::string* writtenPath) {
  return SaveImage(s, s.Small->Bytes(), name, writtenPath);
}

bool SaveLargeFile(TSession& s, const std::string& name, std::string* writtenPath) {
  return SaveImage(s, s.Large->Bytes(), name, writtenPath);
}

TLoadResult LoadSmallFile(TSession& s, const std::string& name) { return LoadImage(s, s.Small->Bytes(), true, name); }

TLoadResult LoadLargeFile(TSession& s, const std::string& name) { return LoadImage(s, s.Large->Bytes(), false, name); }

bool DecodeKeyCodeFile(const std::string& path, std::vector<uint8_t>* image, std::string* error) {
  std::vector<uint8_t> file;
  std::string ioText;
  std::string why;
  switch (ReadKeyCodeBytes(path, &file, &ioText)) {
    case TReadResult::Ok: {
      std::vector<uint8_t> decoded(file.size() / 2, 0xFF);
      DecodeImage(file, decoded);
      *image = std::move(decoded);
      return true;
    }
    case TReadResult::NotFound:
    case TReadResult::IoError: why = ioText; break;
    case TReadResult::WrongLength:
      why = path + ": " + ExtraStrings(TLanguage::English).NotKeyCodeFile + " (a key-code file has " +
            std::to_string(kSmallFileSize) + " or " + std::to_string(kLargeFileSize) + " bytes)";
      break;
  }
  if (error) *error = why;
  return false;
}

}  // namespace tarvex
