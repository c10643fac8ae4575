#include "app/keyfile.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include "serial/windows_api.h"
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/languages.h"
#include "tests/support/key_file.h"
#include "tests/support/scratch_dir.h"
#include "tests/test_session.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A fresh folder in the temporary folder, removed with everything in it at
// the end.
struct TScratchDir : test::TScratchDir {
  TScratchDir() : test::TScratchDir("tarvex-keyfile") { EXPECT_TRUE(Ok()) << "cannot make a scratch folder"; }
};

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot open " << path;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) { ASSERT_TRUE(test::WriteBytes(path, bytes)) << "cannot write " << path; }

void FillRandom(std::span<uint8_t> bytes, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  for (auto& b : bytes) b = static_cast<uint8_t>(byte(rng));
}

Bytes RandomBytes(size_t n, uint32_t seed) {
  Bytes b(n);
  FillRandom(b, seed);
  return b;
}

Bytes Copy(std::span<const uint8_t> bytes) { return Bytes(bytes.begin(), bytes.end()); }

std::string ErrorBox(const std::string& text) { return "Error: " + text; }

// The box of a file of the other panel class, as an English user reads it.
const std::string kMismatchBox =
    "Error: Connected panel type doesn't match\r\nthe data saved on file. The operation will be aborted.";

#ifdef _WIN32
// The system's description of an error, as Windows words it.
std::string SystemText(DWORD err) {
  char buf[512] = {};
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, buf,
                             sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ')) --n;
  return n ? std::string(buf, n) : "system error " + std::to_string(err);
}
const std::string kMissingFolderText = SystemText(ERROR_PATH_NOT_FOUND);
const std::string kMissingFileText = SystemText(ERROR_FILE_NOT_FOUND);
const std::string kFolderText = "is a folder";
#else
mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

std::string SystemText(int err) { return std::strerror(err); }
const std::string kMissingFolderText = SystemText(ENOENT);
const std::string kMissingFileText = SystemText(ENOENT);
const std::string kFolderText = SystemText(EISDIR);
#endif

// The session of a connected small panel, with every text in English.
struct TSmallSession : test::TTestSession {
  TSmallSession() {
    ApplyLanguageTexts(s, TLanguage::English);
    s.Panel.ConnectedModel = 23;
    s.Panel.FirmwareVersion = 2.10;
    s.Panel.PanelDescription = "VYR8 v.2.10";
  }
};

struct TLargeSession : test::TTestSession {
  TLargeSession() {
    ApplyLanguageTexts(s, TLanguage::English);
    s.Panel.ConnectedModel = kLargeModel;
    s.Panel.FirmwareVersion = 2.05;
    s.Panel.PanelDescription = "VYR 320 v.2.05";
  }
};

// The header a save must leave, written out byte by byte from the session.
Bytes WithHeader(Bytes image, int32_t model, double firmware, const std::string& description) {
  const auto m = static_cast<uint32_t>(model);
  for (int i = 0; i < 4; ++i) image[static_cast<size_t>(i)] = static_cast<uint8_t>(m >> (8 * i));
  uint64_t bits;
  std::memcpy(&bits, &firmware, sizeof bits);
  for (int i = 0; i < 8; ++i) image[8 + static_cast<size_t>(i)] = static_cast<uint8_t>(bits >> (8 * i));
  const size_t n = std::min<size_t>(description.size(), 100);
  image[16] = static_cast<uint8_t>(n);
  std::copy_n(description.begin(), n, image.begin() + 17);
  return image;
}

size_t KeyNameLengthOffset(size_t key) { return 1009 + 21 * key; }

// ---- Encoding ----

TEST(KeyFileEncode, SeedZeroTurns5A17Into0A50B717) {
  const Bytes image{0x5A, 0x17};
  EXPECT_EQ(EncodeImage(image, 0), (Bytes{0x0A, 0x50, 0xB7, 0x17}));
}

TEST(KeyFileEncode, GeneratorDrawsTopByteAndWraps) {
  TFillerGenerator g(0);
  EXPECT_EQ(g.Draw(), 0x00);
  EXPECT_EQ(g.Seed(), 1u);
  g.Advance();
  EXPECT_EQ(g.Seed(), 2u);

  // 0xFFFFFFFF x 0x08088405 + 1 = 0xF7F77BFC modulo 2^32.
  TFillerGenerator w(0xFFFFFFFFu);
  EXPECT_EQ(w.Draw(), 0xF7);
  EXPECT_EQ(w.Seed(), 0xF7F77BFCu);

  TFillerGenerator a(0xFFFFFFFFu);
  a.Advance();
  EXPECT_EQ(a.Seed(), 0u);
}

