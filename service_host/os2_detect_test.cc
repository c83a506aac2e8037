#include "service_host/os2_detect.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/test_folder.h"

namespace {

constexpr uint32_t kNe = 0x400;  // where the built images keep their new header

// An MZ image with an NE header at kNe, built byte by byte.
class Image {
 public:
  Image() : bytes_(0x800, 0) {
    put(0, "MZ");
    put16(8, 4);  // a DOS header of 4 paragraphs: the DOS image starts at 64
    put32(0x3C, kNe);
    put(kNe, "NE");
    put16(kNe + 0x04, 0x40);  // entry table
    put16(kNe + 0x28, 0x50);  // module-reference table
    put16(kNe + 0x2A, 0x60);  // imported-names table
  }
  Image& system(uint8_t os) { return put8(kNe + 0x36, os); }
  Image& windowsVersion(uint16_t version) { return put16(kNe + 0x3E, version); }
  // Module references to the given names, in order.
  Image& imports(const std::vector<std::string>& names) {
    put16(kNe + 0x1E, static_cast<uint16_t>(names.size()));
    uint32_t offset = 1;  // the table's first byte is the empty name
    for (size_t i = 0; i < names.size(); ++i) {
      put16(kNe + 0x50 + 2 * static_cast<uint32_t>(i), static_cast<uint16_t>(offset));
      put8(kNe + 0x60 + offset, static_cast<uint8_t>(names[i].size()));
      put(kNe + 0x60 + offset + 1, names[i]);
      offset += 1 + static_cast<uint32_t>(names[i].size());
    }
    return *this;
  }
  Image& put(uint32_t at, const std::string& text) {
    std::memcpy(&bytes_[at], text.data(), text.size());
    return *this;
  }
  Image& put8(uint32_t at, uint8_t value) {
    bytes_[at] = value;
    return *this;
  }
  Image& put16(uint32_t at, uint16_t value) { return put8(at, value & 0xFF).put8(at + 1, value >> 8); }
  Image& put32(uint32_t at, uint32_t value) {
    return put16(at, value & 0xFFFF).put16(at + 2, static_cast<uint16_t>(value >> 16));
  }
  Image& truncate(size_t size) {
    bytes_.resize(size);
    return *this;
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

Image os2Image() { return Image().system(1).imports({"DOSCALLS"}); }

class IsOs2AppTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(folder_.ok()); }
  std::string path() const { return folder_ / "image.exe"; }
  bool classify(const Image& image) {
    std::ofstream out(path(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.bytes().data()),
              static_cast<std::streamsize>(image.bytes().size()));
    out.close();
    return IsOs2App(path().c_str());
  }

