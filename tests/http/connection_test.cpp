// WWWconnection: output modes and parameters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "wwwapi.h"

TEST(Connection, EscapedModeWritesMarkupCharactersAsEntities) {
  const std::pair<const char*, const char*> cases[] = {
      {" ", "&nbsp;"},
      {"  ", "  "},
      {"a<b>c", "a&lt;b&gt;c"},
      {"Tom & \"Jerry\" 's", "Tom &amp; &quot;Jerry&quot; &#39;s"},
      {"\xa4\xa4\xa4\xe5 5\xa5\x5c", "\xa4\xa4\xa4\xe5 5\xa5\x5c"},  // Big5 passes through
      {"", ""},
  };
  WWWconnection con;
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    con.reset();
    con.setMode(WWWconnection::escaped);
    con.put(text);
    EXPECT_EQ(con.reply(), expected);
  }
}

TEST(Connection, OutputAlternatesBetweenMarkupAndValues) {
  WWWconnection con;
  con.setMode(WWWconnection::raw);
  con.put("<td>").put("<x>").put("</td>").putNumber(-42).put("<br>").putNumber(7);
  EXPECT_EQ(con.reply(), "<td>&lt;x&gt;</td>-42<br>7");
  // A missing parameter value writes nothing but keeps the alternation.
  con.reset();
  con.put("<td>").put(con.param("absent")).put("</td>").put("<&>");
  EXPECT_EQ(con.reply(), "<td></td>&lt;&amp;&gt;");
}

TEST(Connection, ParamsDecodeInPlaceAndResetForgetsThem) {
  WWWconnection con;
  char text[] = "page=list&name=%E4%B8%AD+x&empty=&%70age=again&flag";
  EXPECT_STREQ(con.parseParams(text, std::strlen(text)), "again");
  EXPECT_STREQ(con.param("name"), "\xe4\xb8\xad x");
  EXPECT_STREQ(con.param("empty"), "");
  EXPECT_STREQ(con.param("flag"), "");
  EXPECT_EQ(con.param("Name"), nullptr);
  con.reset();
  EXPECT_EQ(con.param("page"), nullptr);
  char next[] = "page=one";
  EXPECT_STREQ(con.parseParams(next, std::strlen(next)), "one");
  EXPECT_EQ(con.param("name"), nullptr);
}

TEST(Connection, NamesHashWithTheElfHash) {
  // Worked by hand: ((112 * 16 + 97) * 16 + 103) * 16 + 101.
  EXPECT_EQ(wwwHashCode("page"), 485333u);
  // A byte above 0x7F counts as negative (0xFFFFFFA4); the top four bits are
  // folded in (^ 0xF0) and cleared.
  EXPECT_EQ(wwwHashCode("\xa4"), 0x0FFFFF54u);
  EXPECT_EQ(wwwHashCode(""), 0u);
}

TEST(Connection, ResetKeepsOrdinaryReplyMemoryButNotAHugeReply) {
  WWWconnection con;
  con.put(std::string(100000, 'x').c_str());
  size_t ordinary = con.reply().capacity();
  con.reset();
  EXPECT_EQ(con.reply().capacity(), ordinary);
  con.put(std::string(8 << 20, 'x').c_str());
  con.reset();
  EXPECT_LT(con.reply().capacity(), size_t{1} << 20);
}
