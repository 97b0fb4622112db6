// The loader: which format a file is taken for, how its records become one
// span, the checks on that span (one matrix), and the files objcopy makes of
// the built-in image, which must come back byte for byte.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "image/image_file.h"
#include "image/image_load.h"
#include "record_text.h"

namespace {

ImageCheck load(const std::string& text, LoadedImage* out,
                uint32_t raw_address = IMAGE_DEFAULT_RAW_ADDRESS,
                uint32_t max_span = IMAGE_MAX_SPAN) {
  const std::vector<uint8_t> data = bytes_of(text);
  return image_load(data.data(), data.size(), raw_address, max_span, out);
}

ImageFormat format_of(const std::string& text) {
  return image_detect_format(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

TEST(ImageLoadTest, TheFormatComesFromTheContent) {
  EXPECT_EQ(format_of(":00000001FF"), ImageFormat::intel_hex);
  EXPECT_EQ(format_of("\xEF\xBB\xBF\r\n  :00000001FF"), ImageFormat::intel_hex);
  EXPECT_EQ(format_of("S9030000FC"), ImageFormat::srec);
  EXPECT_EQ(format_of("\nS0"), ImageFormat::srec);
  EXPECT_EQ(format_of("SX"), ImageFormat::raw);
  EXPECT_EQ(format_of(std::string("\0:", 2)), ImageFormat::raw);
  EXPECT_EQ(format_of(""), ImageFormat::raw);
}

TEST(ImageLoadTest, GapsAreFilledWithErasedFlashAndListed) {
  LoadedImage image;
  const std::string text = "\xEF\xBB\xBF" + ihex(0, 0x4010, {5, 6}) + ihex(0, 0x4000, {1, 2}) +
                           ihex(0, 0x4001, {2, 3}) + ihex(0, 0x4020, {7}) + ihex(1, 0, {});
  ASSERT_TRUE(load(text, &image).ok());
  EXPECT_EQ(image.format, ImageFormat::intel_hex);
  EXPECT_EQ(image.load_address, 0x4000u);
  ASSERT_EQ(image.bytes.size(), 0x21u);
  EXPECT_EQ(image.bytes[2], 3);
  EXPECT_EQ(image.bytes[3], 0xFF);
  EXPECT_EQ(image.bytes[0x11], 6);
  EXPECT_EQ(image.bytes[0x20], 7);
  ASSERT_EQ(image.gaps.size(), 2u);
  EXPECT_EQ(image.gaps[0].address, 0x4003u);
  EXPECT_EQ(image.gaps[0].size, 13u);
  EXPECT_EQ(image.gaps[1].address, 0x4012u);
  EXPECT_EQ(image.gaps[1].size, 14u);
}

TEST(ImageLoadTest, ARawBinaryGoesWhereItIsPut) {
  LoadedImage image;
  ASSERT_TRUE(load(std::string("\x01\x02:", 3), &image, 0x08000000).ok());
  EXPECT_EQ(image.format, ImageFormat::raw);
  EXPECT_EQ(image.load_address, 0x08000000u);
  EXPECT_EQ(image.bytes, (std::vector<uint8_t>{1, 2, ':'}));
  EXPECT_TRUE(image.gaps.empty());

  // No control byte, but no UTF-8 either: bytes a firmware may well be
  // made of, never taken for text.
  for (const std::string& binary :
       {std::string(100 * 1024, '\x82'), std::string("AB\xC0\xAF"), std::string("\xED\xA0\x80"),
        std::string("ok \xF4\x90\x80\x80"), std::string("\xE2\x82")}) {
    ASSERT_TRUE(load(binary, &image).ok()) << binary.size();
    EXPECT_EQ(image.format, ImageFormat::raw);
    EXPECT_EQ(image.bytes.size(), binary.size());
  }
}

struct BadSpan {
  const char* name;
  std::string text;
  uint32_t raw_address;
  uint32_t max_span;
  ImageStatus status;
  std::string reason;
};

class BadSpanTest : public ::testing::TestWithParam<BadSpan> {};

TEST_P(BadSpanTest, IsRefusedWithItsReason) {
  const BadSpan& bad = GetParam();
  LoadedImage image;
  const ImageCheck check = load(bad.text, &image, bad.raw_address, bad.max_span);
  EXPECT_EQ(check.status, bad.status);
  EXPECT_EQ(check.reason, bad.reason);
  EXPECT_TRUE(image.bytes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadSpanTest,
    ::testing::Values(
        BadSpan{"EmptyFile", "", 0x4000, IMAGE_MAX_SPAN, ImageStatus::empty, "the file is empty"},
        BadSpan{"NoData", ihex(0, 0x4000, {}) + ihex(1, 0, {}), 0x4000, IMAGE_MAX_SPAN,
                ImageStatus::empty, "the file holds no data"},
        BadSpan{"Overlap",
                ihex(0, 0x4000, {1, 2, 3}) + ihex(0, 0x4002, {3, 4}) + ihex(0, 0x4001, {2, 9}) +
                    ihex(1, 0, {}),
                0x4000, IMAGE_MAX_SPAN, ImageStatus::overlap,
                "line 3: data for 0x00004002 differs from an earlier record for that address"},
        BadSpan{"BelowBootLoader", srec(1, 0x3FFF, {1, 2}) + srec(9, 0, {}), 0x4000, IMAGE_MAX_SPAN,
                ImageStatus::below_boot_area,
                "the image starts at 0x00003FFF, below 0x00004000 where the boot loader lives"},
        BadSpan{"RawBelowBootLoader",
                "\x01"
                "bc",
                0x100, IMAGE_MAX_SPAN, ImageStatus::below_boot_area,
                "the image starts at 0x00000100, below 0x00004000 where the boot loader lives"},
        BadSpan{"PastTop", srec(3, 0xFFFFFFFE, {1, 2, 3}) + srec(7, 0, {}), 0x4000, IMAGE_MAX_SPAN,
                ImageStatus::past_top,
                "the image ends at 0x100000000, past the top of the address space (0xFFFFFFFF)"},
        BadSpan{"RawPastTop",
                "\x01"
                "bc",
                0xFFFFFFFE, IMAGE_MAX_SPAN, ImageStatus::past_top,
                "the image ends at 0x100000000, past the top of the address space (0xFFFFFFFF)"},
        BadSpan{"DistantRecords", srec(3, 0x4000, {1}) + srec(3, 0x08000000, {2}) + srec(7, 0, {}),
                0x4000, IMAGE_MAX_SPAN, ImageStatus::too_large,
                "the image spans 134201345 bytes from 0x00004000, more than the 16777216 bytes "
                "this upgrader sends"},
        BadSpan{"RawTooLarge",
                "\x01"
                "bcde",
                0x4000, 4, ImageStatus::too_large,
                "the image is 5 bytes, more than the 4 bytes this upgrader sends"},
        // Text is never flashed as a raw binary, whatever it holds.
        BadSpan{"CommentAboveRecords", "# release 2\r\n" + ihex(0, 0x4000, {1}) + ihex(1, 0, {}),
                0x4000, IMAGE_MAX_SPAN, ImageStatus::syntax,
                "line 1 is no Intel HEX or S-record ('# release 2'): a text file must hold "
                "records only, and only a file that is not text is sent as a raw binary"},
        BadSpan{"TextWithoutRecords", "\n  \nnotes: \xC3\xBC " + std::string(50, 'x'), 0x4000,
                IMAGE_MAX_SPAN, ImageStatus::syntax,
                "line 3 is no Intel HEX or S-record ('notes: \xC3\xBC " + std::string(30, 'x') +
                    "...'): a text file must hold records only, and only a file that is not "
                    "text is sent as a raw binary"},
        // What a terminal would obey is shown escaped, never cut inside a character.
        BadSpan{"ControlsInText",
                "\xEF\xBB\xBFrev\t2\f\xC2\x9B" + std::string(18, 'y') + "\xE2\x82\xAC.", 0x4000,
                IMAGE_MAX_SPAN, ImageStatus::syntax,
                "line 1 is no Intel HEX or S-record ('rev\\x092\\x0c\\xc2\\x9b" +
                    std::string(18, 'y') +
                    "...'): a text file must hold records only, and only a file that is not "
                    "text is sent as a raw binary"}),
    [](const ::testing::TestParamInfo<BadSpan>& info) { return std::string(info.param.name); });

std::vector<uint8_t> read_whole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

TEST(ImageFileTest, ObjcopyOutputGivesBackTheImage) {
  const std::string made = ORVA_MADE_DIR;
  if (made.empty()) GTEST_SKIP() << "objcopy was not found at configure time";
  const std::vector<uint8_t> original = read_whole(ORVA_FIRMWARE_FILE);
  ASSERT_EQ(original.size(), 180036u);
  const struct {
    const char* file;
    ImageFormat format;
    uint32_t address;
  } files[] = {{"low.hex", ImageFormat::intel_hex, 0x4000},
               {"high.hex", ImageFormat::intel_hex, 0x08000000},
               {"low.srec", ImageFormat::srec, 0x4000},
               {"high.srec", ImageFormat::srec, 0x08000000},
               {"s3.srec", ImageFormat::srec, 0x4000}};
  for (const auto& f : files) {
    SCOPED_TRACE(f.file);
    LoadedImage image;
    // The raw address must not matter for the text formats.
    const ImageCheck check = image_load_file(made + "/" + f.file, 0x12345678, &image);
    ASSERT_TRUE(check.ok()) << check.reason;
    EXPECT_EQ(image.format, f.format);
    EXPECT_EQ(image.load_address, f.address);
    EXPECT_TRUE(image.bytes == original);
    EXPECT_TRUE(image.gaps.empty());
  }
}

TEST(ImageFileTest, AFileThatCannotBeReadIsSaidSo) {
  LoadedImage image;
  EXPECT_EQ(image_load_file("/nonexistent/image.hex", 0x4000, &image).status,
            ImageStatus::unreadable);
  EXPECT_EQ(image_load_file(".", 0x4000, &image).status, ImageStatus::unreadable);
}

} // namespace