 private:
  TestFolder folder_{"os2detect"};
};

TEST_F(IsOs2AppTest, ClassifiesImagesByTheirHeaders) {
  struct Case {
    const char* what;
    Image image;
    bool os2;
  };
  std::vector<Case> cases = {
      {"OS/2 image importing DOSCALLS", os2Image(), true},
      {"OS/2 image importing other modules only", Image().system(1).imports({"KBDCALLS"}), true},
      {"OS/2 image with no module references", Image().system(1), true},
      {"Windows image that imports DOSCALLS (family API)",
       Image().system(2).imports({"KERNEL", "DOSCALLS"}), true},
      {"Windows image", Image().system(2).imports({"KERNEL"}), false},
      {"unspecified system expecting Windows 3.10", Image().system(0).windowsVersion(0x030A), false},
      {"unspecified system expecting Windows 2.0", Image().system(0).windowsVersion(0x0200), false},
      {"unspecified system expecting Windows 4.0", Image().system(0).windowsVersion(0x0400), true},
      {"unspecified system, no version", Image().system(0), true},
      {"target system 5 (DOS extender)", Image().system(5).imports({"DOSCALLS"}), false},
      {"entry table at the imported names", os2Image().put16(kNe + 0x04, 0x60), false},
      {"16STUB at 512", os2Image().put(512, "16STUB"), false},
      {"16STUB ignored for Windows-target images with DOSCALLS",
       Image().system(2).imports({"DOSCALLS"}).put(512, "16STUB"), true},
      {"PE image", Image().put(kNe, std::string("PE\0\0", 4)), false},
      {"plain DOS program", Image().put(kNe, "XX"), false},
  };
  for (const Case& c : cases) EXPECT_EQ(classify(c.image), c.os2) << c.what;
}

TEST_F(IsOs2AppTest, RecognisesExtenderAndLoaderMarkers) {
  const std::string pharLap("Phar Lap Software, Inc.\0", 24);
  // The DOS header is 4 paragraphs: its program starts at 64.
  EXPECT_FALSE(classify(os2Image().put(64 + 0x18, pharLap).put(64 + 0x38, "PV")));
  EXPECT_FALSE(classify(os2Image().put(64 + 0x18, pharLap).put(64 + 0x38, "PK")));
  EXPECT_FALSE(classify(os2Image().put(64 + 0x18, pharLap).put(64 + 0x38, "PO")));
  EXPECT_TRUE(classify(os2Image().put(64 + 0x18, pharLap).put(64 + 0x38, "PX")));
  EXPECT_TRUE(classify(os2Image().put(64 + 0x18, "Phar Lap Software, Inc.!").put(64 + 0x38, "PV")));

  const std::string rational = "Copyright (C) Rational Systems, Inc.";
  EXPECT_FALSE(classify(os2Image().put16(64 + 0x30, 0x200).put(64 + 0x200, rational)));
  EXPECT_TRUE(classify(os2Image().put16(64 + 0x30, 0x200).put(64 + 0x200, "Copyright (C) Rational")));
  // A marker whose offset reaches past the first page is not looked for.
  EXPECT_TRUE(classify(os2Image().put16(64 + 0x30, 0xF000)));

  // The non-resident names table (file offset) starts with the module description.
  Image preloader = os2Image().put32(kNe + 0x2C, kNe + 0x100);
  preloader.put8(kNe + 0x100, 15).put(kNe + 0x101, "1-2-3 Preloader");
  EXPECT_FALSE(classify(preloader));
  EXPECT_TRUE(classify(Image(preloader).put(kNe + 0x101, "1-2-3 Spreadshe")));
  // A table before the new header (negative distance) is not looked at.
  EXPECT_TRUE(classify(Image(preloader).put32(kNe + 0x2C, 0x10)));
}

TEST_F(IsOs2AppTest, AnswersFalseForFilesThatCannotBeRead) {
  EXPECT_FALSE(IsOs2App("/nonexistent/image.exe"));
  EXPECT_FALSE(classify(os2Image().truncate(63)));
  EXPECT_FALSE(classify(os2Image().put32(0x3C, 0x10000)));     // new header past the end
  EXPECT_FALSE(classify(os2Image().put32(0x3C, 0x80000000u)));  // a negative offset
  EXPECT_FALSE(classify(os2Image().truncate(kNe)));             // nothing at the offset
  EXPECT_FALSE(IsOs2App("/tmp"));                                // a folder
}

// The programs this build makes are no OS/2 images; on Windows their new header reads as PE.
TEST(IsOs2App, ClassifiesTheProgramsOfThisBuild) {
  for (const char* program : {BUILT_PROGRAM}) {
    EXPECT_FALSE(IsOs2App(program)) << program;
    std::ifstream in(program, std::ios::binary);
    std::vector<char> bytes(kFirstPageSize, 0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_GT(in.gcount(), 0x40) << program;
#ifdef _WIN32
    ASSERT_EQ(std::string(bytes.data(), 2), "MZ") << program;
    uint32_t newHeader = 0;
    std::memcpy(&newHeader, &bytes[0x3C], sizeof newHeader);
    ASSERT_LT(newHeader + 4, kFirstPageSize) << program;
    auto page = reinterpret_cast<const uint8_t*>(bytes.data());
    EXPECT_EQ(MiVerifyImageHeader(page + newHeader, page, kFirstPageSize - newHeader), kImageWin32)
        << program;
#endif
  }
}

TEST(MiVerifyImageHeader, NeverReadsPastTheBytesRead) {
  std::vector<uint8_t> page(kFirstPageSize, 0);
  // Exact-size buffers: a read past len would be caught by the address sanitizer.
  std::vector<uint8_t> pe = {'P', 'E', 0, 0};
  EXPECT_EQ(MiVerifyImageHeader(pe.data(), page.data(), 4), kImageWin32);
  std::vector<uint8_t> shortPe = {'P', 'E', 0};
  EXPECT_EQ(MiVerifyImageHeader(shortPe.data(), page.data(), 3), kImageNotOs2);
  std::vector<uint8_t> ne = {'N', 'E'};
  // Every field reads as zero: target system 0, no version, entry table == imported names.
  EXPECT_EQ(MiVerifyImageHeader(ne.data(), page.data(), 2), kImageNotOs2);
  std::vector<uint8_t> one = {'N'};
  EXPECT_EQ(MiVerifyImageHeader(one.data(), page.data(), 1), kImageNotOs2);
}

TEST(MiCheckDosCalls, StopsAtTheFirstEntryOutsideTheBytesRead) {
  Image image = Image().imports({"KERNEL", "DOSCALLS"});
  const uint8_t* header = image.bytes().data() + kNe;
  uint32_t len = 0x100;
  EXPECT_TRUE(MiCheckDosCalls(header, len));
  // The first reference points past the bytes read: the later DOSCALLS is never reached.
  Image far = Image(image).put16(kNe + 0x50, 0x200);
  EXPECT_FALSE(MiCheckDosCalls(far.bytes().data() + kNe, len));
  // A name whose bytes run past the end of what was read.
  EXPECT_FALSE(MiCheckDosCalls(header, 0x60 + 1 + 7 + 5));
  // A table that does not fit in the bytes read.
  EXPECT_FALSE(MiCheckDosCalls(header, 0x50 + 3));
  // An empty name ends the search.
  Image empty = Image(image).put8(kNe + 0x61, 0);
  EXPECT_FALSE(MiCheckDosCalls(empty.bytes().data() + kNe, len));
  // Only the exact name of 8 bytes counts.
  EXPECT_FALSE(MiCheckDosCalls(Image().imports({"doscalls"}).bytes().data() + kNe, len));
  EXPECT_FALSE(MiCheckDosCalls(Image().imports({"DOSCALLS1"}).bytes().data() + kNe, len));
}

}  // namespace
