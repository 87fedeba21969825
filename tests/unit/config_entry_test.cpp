// The entry record's JSON form: defaults, the type and kind texts, the limit floor, wrong types.
#include <gtest/gtest.h>

#include <tuple>

#include <nlohmann/json.hpp>

#include "config/entry.h"

using nlohmann::json;

TEST(EntryJson, FillsDefaultsMapsTheTypeKindAndLimitAndReadsWrongTypesAsDefaults) {
  std::vector<std::tuple<json, uint32_t, uint32_t, int32_t>> cases = {  // members; type, is_dataset, limit_count
      {json::object(), OrgModels, 0, 300},
      {{{"type", "org-collections"}}, OrgCollections, 0, 300},
      {{{"type", "single-model"}, {"kind", "dataset"}}, SingleModel, 1, 300},
      {{{"type", "unknown"}, {"kind", "dataset"}}, OrgModels, 1, 300},
      {{{"type", "Single-Model"}, {"kind", "Dataset"}}, OrgModels, 0, 300},  // the texts are case-sensitive
      {{{"limit_count", 3}}, OrgModels, 0, 10},
      {{{"limit_count", 5000}}, OrgModels, 0, 5000},
  };
  for (const json& wrong : {json{{"id", 5}}, json{{"kind", true}}, json{{"cache_enabled", 1}}, json{{"cached_at", "1"}},
                            json{{"created_at", 1.5}}, json{{"limit_count", "300"}},
                            json{{"created_at", 18446744073709551615ull}}, json{{"limit_count", 4294967296ll}},
                            json{{"limit_count", 1e300}}, json{{"limit_enabled", nullptr}}}) {
    cases.emplace_back(wrong, OrgModels, 0, 300);
  }
  for (auto [object, type, dataset, limit] : cases) {
    object["display_name"] = "E";
    Entry entry;
    entry.org = "left over";  // a reused record: missing keys still get their defaults
    ASSERT_TRUE(EntryFromJson(object, &entry)) << object;
    Entry expected{"", type, dataset, "", "", u"E"};
    expected.limit_count = limit;
    EXPECT_EQ(EntryToJson(entry), EntryToJson(expected)) << object;
  }
  const json odd = EntryToJson(Entry{"", 3, 2});  // a type outside the kinds; only exactly 1 means datasets
  EXPECT_EQ(odd["type"], "unknown");
  EXPECT_EQ(odd["kind"], "model");

  Entry entry;  // only the name decides whether there is an entry at all
  for (const json& nameless : {json{{"display_name", ""}}, json{{"display_name", 5}}, json::array({1}), json()}) {
    EXPECT_FALSE(EntryFromJson(nameless, &entry)) << nameless;
  }
  ASSERT_TRUE(EntryFromJson({{"display_name", "W"}, {"limit_count", 300.0}, {"cached_at", -7}}, &entry));
  EXPECT_EQ(std::tie(entry.limit_count, entry.cached_at), std::make_tuple(300, int64_t{-7}));
}
