#include "kestrun/update/wire_protocol.h"

#include <gtest/gtest.h>

using namespace kestrun::wire;
using namespace std::string_literals;

namespace {

const char* kindName(RequestKind kind) {
    switch (kind) {
    case RequestKind::GetVer:
        return "getVer";
    case RequestKind::Done:
        return "Done";
    case RequestKind::GetState:
        return "getState";
    case RequestKind::Fail:
        return "Fail";
    case RequestKind::GetLang:
        return "getLang";
    case RequestKind::GetFile:
        return "getFile";
    case RequestKind::GetSize:
        return "getSize";
    case RequestKind::Other:
        break;
    }
    return "other";
}

} // namespace

TEST(WireProtocol, RequestsMatchWholeCommandsThenFileAndSizePrefixes) {
    const struct {
        std::string read;
        const char* kind;
        const char* name;
    } cases[] = {
        {"getVer\r\n", "getVer", ""},
        {"Done\r\n", "Done", ""},
        {"getState\r\n", "getState", ""},
        {"Fail\r\n", "Fail", ""},
        {"getLang\r\n", "getLang", ""},
        {"getVer\r\n\0trailing"s, "getVer", ""}, // the text ends at the first NUL
        {"getver\r\n", "other", ""},
        {"getVer", "other", ""},
        {"getVer\r", "other", ""},
        {"getVer\n", "other", ""},
        {" getVer\r\n", "other", ""},
        {"getVer\r\ngetState\r\n", "other", ""},
        {"Done\r\nDone\r\n", "other", ""},
        {"", "other", ""},
        {"\0getVer\r\n"s, "other", ""},
        {"getFile:de.ini\r\n", "getFile", "de.ini"},
        {"getFile:de.ini", "getFile", "de.ini"},
        {"getFile:d\r\ne.ini\r\n", "getFile", "de.ini"},
        {"getFile:d\r\r\n\ne.ini", "getFile", "d\r\ne.ini"}, // one pass: the pair inside goes
        {"getFile:de.ini\r", "getFile", "de.ini\r"},
        {"getFile:de.ini\n", "getFile", "de.ini\n"},
        {"getFile:", "getFile", ""},
        {"getFile:getSize:x", "getFile", "getSize:x"},
        {"getSize:en.ini\r\n", "getSize", "en.ini"},
        {"getSize:.\r\n.\r\n/x\r\n", "getSize", "../x"},
        {"getSize:a\0b"s, "getSize", "a"},
        {"getsize:en.ini\r\n", "other", ""},
        {"getSize en.ini\r\n", "other", ""},
        {"xgetFile:de.ini\r\n", "other", ""},
    };
    for (const auto& c : cases) {
        const Request r = matchRequest(c.read);
        EXPECT_STREQ(kindName(r.kind), c.kind) << testing::PrintToString(c.read);
        EXPECT_EQ(r.name, c.name) << testing::PrintToString(c.read);
    }
}

TEST(WireProtocol, RepliesAreWrittenByteForByte) {
    EXPECT_EQ(versionReply(kestrun::FileVersion{{5, 2, 0, 117}}), "ZLM:5.2.0.117\r");
    EXPECT_EQ(versionReply(std::nullopt), "ZLM:0.0.0.0\r");
    EXPECT_EQ(stateReply(60, 10, 1), "60;10;1\r");
    EXPECT_EQ(stateReply(0xFFFFFFFFu, 0, 0), "-1;0;0\r"); // "%d" of the 32-bit word
    EXPECT_EQ(listReply({}), "Empty");
    EXPECT_EQ(listReply({{"de.ini", "240315103000"}, {"en.ini", "240101000000"}}),
              "de.ini\t240315103000\nen.ini\t240101000000\n");
    EXPECT_EQ(sizeReply(2500), "2500\n");
    EXPECT_EQ(sizeReply(0), "0\n");
    EXPECT_EQ(sizeReply(0x100000000ull + 7), "7\n");      // low 32 bits
    EXPECT_EQ(sizeReply(0x80000000ull), "-2147483648\n"); // as "%d" shows them
    EXPECT_EQ(getFileRequest("de.ini"), "getFile:de.ini\r\n");
    EXPECT_EQ(getSizeRequest("de.ini"), "getSize:de.ini\r\n");
}

