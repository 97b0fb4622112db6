// The Intel HEX and S-record parsers on records written by hand: what each
// record type contributes, and one matrix of every malformed file with the
// status and line the user is told.
#include <gtest/gtest.h>

#include "image/intel_hex.h"
#include "image/srec.h"
#include "record_text.h"

namespace {

ImageCheck parse_hex(const std::string& text, ImageRecords* out) {
  return intel_hex_parse(reinterpret_cast<const uint8_t*>(text.data()), text.size(), out);
}
ImageCheck parse_srec(const std::string& text, ImageRecords* out) {
  return srec_parse(reinterpret_cast<const uint8_t*>(text.data()), text.size(), out);
}

struct Piece {
  uint64_t address;
  uint32_t size;
  uint32_t line;
  bool operator==(const Piece& o) const {
    return address == o.address && size == o.size && line == o.line;
  }
};
std::vector<Piece> pieces(const ImageRecords& r) {
  std::vector<Piece> out;
  for (const ImagePiece& p : r.pieces) out.push_back({p.address, p.size, p.line});
  return out;
}
void PrintTo(const Piece& p, std::ostream* os) {
  *os << std::hex << p.address << "+" << p.size << "@" << p.line;
}

TEST(IntelHexTest, TakesAPublishedExampleVerbatim) {
  ImageRecords r;
  ASSERT_TRUE(parse_hex(":10010000214601360121470136007EFE09D2190140\r\n"
                        ":100110002146017E17C20001FF5F16002148011928\r\n"
                        ":00000001FF\r\n",
                        &r)
                  .ok());
  EXPECT_EQ(pieces(r), (std::vector<Piece>{{0x100, 16, 1}, {0x110, 16, 2}}));
  EXPECT_EQ(r.bytes[0], 0x21);
  EXPECT_EQ(r.bytes[31], 0x19);
}

TEST(IntelHexTest, SegmentAndLinearBasesApplyToTheRecordsAfterThem) {
  ImageRecords r;
  const std::string text = ihex(0, 0x4000, {1, 2}) + ihex(2, 0, {0x10, 0x00}) +
                           ihex(0, 0x0010, {3}) + ihex(3, 0, {0, 0, 0x40, 0}) + "\n  \n" +
                           ihex(4, 0, {0x08, 0x00}) + ihex(0, 0xFFFF, {4}) +
                           ihex(5, 0, {8, 0, 0, 0}) + ihex(1, 0, {}) + "\x1a";
  ASSERT_TRUE(parse_hex(text, &r).ok()) << parse_hex(text, &r).reason;
  EXPECT_EQ(pieces(r), (std::vector<Piece>{{0x4000, 2, 1}, {0x10010, 1, 3}, {0x0800FFFF, 1, 8}}));
  EXPECT_EQ(r.bytes, (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(SrecTest, TakesAPublishedExampleVerbatim) {
  ImageRecords r;
  ASSERT_TRUE(parse_srec("S00F000068656C6C6F202020202000003C\n"
                         "S11F00007C0802A6900100049421FFF07C6C1B787C8C23783C6000003863000026\n"
                         "S11F001C4BFFFFE5398000007D83637880010014382100107C0803A64E800020E9\n"
                         "S111003848656C6C6F20776F726C642E0A0042\n"
                         "S5030003F9\n"
                         "S9030000FC\n",
                         &r)
                  .ok());
  EXPECT_EQ(pieces(r), (std::vector<Piece>{{0, 28, 2}, {0x1C, 28, 3}, {0x38, 14, 4}}));
  EXPECT_EQ(r.bytes[0x38], 'H');
}

TEST(SrecTest, AddressWidthsFollowTheRecordType) {
  ImageRecords r;
  const std::string text = srec(0, 0, {'h', 'i'}) + srec(1, 0x4000, {1}) +
                           srec(2, 0x123456, {2, 3}) + srec(3, 0xFFFFFFFF, {4}) + srec(6, 3, {}) +
                           srec(7, 0x4000, {});
  ASSERT_TRUE(parse_srec(text, &r).ok()) << parse_srec(text, &r).reason;
  EXPECT_EQ(pieces(r), (std::vector<Piece>{{0x4000, 1, 2}, {0x123456, 2, 3}, {0xFFFFFFFF, 1, 4}}));
}

struct BadFile {
  const char* name;
  bool hex; // else S-record
  std::string text;
  ImageStatus status;
  const char* reason;
};

class BadRecordTest : public ::testing::TestWithParam<BadFile> {};

TEST_P(BadRecordTest, IsRefusedWithItsLineAndReason) {
  const BadFile& bad = GetParam();
  ImageRecords r;
  const ImageCheck check = bad.hex ? parse_hex(bad.text, &r) : parse_srec(bad.text, &r);
  EXPECT_EQ(check.status, bad.status);
  EXPECT_EQ(check.reason, bad.reason);
}

const std::string HEX_END = ihex(1, 0, {});
const std::string SREC_END = srec(9, 0, {});

INSTANTIATE_TEST_SUITE_P(
    Files, BadRecordTest,
    ::testing::Values(
        BadFile{"HexChecksum", true, ihex(0, 0x4000, {1}) + ihex(0, 0x4001, {2}, 1) + HEX_END,
                ImageStatus::checksum,
                "line 2: checksum error (record says 0xBD, its bytes give 0xBC)"},
        BadFile{"HexNoColon", true, "10010000\n" + HEX_END, ImageStatus::syntax,
                "line 1: a record must start with ':'"},
        BadFile{"HexOddDigits", true, ":0000000\n" + HEX_END, ImageStatus::syntax,
                "line 1: not a record of hexadecimal digit pairs"},
        BadFile{"HexNotADigit", true, ":00000G01FF\n", ImageStatus::syntax,
                "line 1: not a record of hexadecimal digit pairs"},
        BadFile{"HexTooLong", true, ":" + std::string(600, '0') + "\n", ImageStatus::syntax,
                "line 1: longer than any record can be"},
        BadFile{"HexTooShort", true, ":00000001\n", ImageStatus::syntax,
                "line 1: too short for a record"},
        BadFile{"HexCountMismatch", true, ":0240000001FF\n" + HEX_END, ImageStatus::syntax,
                "line 1: holds 1 data bytes, its count says 2"},
        BadFile{"HexUnknownType", true, ihex(6, 0, {1, 2}) + HEX_END, ImageStatus::record_type,
                "line 1: record type 0x06 is not taken"},
        BadFile{"HexEndWithData", true, ihex(1, 0, {0}), ImageStatus::syntax,
                "line 1: end-of-file record with data"},
        BadFile{"HexShortLinearBase", true, ihex(4, 0, {8}) + HEX_END, ImageStatus::syntax,
                "line 1: address record needs 2 data bytes and address 0000"},
        BadFile{"HexShortStart", true, ihex(5, 0, {8}) + HEX_END, ImageStatus::syntax,
                "line 1: start address record needs 4 data bytes"},
        BadFile{"HexPastSegmentEnd", true, ihex(0, 0xFFFF, {1, 2}) + HEX_END, ImageStatus::syntax,
                "line 1: data record runs past the end of its 64 KiB segment"},
        BadFile{"HexAfterEnd", true, HEX_END + "\n" + ihex(0, 0x4000, {1}), ImageStatus::syntax,
                "line 3: text after the end-of-file record"},
        BadFile{"HexCutShort", true, ihex(0, 0x4000, {1}), ImageStatus::no_end,
                "no end-of-file record: the file may be cut short"},
        BadFile{"SrecChecksum", false, srec(1, 0x4000, {1}, -1) + SREC_END, ImageStatus::checksum,
                "line 1: checksum error (record says 0xB9, its bytes give 0xBA)"},
        BadFile{"SrecS4", false, srec(4, 0, {}) + SREC_END, ImageStatus::record_type,
                "line 1: record type S4 is not taken"},
        BadFile{"SrecNoType", false, "SX0300FC\n" + SREC_END, ImageStatus::syntax,
                "line 1: a record must start with S and a type digit"},
        BadFile{"SrecCountMismatch", false, "S1054000FF\n" + SREC_END, ImageStatus::syntax,
                "line 1: holds 3 bytes after its count, the count says 5"},
        BadFile{"SrecShortAddress", false, "S30400000AF1\n" + SREC_END, ImageStatus::syntax,
                "line 1: too short for its address"},
        BadFile{"SrecWrongCount", false, srec(1, 0x4000, {1}) + srec(5, 2, {}) + SREC_END,
                ImageStatus::syntax,
                "line 2: count record says 2 data records, the file has 1 before it"},
        BadFile{"SrecEndWithData", false, srec(9, 0x4000, {1}), ImageStatus::syntax,
                "line 1: record type S9 carries no data"},
        BadFile{"SrecAfterEnd", false, SREC_END + srec(1, 0x4000, {1}), ImageStatus::syntax,
                "line 2: text after the termination record"},
        BadFile{"SrecCutShort", false, srec(0, 0, {}) + srec(1, 0x4000, {1}), ImageStatus::no_end,
                "no termination record (S7, S8 or S9): the file may be cut short"}),
    [](const ::testing::TestParamInfo<BadFile>& info) { return std::string(info.param.name); });

} // namespace