TEST(KeyFileEncode, FillerFollowsDrawWriteAdvanceOrder) {
  // Worked by hand from the documented rule (draw: seed := seed x 134775813
  // + 1, the byte is the top eight bits; the seed steps by 1 after every file
  // byte): the low nibble of each image byte goes with the first draw's high
  // nibble, its high nibble with the second draw's low nibble.
  const Bytes image{0x12, 0x34, 0xAB, 0xCD, 0x00, 0xFF};
  EXPECT_EQ(EncodeImage(image, 0x89ABCDEFu),
            (Bytes{0x22, 0x15, 0x14, 0x37, 0xFB, 0xA8, 0x0D, 0xCF, 0x10, 0x00, 0x3F, 0xFD}));

  // A longer image against the same rule, written out here apart from the
  // program's generator.
  const Bytes longer = RandomBytes(300, 7);
  uint32_t seed = 0x89ABCDEFu;
  auto draw = [&seed] {
    seed = seed * 134775813u + 1u;
    return static_cast<uint8_t>(seed >> 24);
  };
  const Bytes file = EncodeImage(longer, 0x89ABCDEFu);
  ASSERT_EQ(file.size(), 600u);
  for (size_t k = 0; k < longer.size(); ++k) {
    const uint8_t f1 = draw();
    ++seed;
    const uint8_t f2 = draw();
    ++seed;
    ASSERT_EQ(file[2 * k], (f1 & 0xF0) | (longer[k] & 0x0F)) << "byte " << 2 * k;
    ASSERT_EQ(file[2 * k + 1], (longer[k] & 0xF0) | (f2 & 0x0F)) << "byte " << 2 * k + 1;
  }
}

TEST(KeyFileEncode, RoundTripOfRandomImages) {
  for (size_t size : {size_t{1}, size_t{17}, kSmallImageSize, kLargeImageSize}) {
    for (uint32_t seed : {0u, 1u, 0xDEADBEEFu}) {
      const Bytes image = RandomBytes(size, seed + static_cast<uint32_t>(size));
      const Bytes file = EncodeImage(image, seed);
      ASSERT_EQ(file.size(), 2 * size);
      Bytes back(size, 0xFF);
      DecodeImage(file, back);
      ASSERT_EQ(back, image) << "size " << size << " seed " << seed;
    }
  }
}

TEST(KeyFileEncode, DecodeIgnoresFillerNibbles) {
  const Bytes image = RandomBytes(kSmallImageSize, 11);
  Bytes file = EncodeImage(image, 1234);
  const Bytes noise = RandomBytes(file.size(), 99);
  for (size_t i = 0; i < file.size(); ++i) file[i] ^= (i % 2 == 0) ? (noise[i] & 0xF0) : (noise[i] & 0x0F);
  Bytes back(image.size());
  DecodeImage(file, back);
  EXPECT_EQ(back, image);
}

TEST(KeyFileEncode, PlainTextDoesNotSurviveEncoding) {
  std::string code = "1234567890ABCDEF";
  Bytes image(code.begin(), code.end());
  const Bytes file = EncodeImage(image, 42);
  EXPECT_EQ(std::search(file.begin(), file.end(), image.begin(), image.end()), file.end());
  // Different seeds give different filler for the same data.
  EXPECT_NE(EncodeImage(image, 42), EncodeImage(image, 43));
}

// ---- Save names ----

TEST(KeyFileName, ExtensionIsReplacedOrAppended) {
  EXPECT_EQ(SaveFileName("site1.txt"), "site1.tvx");
  EXPECT_EQ(SaveFileName("site1"), "site1.tvx");
  EXPECT_EQ(SaveFileName("site1.tvx"), "site1.tvx");
  EXPECT_EQ(SaveFileName("my.files\\site1"), "my.files\\site1.tvx");
  EXPECT_EQ(SaveFileName("c:site1"), "c:site1.tvx");
  EXPECT_EQ(SaveFileName("a.b:site1"), "a.b:site1.tvx");
  EXPECT_EQ(SaveFileName("dir.d/site"), "dir.d/site.tvx");
  EXPECT_EQ(SaveFileName("dir.d/site.dat"), "dir.d/site.tvx");
  EXPECT_EQ(SaveFileName(""), ".tvx");
  EXPECT_EQ(SaveFileName("a.b.c"), "a.b.tvx");
  EXPECT_EQ(SaveFileName("site."), "site.tvx");
}

// ---- Save ----

TEST(KeyFileSave, SmallPanelWritesExactFileWithHeader) {
  TScratchDir dir;
  TSmallSession t;
  auto image = t.s.Small->Bytes();
  FillRandom(image, 1);
  const Bytes before = Copy(image);
  const Bytes expected = WithHeader(before, 23, 2.10, "VYR8 v.2.10");

  std::string written;
  ASSERT_TRUE(SaveSmallFile(t.s, dir / "site1.txt", &written));
  EXPECT_EQ(written, dir / "site1.tvx");
  EXPECT_TRUE(t.ui.Boxes().empty());
  EXPECT_EQ(dir.Entries(), std::set<std::string>{"site1.tvx"});

  const Bytes file = ReadFile(written);
  ASSERT_EQ(file.size(), 8416u);
  Bytes decoded(kSmallImageSize);
  DecodeImage(file, decoded);
  EXPECT_EQ(decoded, expected);
  // The bytes the header leaves alone: 4 to 7, after the description's
  // characters, and 117 to 119.
  for (size_t i : {4, 5, 6, 7, 17 + 11, 116, 117, 118, 119}) EXPECT_EQ(decoded[i], before[i]) << "byte " << i;
  // The image in memory carries the header too.
  EXPECT_EQ(Copy(t.s.Small->Bytes()), expected);
}