TEST(WireProtocol, StateRepliesYieldWhatTheirSemicolonsAllow) {
    const struct {
        const char* reply;
        std::optional<std::int32_t> upost, upull, busy;
    } cases[] = {
        {"60;10;1\r", 60, 10, 1},
        {"60\r", std::nullopt, std::nullopt, std::nullopt},
        {"60;10\r", 60, std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt, std::nullopt},
        {";;", 0, 0, 0},
        {" 25; 20;1;9", 25, 20, 1},
        {"x;-5;y", 0, -5, 0},
        {"99999999999;1;0", 2147483647, 1, 0},
    };
    for (const auto& c : cases) {
        const StateReply s = parseStateReply(c.reply);
        EXPECT_EQ(s.upost, c.upost) << c.reply;
        EXPECT_EQ(s.upull, c.upull) << c.reply;
        EXPECT_EQ(s.busy, c.busy) << c.reply;
    }
}

TEST(WireProtocol, VersionRepliesMustStartWithTheirTag) {
    const struct {
        const char* reply;
        const char* version;
    } cases[] = {
        {"ZLM:5.2.0.117\r", "5.2.0.117"},
        {"ZLM:5.2.0.117", "5.2.0.117"},
        {"ZLM:5.2", nullptr},
        {"ZLM:0.0.0.0\r", "0.0.0.0"},
        {" ZLM:5.2.0.117\r", nullptr},
        {"zlm:5.2.0.117\r", nullptr},
        {"", nullptr},
        {"ZLM:65535.65535.65535.65535\r", "65535.65535.65535.65535"},
    };
    for (const auto& c : cases) {
        const auto v = parseVersionReply(c.reply);
        if (c.version) {
            ASSERT_TRUE(v) << c.reply;
            EXPECT_EQ(v->text(), c.version) << c.reply;
        } else {
            EXPECT_FALSE(v) << c.reply;
        }
    }
}

TEST(WireProtocol, FileListsKeepTabbedLinesUpToTheLastLineFeed) {
    const auto list =
        parseFileList("de.ini\t240315103000\nno tab here\nen.ini\t2401\t01\n\t240101000000\n"
                      "cut.ini\t240101000000");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].name, "de.ini");
    EXPECT_EQ(list[0].stamp, "240315103000");
    EXPECT_EQ(list[1].name, "en.ini");
    EXPECT_EQ(list[1].stamp, "2401\t01"); // split at the first tab only
    EXPECT_EQ(list[2].name, "");          // the caller decides about empty names
    EXPECT_TRUE(parseFileList("Empty").empty());
    EXPECT_TRUE(parseFileList("Empty\nde.ini\t240315103000\n").empty());
    EXPECT_TRUE(parseFileList("").empty());
    EXPECT_EQ(parseFileList("de.ini\t1\r\n").at(0).stamp, "1\r");
    // Stamps as times: two-digit years 69 to 99 are in the 1900s; anything else names none.
    EXPECT_EQ(parseStamp("240315103000"),
              kestrun::LocalDateTime::fromFields(2024, 3, 15, 10, 30, 0));
    EXPECT_EQ(parseStamp("681231235959")->year(), 2068);
    EXPECT_EQ(parseStamp("690101000000")->year(), 1969);
    for (const char* bad : {"999999999999", "24031510300", "2403151030000", "24031510300x",
                            "240230103000", "1\r", ""})
        EXPECT_FALSE(parseStamp(bad)) << bad;
}

TEST(WireProtocol, SizesReadLikeAtoiAndPlainNamesHaveNoFolderPart) {
    EXPECT_EQ(parseSizeReply("2500\n"), 2500);
    EXPECT_EQ(parseSizeReply("0\n"), 0);
    EXPECT_EQ(parseSizeReply(""), 0);
    EXPECT_EQ(parseSizeReply("  12abc"), 12);
    for (const char* good : {"de.ini", "..de", "de..", "a b", "...", ".hidden"})
        EXPECT_TRUE(isPlainFileName(good)) << good;
    for (const char* bad :
         {"", ".", "..", "../de.ini", "..\\de.ini", "/etc/passwd", "a/b", "a\\b", "C:\\x"})
        EXPECT_FALSE(isPlainFileName(bad)) << bad;
}
