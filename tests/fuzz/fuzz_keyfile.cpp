// Fuzzes the key-code file loader: the input, any bytes of any length, is
// the file. It is written to a scratch folder (on tmpfs where there is
// one) and loaded the ways the program loads files: DecodeKeyCodeFile as
// `tarvex-cli show` does, LoadSmallFile with a small panel connected and
// LoadLargeFile with the large one.
//
// Invariants, besides crashes and sanitizer reports:
// - a decode succeeds exactly for the two key-code lengths and gives the
//   data nibbles of every byte pair;
// - a load either accepts, with the image holding exactly the decoded file
//   (small layout: key names 16 to 127 emptied) and of the connected class,
//   and no message; or it refuses with one message and the image untouched;
// - an accepted image encodes to a file whose data nibbles are the image,
//   decodes back to the same image, and loads back to it;
// - the texts of an accepted image are bounded and show as clean UTF-8.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "app/display_text.h"
#include "app/keyfile.h"
#include "app/languages.h"
#include "protocol/panel_image.h"
#include "protocol/text.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/key_file.h"
#include "tests/support/scratch_dir.h"

namespace tarvex::fuzz {
namespace {

class TCountingUserInterface : public TSilentUserInterface {
 public:
  void MessageBox(TBoxKind, const std::string&) override { ++boxes; }
  int boxes = 0;
};

// The file under test, in a scratch folder of this process.
// Each process has its own folder (jobs run side by side), in memory where
// it can be, since millions of runs write there.
class TScratch {
 public:
  TScratch() : path_(dir_ / "input.tvx") { FUZZ_CHECK(dir_.Ok()); }
  const std::string& Path() const { return path_; }

  void Write(const uint8_t* data, size_t size) const { FUZZ_CHECK(test::WriteBytes(path_, {data, size})); }

