// The entry record's JSON form: defaults, the type and kind texts, the limit floor, wrong types.
#include <gtest/gtest.h>

#include <tuple>

#include <nlohmann/json.hpp>

#include "config/entry.h"

using nlohmann::json;

TEST(EntryJson, FillsDefaultsAndMapsTheTypeKindAndLimit) {
  const std::tuple<json, uint32_t, uint32_t, int32_t> cases[] = {  // members; type, is_dataset, limit_count
      {json::object(), OrgModels, 0, 300},
      {{{"type", "org-collections"}}, OrgCollections, 0, 300},
      {{{"type", "single-model"}, {"kind", "dataset"}}, SingleModel, 1, 300},
      {{{"type", "unknown"}, {"kind", "dataset"}}, OrgModels, 1, 300},
      {{{"type", "Single-Model"}, {"kind", "Dataset"}}, OrgModels, 0, 300},  // the texts are case-sensitive
      {{{"limit_count", 3}}, OrgModels, 0, 10},
      {{{"limit_count", 5000}}, OrgModels, 0, 5000},
  };
  for (auto [object, type, dataset, limit] : cases) {
    object["display_name"] = "Only a name";
    Entry entry;
    entry.org = "left over";  // a reused record: missing keys still get their defaults
    ASSERT_TRUE(EntryFromJson(object, &entry)) << object;
    EXPECT_EQ(std::tie(entry.type, entry.is_dataset, entry.limit_count), std::tie(type, dataset, limit)) << object;
    EXPECT_EQ(entry.org, "");
    EXPECT_FALSE(entry.cache_enabled);
  }
  const json odd = EntryToJson(Entry{"", 3, 2});  // a type outside the kinds; only exactly 1 means datasets
  EXPECT_EQ(odd["type"], "unknown");
  EXPECT_EQ(odd["kind"], "model");
}

TEST(EntryFromJson, AMemberOfTheWrongTypeOrRangeGivesItsDefaultAndOnlyTheNameDecides) {
  const json objects[] = {
      {{"id", 5}}, {{"kind", true}}, {{"cache_enabled", 1}}, {{"cached_at", "1"}}, {{"created_at", 1.5}},
      {{"limit_count", "300"}}, {{"created_at", 18446744073709551615ull}}, {{"limit_count", 4294967296ll}},
      {{"limit_count", 1e300}}, {{"limit_enabled", nullptr}},
  };
  for (json object : objects) {
    object.emplace("display_name", "E");
    Entry entry;
    ASSERT_TRUE(EntryFromJson(object, &entry)) << object;
    EXPECT_EQ(EntryToJson(entry), EntryToJson(Entry{"", OrgModels, 0, "", "", u"E"})) << object;
  }
  Entry entry;
  for (const json& nameless : {json{{"display_name", ""}}, json{{"display_name", 5}}, json::array({1}), json()}) {
    EXPECT_FALSE(EntryFromJson(nameless, &entry)) << nameless;
  }
  ASSERT_TRUE(EntryFromJson({{"display_name", "W"}, {"limit_count", 300.0}, {"cached_at", -7}}, &entry));
  EXPECT_EQ(std::tie(entry.limit_count, entry.cached_at), std::make_tuple(300, int64_t{-7}));
}