TEST(KeyFileSave, DescriptionIsCutTo100Characters) {
  TScratchDir dir;
  TSmallSession t;
  std::string longText;
  for (int i = 0; i < 150; ++i) longText += static_cast<char>('A' + i % 26);
  t.s.Panel.PanelDescription = longText;
  t.s.Panel.FirmwareVersion = -0.0;  // the sign bit must travel too
  const Bytes before = Copy(t.s.Small->Bytes());

  std::string written;
  ASSERT_TRUE(SaveSmallFile(t.s, dir / "long", &written));
  Bytes decoded(kSmallImageSize);
  DecodeImage(ReadFile(written), decoded);
  EXPECT_EQ(decoded[16], 100);
  EXPECT_EQ(std::string(decoded.begin() + 17, decoded.begin() + 117), longText.substr(0, 100));
  EXPECT_EQ(decoded, WithHeader(before, 23, -0.0, longText));
  EXPECT_EQ(decoded[15], 0x80);  // top byte of -0.0
}

TEST(KeyFileSave, LargePanelWritesExactFile) {
  TScratchDir dir;
  TLargeSession t;
  auto image = t.s.Large->Bytes();
  FillRandom(image, 2);
  const Bytes expected = WithHeader(Copy(image), kLargeModel, 2.05, "VYR 320 v.2.05");

  std::string written;
  ASSERT_TRUE(SaveLargeFile(t.s, dir / "big", &written));
  EXPECT_EQ(written, dir / "big.tvx");
  const Bytes file = ReadFile(written);
  ASSERT_EQ(file.size(), 920496u);
  Bytes decoded(kLargeImageSize);
  DecodeImage(file, decoded);
  EXPECT_EQ(decoded, expected);
  EXPECT_TRUE(t.ui.Boxes().empty());
}

TEST(KeyFileSave, SameImageTwiceGivesDifferentFilesThatLoadAlike) {
  TScratchDir dir;
  TSmallSession t;
  FillRandom(t.s.Small->Bytes(), 3);
  ASSERT_TRUE(SaveSmallFile(t.s, dir / "one"));
  ASSERT_TRUE(SaveSmallFile(t.s, dir / "two"));
  const Bytes saved = Copy(t.s.Small->Bytes());
  EXPECT_NE(ReadFile(dir / "one.tvx"), ReadFile(dir / "two.tvx"));

  t.s.Small->Fill();
  ASSERT_EQ(LoadSmallFile(t.s, dir / "one.tvx"), TLoadResult::Loaded);
  const Bytes first = Copy(t.s.Small->Bytes());
  t.s.Small->Fill();
  ASSERT_EQ(LoadSmallFile(t.s, dir / "two.tvx"), TLoadResult::Loaded);
  EXPECT_EQ(Copy(t.s.Small->Bytes()), first);
  // Apart from the emptied key names, the load gives back what was saved.
  Bytes expected = saved;
  for (size_t k = 16; k < 128; ++k) expected[KeyNameLengthOffset(k)] = 0;
  EXPECT_EQ(first, expected);
}

#ifndef _WIN32
TEST(KeyFileSave, FileIsOwnerOnlyWhateverTheUmask) {
  TScratchDir dir;
  TSmallSession t;
  const mode_t old = ::umask(0);
  const bool saved = SaveSmallFile(t.s, dir / "codes");
  ::umask(old);
  ASSERT_TRUE(saved);
  EXPECT_EQ(ModeOf(dir / "codes.tvx"), 0600u);
}
#endif

TEST(KeyFileSave, ReplacesEarlierFileWithoutAskingAndMakesItOwnerOnly) {
  TScratchDir dir;
  TSmallSession t;
  const std::string path = dir / "site.tvx";
  WriteFile(path, Bytes{'o', 'l', 'd'});
#ifndef _WIN32
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
#endif
  FillRandom(t.s.Small->Bytes(), 4);

  ASSERT_TRUE(SaveSmallFile(t.s, dir / "site.dat"));
  const Bytes file = ReadFile(path);
  ASSERT_EQ(file.size(), kSmallFileSize);
  Bytes decoded(kSmallImageSize);
  DecodeImage(file, decoded);
  EXPECT_EQ(decoded, Copy(t.s.Small->Bytes()));
#ifndef _WIN32
  EXPECT_EQ(ModeOf(path), 0600u);
#endif
  EXPECT_EQ(dir.Entries(), std::set<std::string>{"site.tvx"});
  EXPECT_TRUE(t.ui.Boxes().empty());
}

#ifndef _WIN32
// True when the folder's permissions actually stop this process (they do
// not stop root).
bool PermissionsEnforced(const std::string& folder) {
  const std::string probe = folder + "/probe";
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return true;
  ::close(fd);
  ::unlink(probe.c_str());
  return false;
}

TEST(KeyFileSave, FailureInReadOnlyFolderKeepsEarlierFile) {
  TScratchDir dir;
  TSmallSession t;
  const std::string path = dir / "site.tvx";
  ASSERT_TRUE(SaveSmallFile(t.s, path));
  const Bytes earlier = ReadFile(path);
  FillRandom(t.s.Small->Bytes(), 5);
  t.ui.Clear();

  ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0);
  if (PermissionsEnforced(dir.Path())) {
    EXPECT_FALSE(SaveSmallFile(t.s, path));
    EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{ErrorBox(path + ": " + SystemText(EACCES))});
    EXPECT_EQ(ReadFile(path), earlier);
    EXPECT_EQ(dir.Entries(), std::set<std::string>{"site.tvx"});
  } else {
    // Running as root: the folder does not stop the save, so make the target
    // name an existing folder instead, which the rename cannot replace.
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    const std::string folderTarget = dir / "folder.tvx";
    ASSERT_EQ(::mkdir(folderTarget.c_str(), 0755), 0);
    WriteFile(folderTarget + "/inside", Bytes{1, 2, 3});
    EXPECT_FALSE(SaveSmallFile(t.s, dir / "folder"));
    EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{ErrorBox(folderTarget + ": " + SystemText(EISDIR))});
    EXPECT_EQ(ReadFile(folderTarget + "/inside"), (Bytes{1, 2, 3}));
    EXPECT_EQ(ReadFile(path), earlier);
    EXPECT_EQ(dir.Entries(), (std::set<std::string>{"site.tvx", "folder.tvx"}));
  }
}

