#include "json_value.h"

#include <gtest/gtest.h>

#include "platform/json_text.h"

namespace karvo::safari {
namespace {

Json parsed(const char* text) { return platform::parseJson(text).value(); }

TEST(TypedReads, BooleanTestTakesOneAndZeroAndNothingElse) {
  const Json object = parsed(R"({"t":true,"f":false,"one":1,"zero":0,"oneFloat":1.0,"two":2,
                                 "minus":-1,"half":0.5,"text":"true","null":null})");
  EXPECT_EQ(boolMember(object, "t"), true);
  EXPECT_EQ(boolMember(object, "f"), false);
  EXPECT_EQ(boolMember(object, "one"), true);
  EXPECT_EQ(boolMember(object, "zero"), false);
  EXPECT_EQ(boolMember(object, "oneFloat"), true);
  for (const char* key : {"two", "minus", "half", "text", "null", "missing"}) {
    EXPECT_EQ(boolMember(object, key), std::nullopt) << key;
  }
}

TEST(TypedReads, OtherTypesCountAsAbsent) {
  const Json object = parsed(R"({"id":7,"text":"x","obj":{},"arr":[{},{"a":1}],"mixed":[{},1],"empty":[]})");
  EXPECT_EQ(stringMember(object, "id"), nullptr);
  ASSERT_NE(stringMember(object, "text"), nullptr);
  EXPECT_EQ(*stringMember(object, "text"), "x");
  EXPECT_EQ(objectMember(object, "text"), nullptr);
  EXPECT_NE(objectMember(object, "obj"), nullptr);
  EXPECT_NE(objectArrayMember(object, "arr"), nullptr);
  EXPECT_EQ(objectArrayMember(object, "mixed"), nullptr);
  EXPECT_NE(objectArrayMember(object, "empty"), nullptr);
  EXPECT_EQ(objectArrayMember(object, "obj"), nullptr);
  // Reads on something that is not an object find nothing.
  EXPECT_EQ(stringMember(Json::array(), "text"), nullptr);
  EXPECT_EQ(boolMember(Json("x"), "t"), std::nullopt);
}

TEST(TextEquality, ComparesByCanonicalEquivalence) {
  EXPECT_TRUE(textEquals("caf\u00e9", "cafe\u0301"));          // precomposed and decomposed
  EXPECT_TRUE(textEquals("\u1e9b\u0323", "\u017f\u0323\u0307"));  // reordered marks
  EXPECT_FALSE(textEquals("poll", "Poll"));
  EXPECT_FALSE(textEquals("caf\u00e9", "cafe"));
  EXPECT_FALSE(textEquals("\uFB01", "fi"));  // compatibility equivalence is not enough
  EXPECT_TRUE(textEquals("", ""));
  // Text that is not UTF-8 equals only itself.
  EXPECT_TRUE(textEquals("\xff", "\xff"));
  EXPECT_FALSE(textEquals("\xff", "\xfe"));
  EXPECT_TRUE(memberTextEquals(parsed(R"({"id":"cafe\u0301"})"), "id", "caf\u00e9"));
  EXPECT_FALSE(memberTextEquals(parsed(R"({"id":5})"), "id", "5"));
}

TEST(JsonTextFacility, ParsesExactlyOneValue) {
  EXPECT_TRUE(platform::parseJson(" {\"a\":1}\r\n"));
  EXPECT_FALSE(platform::parseJson("{\"a\":1} {\"b\":2}"));
  EXPECT_FALSE(platform::parseJson("{\"a\":1,}"));
  EXPECT_FALSE(platform::parseJson(""));
  EXPECT_FALSE(platform::parseJson("\"\xff\""));
  EXPECT_FALSE(platform::parseJson("{\"a\":1} // note"));
}

TEST(JsonTextFacility, RefusesNestingTooDeepToHandle) {
  EXPECT_TRUE(platform::parseJson(std::string(512, '[') + std::string(512, ']')));
  EXPECT_FALSE(platform::parseJson(std::string(513, '[') + std::string(513, ']')));
  // Brackets inside strings do not count.
  EXPECT_TRUE(platform::parseJson("[\"" + std::string(1000, '[') + "\"]"));
}

TEST(JsonTextFacility, WritesCompactTextAndRefusesInvalidUtf8) {
  EXPECT_EQ(platform::serializeJson(parsed(R"({ "b" : [1, 2.5, "x"], "a" : null })")),
            R"({"a":null,"b":[1,2.5,"x"]})");
  EXPECT_EQ(platform::serializeJson(Json{{"bad", "\xff"}}), std::nullopt);
}

}  // namespace
}  // namespace karvo::safari
