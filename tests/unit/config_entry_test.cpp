// The entry record's JSON form: defaults, the type and kind texts, the limit floor, the revision,
// wrong types.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/entry.h"

using nlohmann::json;

TEST(EntryJson, FillsDefaultsMapsTheTypeKindLimitAndRevisionAndReadsWrongTypesAsDefaults) {
  // members; type, is_dataset, limit_count, revision
  std::vector<std::tuple<json, uint32_t, uint32_t, int32_t, std::string>> cases = {
      {json::object(), OrgModels, 0, 300, "main"},
      {{{"type", "org-collections"}}, OrgCollections, 0, 300, "main"},
      {{{"type", "single-model"}, {"kind", "dataset"}}, SingleModel, 1, 300, "main"},
      {{{"type", "unknown"}, {"kind", "dataset"}}, OrgModels, 1, 300, "main"},
      {{{"type", "Single-Model"}, {"kind", "Dataset"}}, OrgModels, 0, 300, "main"},  // the texts are case-sensitive
      {{{"limit_count", 3}}, OrgModels, 0, 10, "main"},
      {{{"limit_count", 5000}}, OrgModels, 0, 5000, "main"},
      // A revision is read for one repository only and written only when not main, so files written
      // before revisions existed save as they were.
      {{{"type", "single-model"}, {"revision", "step1000"}}, SingleModel, 0, 300, "step1000"},
      {{{"type", "single-model"}, {"revision", "refs/pr/1"}}, SingleModel, 0, 300, "refs/pr/1"},
      {{{"type", "single-model"}, {"revision", "main"}}, SingleModel, 0, 300, "main"},
      {{{"type", "single-model"}, {"revision", ""}}, SingleModel, 0, 300, "main"},
      {{{"type", "single-model"}, {"revision", 7}}, SingleModel, 0, 300, "main"},
      {{{"revision", "dev"}}, OrgModels, 0, 300, "main"},  // organisations list main whatever the file says
  };
  for (const json& wrong : {json{{"id", 5}}, json{{"kind", true}}, json{{"cache_enabled", 1}}, json{{"cached_at", "1"}},
                            json{{"created_at", 1.5}}, json{{"limit_count", "300"}},
                            json{{"created_at", 18446744073709551615ull}}, json{{"limit_count", 4294967296ll}},
                            json{{"limit_count", 1e300}}, json{{"limit_enabled", nullptr}}}) {
    cases.emplace_back(wrong, OrgModels, 0, 300, "main");
  }
  for (auto [object, type, dataset, limit, revision] : cases) {
    object["display_name"] = "E";
    Entry entry;
    entry.org = "left over";  // a reused record: missing keys still get their defaults
    entry.revision = "left over";
    ASSERT_TRUE(EntryFromJson(object, &entry)) << object;
    Entry expected{"", type, dataset, "", "", u"E"};
    expected.limit_count = limit;
    expected.revision = revision;
    EXPECT_EQ(EntryToJson(entry), EntryToJson(expected)) << object;
    EXPECT_EQ(entry.revision, revision) << object;
    EXPECT_EQ(EntryToJson(entry).contains("revision"), revision != "main") << object;
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