// Lowers the file-size limit for the life of the object; root is held to it
// as well, so a write fails half-way through on every machine.
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lower = old_;
    lower.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &lower) == 0;
  }
  ~TFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, oldHandler_);
  }
  bool Ok() const { return ok_; }

 private:
  rlimit old_{};
  void (*oldHandler_)(int) = SIG_DFL;
  bool ok_ = false;
};

TEST(KeyFileSave, WriteFailureHalfWayKeepsEarlierFileAndLeavesNoTemporary) {
  TScratchDir dir;
  TSmallSession t;
  const std::string path = dir / "site.tvx";
  ASSERT_TRUE(SaveSmallFile(t.s, path));
  const Bytes earlier = ReadFile(path);
  FillRandom(t.s.Small->Bytes(), 6);
  t.s.Panel.ConnectedModel = 27;
  t.ui.Clear();

  bool saved;
  {
    TFileSizeLimit limit(4096);
    ASSERT_TRUE(limit.Ok());
    saved = SaveSmallFile(t.s, path);
  }
  EXPECT_FALSE(saved);
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{ErrorBox(path + ": " + SystemText(EFBIG))});
  EXPECT_EQ(ReadFile(path), earlier);
  EXPECT_EQ(dir.Entries(), std::set<std::string>{"site.tvx"});
  // The header went into the image before the file was touched.
  EXPECT_EQ(ImageModel(t.s.Small->Bytes()), 27);
}
#endif

#ifdef _WIN32
TEST(KeyFileSave, AFolderInTheWayFailsAndLeavesNoTemporary) {
  TScratchDir dir;
  TSmallSession t;
  const std::string folderTarget = dir / "folder.tvx";
  ASSERT_TRUE(fs::create_directory(folderTarget));
  WriteFile(folderTarget + "/inside", Bytes{1, 2, 3});
  EXPECT_FALSE(SaveSmallFile(t.s, dir / "folder"));
  // Windows refuses to replace a folder by a file as "access denied".
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{ErrorBox(folderTarget + ": " + SystemText(ERROR_ACCESS_DENIED))});
  EXPECT_EQ(ReadFile(folderTarget + "/inside"), (Bytes{1, 2, 3}));
  EXPECT_EQ(dir.Entries(), std::set<std::string>{"folder.tvx"});
}
#endif

TEST(KeyFileSave, MissingFolderFailsWithSystemText) {
  TScratchDir dir;
  TSmallSession t;
  const std::string path = dir / "absent/site";
  EXPECT_FALSE(SaveSmallFile(t.s, path));
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{ErrorBox(path + ".tvx: " + kMissingFolderText)});
  EXPECT_TRUE(dir.Entries().empty());
}

// ---- Load ----

// Writes a small-layout file of the image as a save from the given model
// would have left it.
std::string WriteSmallFile(const TScratchDir& dir, const std::string& name, Bytes image, int32_t model) {
  image.resize(kSmallImageSize, 0xFF);
  SetImageModel(image, model);
  const std::string path = dir / name;
  EXPECT_TRUE(test::WriteKeyFile(path, image, 0x5EED)) << "cannot write " << path;
  return path;
}

TEST(KeyFileLoad, LooksForExactlyTheGivenName) {
  TScratchDir dir;
  TSmallSession t;
  ASSERT_TRUE(SaveSmallFile(t.s, dir / "site.dat"));
  ASSERT_EQ(dir.Entries(), std::set<std::string>{"site.tvx"});
  FillRandom(t.s.Small->Bytes(), 8);
  const Bytes before = Copy(t.s.Small->Bytes());

  EXPECT_EQ(LoadSmallFile(t.s, dir / "site.dat"), TLoadResult::NotFound);
  EXPECT_EQ(LoadSmallFile(t.s, dir / "site"), TLoadResult::NotFound);
  EXPECT_EQ(LoadSmallFile(t.s, ""), TLoadResult::NotFound);
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>(3, ErrorBox("File not found!")));
  EXPECT_EQ(Copy(t.s.Small->Bytes()), before);

  // In the other languages.
  t.ui.Clear();
  ApplyLanguageTexts(t.s, TLanguage::Italian);
  EXPECT_EQ(LoadSmallFile(t.s, dir / "site"), TLoadResult::NotFound);
  ApplyLanguageTexts(t.s, TLanguage::French);
  EXPECT_EQ(LoadSmallFile(t.s, dir / "site"), TLoadResult::NotFound);
  EXPECT_EQ(t.ui.Boxes(), (std::vector<std::string>{"Error: File non trovato!", "Error: Fichier non trouvé!"}));
}

