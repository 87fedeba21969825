// The entry record's JSON form: defaults, the type and kind texts, the limit floor, wrong types.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "config/entry.h"

using nlohmann::json;

TEST(EntryFromJson, FillsDefaultsForMissingKeys) {
  Entry entry;
  entry.org = "left over";
  entry.limit_count = 42;
  ASSERT_TRUE(EntryFromJson(json{{"display_name", "Only a name"}}, &entry));
  EXPECT_EQ(entry.display_name, u"Only a name");
  EXPECT_EQ(entry.type, OrgModels);
  EXPECT_EQ(entry.is_dataset, 0u);
  EXPECT_EQ(entry.id, "");
  EXPECT_EQ(entry.org, "");
  EXPECT_EQ(entry.repo_id, "");
  EXPECT_FALSE(entry.cache_enabled);
  EXPECT_EQ(entry.cached_at, 0);
  EXPECT_EQ(entry.created_at, 0);
  EXPECT_TRUE(entry.limit_enabled);
  EXPECT_EQ(entry.limit_count, 300);
}

TEST(EntryFromJson, IsFalseWithoutADisplayName) {
  Entry entry;
  EXPECT_FALSE(EntryFromJson(json{{"org", "acme"}}, &entry));
  EXPECT_FALSE(EntryFromJson(json{{"org", "acme"}, {"display_name", ""}}, &entry));
}

TEST(EntryFromJson, MapsTypeAndKindTextsExactly) {
  struct Case {
    const char* type;
    const char* kind;
    uint32_t want_type;
    uint32_t want_dataset;
  };
  const Case cases[] = {
      {"org-models", "model", OrgModels, 0},          {"org-collections", "model", OrgCollections, 0},
      {"single-model", "dataset", SingleModel, 1},    {"unknown", "dataset", OrgModels, 1},
      {"Single-Model", "Dataset", OrgModels, 0},      {"", "datasets", OrgModels, 0},
  };
  for (const Case& c : cases) {
    Entry entry;
    ASSERT_TRUE(EntryFromJson(json{{"display_name", "E"}, {"type", c.type}, {"kind", c.kind}}, &entry)) << c.type;
    EXPECT_EQ(entry.type, c.want_type) << c.type;
    EXPECT_EQ(entry.is_dataset, c.want_dataset) << c.kind;
  }
}

TEST(EntryFromJson, RaisesSmallLimitsToTen) {
  const std::pair<json, int32_t> cases[] = {{3, 10}, {-7, 10}, {10, 10}, {5000, 5000}, {300.0, 300}};
  for (const auto& [value, want] : cases) {
    Entry entry;
    ASSERT_TRUE(EntryFromJson(json{{"display_name", "E"}, {"limit_count", value}}, &entry)) << value;
    EXPECT_EQ(entry.limit_count, want) << value;
  }
}

TEST(EntryFromJson, RejectsMembersOfTheWrongTypeWithoutThrowing) {
  const json bad_members[] = {
      {{"id", 5}},
      {{"type", 2}},
      {{"kind", true}},
      {{"org", nullptr}},
      {{"repo_id", json::array()}},
      {{"display_name", 12}},
      {{"cache_enabled", "true"}},
      {{"cache_enabled", 1}},
      {{"cached_at", "1700000000"}},
      {{"created_at", 1.5}},
      {{"created_at", 18446744073709551615ull}},  // beyond a signed 64-bit time
      {{"limit_enabled", 0}},
      {{"limit_count", "300"}},
      {{"limit_count", 4294967296ll}},  // beyond the 32-bit field
      {{"limit_count", 1e300}},
  };
  for (json object : bad_members) {
    const std::string shown = object.dump();
    object["display_name"] = object.value("display_name", json("E"));
    Entry entry;
    entry.org = "untouched";
    bool result = true;
    EXPECT_NO_THROW(result = EntryFromJson(object, &entry)) << shown;
    EXPECT_FALSE(result) << shown;
    EXPECT_EQ(entry.org, "untouched") << shown;
  }
  Entry entry;
  EXPECT_FALSE(EntryFromJson(json::array({1, 2}), &entry));
  EXPECT_FALSE(EntryFromJson(json("text"), &entry));
  EXPECT_FALSE(EntryFromJson(json(), &entry));
}

TEST(EntryToJson, WritesAllElevenKeysAndReadsBackTheSame) {
  Entry entry;
  entry.id = "e-1";
  entry.type = SingleModel;
  entry.is_dataset = 1;
  entry.org = "acme";
  entry.repo_id = "acme/set";
  entry.display_name = u"Caf\u00e9 \u65e5\u672c \U0001F600";
  entry.cache_enabled = true;
  entry.cached_at = 1700000000;
  entry.created_at = -5;
  entry.limit_enabled = false;
  entry.limit_count = 77;
  const json object = EntryToJson(entry);
  EXPECT_EQ(object.size(), 11u);
  EXPECT_EQ(object["type"], "single-model");
  EXPECT_EQ(object["kind"], "dataset");
  EXPECT_EQ(object["display_name"], "Caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80");

  Entry back;
  ASSERT_TRUE(EntryFromJson(object, &back));
  EXPECT_EQ(EntryToJson(back), object);
}

TEST(EntryToJson, WritesTypesOutsideTheKindsAsUnknown) {
  Entry entry;
  entry.display_name = u"E";
  entry.type = 3;
  entry.is_dataset = 2;  // only exactly 1 means datasets
  const json object = EntryToJson(entry);
  EXPECT_EQ(object["type"], "unknown");
  EXPECT_EQ(object["kind"], "model");
  EXPECT_EQ(object["limit_count"], 300);
  EXPECT_EQ(object["limit_enabled"], true);
}