 private:
  test::TScratchDir dir_{"tarvex-fuzz", test::TScratchPlace::Memory};
  std::string path_;
};

FUZZ_ORACLE std::vector<uint8_t> RefDecode(const uint8_t* file, size_t pairs) {
  std::vector<uint8_t> image(pairs);
  for (size_t k = 0; k < pairs; ++k)
    image[k] = static_cast<uint8_t>((file[2 * k] & 0x0F) | (file[2 * k + 1] & 0xF0));
  return image;
}

// The file holds the image's low nibbles in its even bytes' low nibbles and
// its high nibbles in its odd bytes' high nibbles.
FUZZ_ORACLE bool DataNibblesAre(std::span<const uint8_t> file, std::span<const uint8_t> image) {
  if (file.size() != 2 * image.size()) return false;
  for (size_t k = 0; k < image.size(); ++k)
    if ((file[2 * k] & 0x0F) != (image[k] & 0x0F) || (file[2 * k + 1] & 0xF0) != (image[k] & 0xF0)) return false;
  return true;
}

FUZZ_ORACLE bool Same(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

// What a session's images hold before each load: something no file is
// likely to decode to, so that a load that changed them shows.
struct TBaselines {
  std::vector<uint8_t> small;
  std::vector<uint8_t> large = std::vector<uint8_t>(kLargeImageSize, 0xA5);
  TBaselines() : small(kSmallImageSize) {
    uint32_t x = 12345;
    for (uint8_t& b : small) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  }
};

// The texts the program shows from an accepted image.
void CheckTexts(std::span<const uint8_t> image, bool smallLayout) {
  size_t cps = 0;
  const std::string description = ImageDescription(image);
  FUZZ_CHECK(description.size() <= kHeaderDescriptionMax);
  FUZZ_CHECK(IsUtf8(Cp1252ToUtf8(description), &cps) && cps == description.size());
  FUZZ_CHECK(FormatVersion(ImageFirmware(image)).size() < 64);
  if (!smallLayout) return;
  SmallPanelImage view;
  std::memcpy(view.Bytes().data(), image.data(), kSmallImageSize);
  for (size_t u = 0; u < kUserCount; ++u) {
    const std::string name = view.User(u).Name();
    FUZZ_CHECK(name.size() <= kUserNameMax && view.User(u).Code().size() <= kUserCodeMax);
    FUZZ_CHECK(IsUtf8(Cp1252ToUtf8(name), &cps) && cps == name.size());
  }
  for (size_t k = 0; k < kKeyCount; ++k) {
    const std::string name = view.Key(k).Name();
    FUZZ_CHECK(name.size() <= kKeyNameMax);
    FUZZ_CHECK(k < kNamedKeys || name.empty());
    FUZZ_CHECK(IsUtf8(Cp1252ToUtf8(name), &cps) && cps == name.size());
  }
}

// One load with one class of panel connected. The image holds its baseline
// when this is called; true when the load accepted the file.
bool CheckLoad(TSession& s, TCountingUserInterface& ui, const TScratch& scratch, const uint8_t* data, size_t size,
               bool smallLayout, int32_t connected, const std::vector<uint8_t>& baseline) {
  std::span<uint8_t> image = smallLayout ? std::span<uint8_t>(s.Small->Bytes()) : s.Large->Bytes();
  s.Panel.ConnectedModel = connected;
  ui.boxes = 0;
  const TLoadResult r = smallLayout ? LoadSmallFile(s, scratch.Path()) : LoadLargeFile(s, scratch.Path());

  const size_t own = 2 * image.size();
  const size_t other = smallLayout ? kLargeFileSize : kSmallFileSize;
  if (size != own) FUZZ_CHECK(r == (size == other ? TLoadResult::Mismatch : TLoadResult::NotKeyCodeFile));
  if (r != TLoadResult::Loaded) {
    FUZZ_CHECK(r == TLoadResult::Mismatch || r == TLoadResult::NotKeyCodeFile);
    FUZZ_CHECK(ui.boxes == 1);
    FUZZ_CHECK(Same(image, baseline));
    if (size == own) {
      // Refused for its class alone.
      FUZZ_CHECK(r == TLoadResult::Mismatch);
      FUZZ_CHECK((ImageModel(RefDecode(data, image.size())) == kLargeModel) != (connected == kLargeModel));
    }
    return false;
  }
  FUZZ_CHECK(size == own && ui.boxes == 0);
  std::vector<uint8_t> want = RefDecode(data, image.size());
  if (smallLayout)
    for (size_t k = kNamedKeys; k < kKeyCount; ++k) want[kKeyTableOffset + k * kKeyEntrySize + kKeyNameOffset] = 0;
  FUZZ_CHECK(Same(image, want));
  FUZZ_CHECK((ImageModel(image) == kLargeModel) == (connected == kLargeModel));
  CheckTexts(image, smallLayout);
  return true;
}

// An accepted image, saved again, gives a file with its data nibbles in
// place whatever the filler, that decodes back to the same image; with
// `reload`, loading that file from disk gives the same image too. Leaves
// the image at its baseline.
void CheckSavedAgain(TSession& s, TCountingUserInterface& ui, const TScratch& scratch, bool smallLayout,
                     int32_t connected, const std::vector<uint8_t>& baseline, uint32_t seed, bool reload) {
  std::span<uint8_t> image = smallLayout ? std::span<uint8_t>(s.Small->Bytes()) : s.Large->Bytes();
  const std::vector<uint8_t> file = EncodeImage(image, seed);
  FUZZ_CHECK(DataNibblesAre(file, image));
  std::vector<uint8_t> back(image.size(), 0);
  DecodeImage(file, back);
  FUZZ_CHECK(Same(back, image));
  std::memcpy(image.data(), baseline.data(), image.size());
  if (!reload) return;
  scratch.Write(file.data(), file.size());
  s.Panel.ConnectedModel = connected;
  ui.boxes = 0;
  const TLoadResult again = smallLayout ? LoadSmallFile(s, scratch.Path()) : LoadLargeFile(s, scratch.Path());
  FUZZ_CHECK(again == TLoadResult::Loaded && ui.boxes == 0 && Same(image, back));
  std::memcpy(image.data(), baseline.data(), image.size());
}

struct TState {
  TScratch scratch;
  TBaselines baselines;
  TCountingUserInterface ui;
  TSession s{ui};
  TState() {
    ApplyLanguageTexts(s, TLanguage::English);
    std::memcpy(s.Small->Bytes().data(), baselines.small.data(), kSmallImageSize);
    std::memcpy(s.Large->Bytes().data(), baselines.large.data(), kLargeImageSize);
  }
};

constexpr int32_t kSmallConnected[] = {0, 23, 24, 25, 26, 27, 28, 29, 30};

}  // namespace
}  // namespace tarvex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarvex;
  using namespace tarvex::fuzz;
  static TState state;
  state.scratch.Write(data, size);
  uint32_t seed = static_cast<uint32_t>(size);
  for (size_t i = 0; i < size && i < 4; ++i) seed = seed * 31 + data[i];
  // A large file costs several milliseconds per load, almost all of it the
  // same for every such file; the checks that load it more than once run
  // for one in eight.
  const bool thorough = size != kLargeFileSize || (seed & 7) == 0;

  // As `tarvex-cli show` reads a file.
  std::vector<uint8_t> decoded = {1, 2, 3};
  std::string error;
  const bool ok = DecodeKeyCodeFile(state.scratch.Path(), &decoded, &error);
  FUZZ_CHECK(ok == (size == kSmallFileSize || size == kLargeFileSize));
  if (ok) {
    FUZZ_CHECK(Same(decoded, RefDecode(data, size / 2)));
  } else {
    FUZZ_CHECK(!error.empty() && decoded == std::vector<uint8_t>({1, 2, 3}));
  }

  // As the window loads a file: the connected panel's class picks the
  // layout.
  const int32_t small = kSmallConnected[size ? data[0] % std::size(kSmallConnected) : 0];
  const bool smallLoaded = thorough && CheckLoad(state.s, state.ui, state.scratch, data, size, true, small,
                                                 state.baselines.small);
  const bool largeLoaded =
      CheckLoad(state.s, state.ui, state.scratch, data, size, false, kLargeModel, state.baselines.large);
  // These rewrite the scratch file, so they come last.
  if (smallLoaded) CheckSavedAgain(state.s, state.ui, state.scratch, true, small, state.baselines.small, seed, true);
  if (largeLoaded && thorough)
    CheckSavedAgain(state.s, state.ui, state.scratch, false, kLargeModel, state.baselines.large, seed, true);
  else if (largeLoaded)
    std::memcpy(state.s.Large->Bytes().data(), state.baselines.large.data(), kLargeImageSize);
  return 0;
}