TEST(KeyFileNames, ANameInAnyScriptIsSavedAndLoadedUnderThatName) {
  // Names are UTF-8 in the program; on Windows they must reach the system
  // as the same characters, not as their code-page approximation.
  TScratchDir dir;
  TSmallSession t;
  const std::string name = "Sede Cr\xC3\xA9" "teil \xC5\x81\xC3\xB3" "d\xC5\xBA \xE4\xB8\xAD\xE5\xBF\x83";
#ifdef _WIN32
  const std::string sep = "\\";
#else
  const std::string sep = "/";
#endif
  std::string written;
  ASSERT_TRUE(SaveSmallFile(t.s, dir.Path() + sep + name + ".dat", &written)) << testing::PrintToString(t.ui.Boxes());
  EXPECT_EQ(written, dir.Path() + sep + name + ".tvx");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.Path())) {
    const std::u8string u8 = entry.path().filename().u8string();
    names.emplace_back(u8.begin(), u8.end());
  }
  EXPECT_EQ(names, std::vector<std::string>{name + ".tvx"});
  FillRandom(t.s.Small->Bytes(), 3);
  EXPECT_EQ(LoadSmallFile(t.s, written), TLoadResult::Loaded);
  EXPECT_TRUE(t.ui.Boxes().empty());
}

TEST(KeyFileLoad, WrongLengthIsNotAKeyCodeFile) {
  TScratchDir dir;
  TSmallSession t;
  const Bytes good = EncodeImage(RandomBytes(kSmallImageSize, 9), 77);
  FillRandom(t.s.Small->Bytes(), 10);
  const Bytes before = Copy(t.s.Small->Bytes());

  const std::vector<size_t> lengths{0, 1, 4208, 8415, 8417, 2 * 8416, 920495};
  for (size_t len : lengths) {
    Bytes file = good;
    file.resize(len, 0x33);
    const std::string path = dir / ("len" + std::to_string(len));
    WriteFile(path, file);
    EXPECT_EQ(LoadSmallFile(t.s, path), TLoadResult::NotKeyCodeFile) << len;
    EXPECT_EQ(Copy(t.s.Small->Bytes()), before) << len;
  }
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>(lengths.size(), ErrorBox("File is not a key-code data file!")));
}

TEST(KeyFileLoad, WrongLengthLargeIsNotAKeyCodeFile) {
  TScratchDir dir;
  TLargeSession t;
  FillRandom(t.s.Large->Bytes(), 11);
  const Bytes before = Copy(t.s.Large->Bytes());
  for (size_t len : {size_t{920495}, size_t{920497}}) {
    const std::string path = dir / ("len" + std::to_string(len));
    WriteFile(path, Bytes(len, 0x5A));
    EXPECT_EQ(LoadLargeFile(t.s, path), TLoadResult::NotKeyCodeFile) << len;
  }
  EXPECT_EQ(Copy(t.s.Large->Bytes()), before);
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>(2, ErrorBox("File is not a key-code data file!")));
}

TEST(KeyFileLoad, WrongLengthBoxIsNeverEmpty) {
  TScratchDir dir;
  test::TTestSession t;  // the extra texts were never applied
  t.s.Panel.ConnectedModel = 24;
  const std::string path = dir / "empty.tvx";
  WriteFile(path, Bytes{});
  EXPECT_EQ(LoadSmallFile(t.s, path), TLoadResult::NotKeyCodeFile);
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{ErrorBox("File is not a key-code data file!")});
}

TEST(KeyFileLoad, WrongLengthBoxFollowsTheLanguage) {
  TScratchDir dir;
  TSmallSession t;
  ApplyLanguageTexts(t.s, TLanguage::Italian);
  const std::string path = dir / "short.tvx";
  WriteFile(path, Bytes(10, 0));
  EXPECT_EQ(LoadSmallFile(t.s, path), TLoadResult::NotKeyCodeFile);
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{ErrorBox("Il file non contiene dati di codici!")});
  ApplyLanguageTexts(t.s, TLanguage::French);
  EXPECT_EQ(LoadSmallFile(t.s, path), TLoadResult::NotKeyCodeFile);
  EXPECT_EQ(t.ui.Boxes().back(), ErrorBox("Le fichier ne contient pas de données de codes!"));
}

TEST(KeyFileLoad, SmallFileWhileLargePanelConnectedIsMismatch) {
  TScratchDir dir;
  TSmallSession small;
  ASSERT_TRUE(SaveSmallFile(small.s, dir / "small"));

  TLargeSession t;
  FillRandom(t.s.Large->Bytes(), 12);
  FillRandom(t.s.Small->Bytes(), 13);
  const Bytes largeBefore = Copy(t.s.Large->Bytes());
  const Bytes smallBefore = Copy(t.s.Small->Bytes());
  EXPECT_EQ(LoadLargeFile(t.s, dir / "small.tvx"), TLoadResult::Mismatch);
  // Even handed to the small loader, the file's model is checked against the
  // connected panel's class.
  EXPECT_EQ(LoadSmallFile(t.s, dir / "small.tvx"), TLoadResult::Mismatch);
  EXPECT_EQ(t.ui.Boxes(), (std::vector<std::string>{kMismatchBox, kMismatchBox}));
  EXPECT_EQ(Copy(t.s.Large->Bytes()), largeBefore);
  EXPECT_EQ(Copy(t.s.Small->Bytes()), smallBefore);
}

