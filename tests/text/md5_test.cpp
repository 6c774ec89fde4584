#include "text/md5.h"

#include <gtest/gtest.h>

#include "text/charset.h"

namespace vigilo {
namespace {

TEST(Md5Hex, KnownDigestsAndForms) {
    struct Case {
        std::string_view bytes;
        bool upper, shortForm;
        std::string_view want;
    };
    const Case cases[] = {
        {"", false, false, "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", false, false, "900150983cd24fb0d6963f7d28e17f72"},
        {"abc", true, false, "900150983CD24FB0D6963F7D28E17F72"},
        {"abc", false, true, "3cd24fb0d6963f7d"},
        {"abc", true, true, "3CD24FB0D6963F7D"},
    };
    for (const auto& c : cases) EXPECT_EQ(md5Hex(c.bytes, c.upper, c.shortForm), c.want) << c.bytes;
}

TEST(Md5Hex, InstanceSeedHashesItsGbkBytes) {
    const std::string gbk = utf8ToGbk("你懒得输入，我就写死，略略");
    ASSERT_EQ(gbk.size(), 26u);
    EXPECT_EQ(md5Hex(gbk), "917b41c1b5ace220c8b4dcacd5857727");
}

}  // namespace
}  // namespace vigilo