TEST(KeyFileLoad, LargeFileWhileSmallPanelConnectedIsMismatch) {
  TScratchDir dir;
  TLargeSession large;
  ASSERT_TRUE(SaveLargeFile(large.s, dir / "large"));

  TSmallSession t;
  FillRandom(t.s.Small->Bytes(), 14);
  FillRandom(t.s.Large->Bytes(), 15);
  const Bytes smallBefore = Copy(t.s.Small->Bytes());
  const Bytes largeBefore = Copy(t.s.Large->Bytes());
  EXPECT_EQ(LoadSmallFile(t.s, dir / "large.tvx"), TLoadResult::Mismatch);
  EXPECT_EQ(LoadLargeFile(t.s, dir / "large.tvx"), TLoadResult::Mismatch);
  EXPECT_EQ(t.ui.Boxes(), (std::vector<std::string>{kMismatchBox, kMismatchBox}));
  EXPECT_EQ(Copy(t.s.Small->Bytes()), smallBefore);
  EXPECT_EQ(Copy(t.s.Large->Bytes()), largeBefore);
}

TEST(KeyFileLoad, SmallFileThatSaysLargeModelIsMismatch) {
  TScratchDir dir;
  TSmallSession t;
  const std::string path = WriteSmallFile(dir, "odd.tvx", RandomBytes(kSmallImageSize, 16), kLargeModel);
  FillRandom(t.s.Small->Bytes(), 17);
  const Bytes before = Copy(t.s.Small->Bytes());
  EXPECT_EQ(LoadSmallFile(t.s, path), TLoadResult::Mismatch);
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{kMismatchBox});
  EXPECT_EQ(Copy(t.s.Small->Bytes()), before);

  // The same box in the other languages, on two lines as well.
  t.ui.Clear();
  ApplyLanguageTexts(t.s, TLanguage::Italian);
  EXPECT_EQ(LoadSmallFile(t.s, path), TLoadResult::Mismatch);
  ApplyLanguageTexts(t.s, TLanguage::French);
  EXPECT_EQ(LoadSmallFile(t.s, path), TLoadResult::Mismatch);
  EXPECT_EQ(t.ui.Boxes(),
            (std::vector<std::string>{
                "Error: La centrale connessa non corrisponde\r\nai dati salvati sul file! L'operazione verrà annullata",
                "Error: Le model du panneau connecté ne correspond pas aux données\r\nenregistrées sur le fichier!"}));
  EXPECT_EQ(Copy(t.s.Small->Bytes()), before);
}

TEST(KeyFileLoad, OtherLayoutLengthIsMismatchWhateverTheModelField) {
  TScratchDir dir;
  // A small-layout file that names the large model, and a large-layout file
  // that names a small one: the length alone tells the layout.
  const std::string smallPath = WriteSmallFile(dir, "small.tvx", Bytes{}, kLargeModel);
  Bytes largeImage = RandomBytes(kLargeImageSize, 25);
  SetImageModel(largeImage, 23);
  const std::string largePath = dir / "large.tvx";
  ASSERT_TRUE(test::WriteKeyFile(largePath, largeImage, 1));

  TLargeSession large;
  const Bytes largeBefore = Copy(large.s.Large->Bytes());
  EXPECT_EQ(LoadLargeFile(large.s, smallPath), TLoadResult::Mismatch);
  EXPECT_EQ(large.ui.Boxes(), std::vector<std::string>{kMismatchBox});
  EXPECT_EQ(Copy(large.s.Large->Bytes()), largeBefore);

  TSmallSession small;
  FillRandom(small.s.Small->Bytes(), 26);
  const Bytes smallBefore = Copy(small.s.Small->Bytes());
  EXPECT_EQ(LoadSmallFile(small.s, largePath), TLoadResult::Mismatch);
  EXPECT_EQ(small.ui.Boxes(), std::vector<std::string>{kMismatchBox});
  EXPECT_EQ(Copy(small.s.Small->Bytes()), smallBefore);
}

TEST(KeyFileLoad, FileOfOneSmallModelLoadsIntoAnother) {
  TScratchDir dir;
  TSmallSession from;
  FillRandom(from.s.Small->Bytes(), 18);
  ASSERT_TRUE(SaveSmallFile(from.s, dir / "vyr4"));
  Bytes expected = Copy(from.s.Small->Bytes());
  for (size_t k = 16; k < 128; ++k) expected[KeyNameLengthOffset(k)] = 0;

  TSmallSession t;
  t.s.Panel.ConnectedModel = 26;
  FillRandom(t.s.Small->Bytes(), 19);
  EXPECT_EQ(LoadSmallFile(t.s, dir / "vyr4.tvx"), TLoadResult::Loaded);
  EXPECT_TRUE(t.ui.Boxes().empty());
  EXPECT_EQ(Copy(t.s.Small->Bytes()), expected);
  EXPECT_EQ(ImageModel(t.s.Small->Bytes()), 23);
}

TEST(KeyFileLoad, SmallLoadEmptiesNamesOfKeys16To127Only) {
  TScratchDir dir;
  TSmallSession t;
  for (size_t k = 0; k < kKeyCount; ++k) t.s.Small->Key(k).SetName("Key " + std::to_string(k));
  const std::string path = WriteSmallFile(dir, "names.tvx", Copy(t.s.Small->Bytes()), 25);

  t.s.Small->Fill();
  ASSERT_EQ(LoadSmallFile(t.s, path), TLoadResult::Loaded);
  for (size_t k = 0; k < 16; ++k) EXPECT_EQ(t.s.Small->Key(k).Name(), "Key " + std::to_string(k));
  for (size_t k = 16; k < kKeyCount; ++k) {
    EXPECT_EQ(t.s.Small->Bytes()[KeyNameLengthOffset(k)], 0) << "key " << k;
    EXPECT_EQ(t.s.Small->Key(k).Name(), "") << "key " << k;
    // Only the length byte goes: the characters stay where they were.
    EXPECT_EQ(t.s.Small->Bytes()[KeyNameLengthOffset(k) + 1], 'K') << "key " << k;
  }
}

TEST(KeyFileLoad, LargeRoundTripKeepsEveryByte) {
  TScratchDir dir;
  TLargeSession t;
  FillRandom(t.s.Large->Bytes(), 20);
  // Where a small image holds key-name lengths, the large one holds data.
  for (size_t k = 16; k < 128; ++k) t.s.Large->Bytes()[KeyNameLengthOffset(k)] = 0x77;
  ASSERT_TRUE(SaveLargeFile(t.s, dir / "big"));
  const Bytes saved = Copy(t.s.Large->Bytes());

  t.s.Large->Fill();
  ASSERT_EQ(LoadLargeFile(t.s, dir / "big.tvx"), TLoadResult::Loaded);
  EXPECT_EQ(Copy(t.s.Large->Bytes()), saved);
  EXPECT_TRUE(t.ui.Boxes().empty());
}

TEST(KeyFileLoad, FolderIsIoError) {
  TScratchDir dir;
  TSmallSession t;
  const std::string path = dir / "folder.tvx";
  ASSERT_TRUE(fs::create_directory(path));
  FillRandom(t.s.Small->Bytes(), 21);
  const Bytes before = Copy(t.s.Small->Bytes());
  EXPECT_EQ(LoadSmallFile(t.s, path), TLoadResult::IoError);
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{ErrorBox(path + ": " + kFolderText)});
  EXPECT_EQ(Copy(t.s.Small->Bytes()), before);
}

#ifdef _WIN32
TEST(KeyFileLoad, DeviceNamesAreRefused) {
  TSmallSession t;
  const Bytes before = Copy(t.s.Small->Bytes());
  // NUL opens in every folder, like COM1 or CON: a device, not a file.
  // Windows versions differ in which step refuses it, so only the start of
  // the text is the same everywhere.
  EXPECT_EQ(LoadSmallFile(t.s, "NUL"), TLoadResult::IoError);
  ASSERT_EQ(t.ui.Boxes().size(), 1u);
  EXPECT_EQ(t.ui.Boxes()[0].rfind(ErrorBox("NUL: "), 0), 0u) << t.ui.Boxes()[0];
  EXPECT_EQ(Copy(t.s.Small->Bytes()), before);
}
#else
TEST(KeyFileLoad, FifoIsRefusedWithoutWaitingForAWriter) {
  TScratchDir dir;
  TSmallSession t;
  const std::string path = dir / "pipe.tvx";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  const Bytes before = Copy(t.s.Small->Bytes());
  // Opening a fifo for reading would block until a writer comes; the test
  // would hang here if the loader opened it.
  EXPECT_EQ(LoadSmallFile(t.s, path), TLoadResult::IoError);
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{ErrorBox(path + ": not a regular file")});
  EXPECT_EQ(Copy(t.s.Small->Bytes()), before);
}

TEST(KeyFileLoad, UnreadableFileIsIoError) {
  TScratchDir dir;
  TSmallSession t;
  ASSERT_TRUE(SaveSmallFile(t.s, dir / "locked"));
  const std::string path = dir / "locked.tvx";
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  const int probe = ::open(path.c_str(), O_RDONLY);
  if (probe >= 0) {
    ::close(probe);
    GTEST_SKIP() << "file permissions do not apply to this user";
  }
  FillRandom(t.s.Small->Bytes(), 22);
  const Bytes before = Copy(t.s.Small->Bytes());
  EXPECT_EQ(LoadSmallFile(t.s, path), TLoadResult::IoError);
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{ErrorBox(path + ": " + SystemText(EACCES))});
  EXPECT_EQ(Copy(t.s.Small->Bytes()), before);
}

// A name that is a symbolic link: the save goes through the link to the
// file it names, which may not exist yet, and the link stays a link.
TEST(KeyFileLinks, SaveGoesThroughTheLinkAndKeepsIt) {
  TScratchDir dir;
  TSmallSession t;
  ASSERT_TRUE(fs::create_directory(dir / "kept"));
  WriteFile(dir / "kept/site.tvx", Bytes{'o', 'l', 'd'});
  fs::create_symlink("kept/site.tvx", dir / "site.tvx");        // relative
  fs::create_symlink(dir / "kept/new.tvx", dir / "dangling.tvx");  // absolute, nothing there yet
  FillRandom(t.s.Small->Bytes(), 31);

  ASSERT_TRUE(SaveSmallFile(t.s, dir / "site.tvx"));
  ASSERT_TRUE(SaveSmallFile(t.s, dir / "dangling.tvx"));
  EXPECT_TRUE(t.ui.Boxes().empty());
  for (const char* link : {"site.tvx", "dangling.tvx"}) EXPECT_TRUE(fs::is_symlink(dir / link)) << link;
  for (const char* file : {"kept/site.tvx", "kept/new.tvx"}) {
    const Bytes bytes = ReadFile(dir / file);
    ASSERT_EQ(bytes.size(), kSmallFileSize) << file;
    Bytes decoded(kSmallImageSize);
    DecodeImage(bytes, decoded);
    EXPECT_EQ(decoded, Copy(t.s.Small->Bytes())) << file;
    EXPECT_EQ(ModeOf(dir / file), 0600u) << file;
  }
  EXPECT_EQ(dir.Entries(), (std::set<std::string>{"dangling.tvx", "kept", "site.tvx"}));
}

TEST(KeyFileLinks, ALoopOfLinksFailsWithTheSystemsText) {
  TScratchDir dir;
  TSmallSession t;
  fs::create_symlink("b.tvx", dir / "a.tvx");
  fs::create_symlink("a.tvx", dir / "b.tvx");
  EXPECT_FALSE(SaveSmallFile(t.s, dir / "a.tvx"));
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{ErrorBox(dir / "a.tvx" + ": " + SystemText(ELOOP))});
  EXPECT_EQ(dir.Entries(), (std::set<std::string>{"a.tvx", "b.tvx"}));

  FillRandom(t.s.Small->Bytes(), 32);
  const Bytes before = Copy(t.s.Small->Bytes());
  EXPECT_EQ(LoadSmallFile(t.s, dir / "a.tvx"), TLoadResult::IoError);
  EXPECT_EQ(Copy(t.s.Small->Bytes()), before);
}

TEST(KeyFileLinks, LoadFollowsLinksToFilesButNotToDevices) {
  TScratchDir dir;
  TSmallSession t;
  FillRandom(t.s.Small->Bytes(), 33);
  ASSERT_TRUE(SaveSmallFile(t.s, dir / "site.tvx"));
  ASSERT_EQ(LoadSmallFile(t.s, dir / "site.tvx"), TLoadResult::Loaded);
  const Bytes saved = Copy(t.s.Small->Bytes());
  fs::create_symlink("site.tvx", dir / "link.tvx");
  fs::create_symlink("/dev/zero", dir / "zero.tvx");
  fs::create_symlink("gone.tvx", dir / "dangling.tvx");

  FillRandom(t.s.Small->Bytes(), 34);
  EXPECT_EQ(LoadSmallFile(t.s, dir / "link.tvx"), TLoadResult::Loaded);
  EXPECT_EQ(Copy(t.s.Small->Bytes()), saved);

  // An endless device behind the name is refused before a byte is read.
  FillRandom(t.s.Small->Bytes(), 35);
  const Bytes before = Copy(t.s.Small->Bytes());
  EXPECT_EQ(LoadSmallFile(t.s, dir / "zero.tvx"), TLoadResult::IoError);
  EXPECT_EQ(LoadSmallFile(t.s, dir / "dangling.tvx"), TLoadResult::NotFound);
  EXPECT_EQ(t.ui.Boxes(), (std::vector<std::string>{ErrorBox(dir / "zero.tvx" + ": not a regular file"),
                                                     ErrorBox("File not found!")}));
  EXPECT_EQ(Copy(t.s.Small->Bytes()), before);
}
#endif

// ---- Decoding without a panel ----

TEST(KeyFileDecode, LengthPicksTheLayout) {
  TScratchDir dir;
  TSmallSession small;
  FillRandom(small.s.Small->Bytes(), 23);
  ASSERT_TRUE(SaveSmallFile(small.s, dir / "small"));
  TLargeSession large;
  FillRandom(large.s.Large->Bytes(), 24);
  ASSERT_TRUE(SaveLargeFile(large.s, dir / "large"));

  Bytes image;
  std::string error;
  ASSERT_TRUE(DecodeKeyCodeFile(dir / "small.tvx", &image, &error)) << error;
  // The file as it is: key names 16 to 127 are not emptied here.
  EXPECT_EQ(image, Copy(small.s.Small->Bytes()));
  ASSERT_TRUE(DecodeKeyCodeFile(dir / "large.tvx", &image, &error)) << error;
  EXPECT_EQ(image, Copy(large.s.Large->Bytes()));
}

TEST(KeyFileDecode, RefusesOtherLengthsAndMissingFiles) {
  TScratchDir dir;
  const std::string odd = dir / "odd.tvx";
  WriteFile(odd, Bytes(8415, 0));
  Bytes image{1, 2, 3};
  std::string error;
  EXPECT_FALSE(DecodeKeyCodeFile(odd, &image, &error));
  EXPECT_NE(error.find("File is not a key-code data file!"), std::string::npos) << error;
  EXPECT_NE(error.find(odd), std::string::npos) << error;
  EXPECT_EQ(image, (Bytes{1, 2, 3}));

  const std::string missing = dir / "missing.tvx";
  error.clear();
  EXPECT_FALSE(DecodeKeyCodeFile(missing, &image, &error));
  EXPECT_EQ(error, missing + ": " + kMissingFileText);
  EXPECT_EQ(image, (Bytes{1, 2, 3}));

  error.clear();
  EXPECT_FALSE(DecodeKeyCodeFile(dir.Path(), &image, &error));
  EXPECT_EQ(error, dir.Path() + ": " + kFolderText);
}

}  // namespace
}  // namespace tarvex
