// Every fault mode of the fake hub against every listing kind and the download, through the exports,
// with a key configured. Per case: the right outcome, no name the hub does not have, a listing cached
// only when it arrived whole (the next listing without the fault fetches again otherwise), no partial
// or damaged download and a user's file left intact, and the key never sent to the second host.
#include <filesystem>
#include <set>

#include "browse/browse_fixture.h"

namespace {

// W: whole and cached. N: not whole, shown as far as it got (a subset, maybe empty), not cached.
// S: as the hub served it without any fault showing (a subset), cached.
struct ListingKind {
  const char* name;
  const char* path;
  const char* request;  // part of the target every request of this listing carries
  const char* prime;    // listed without the fault first, or ""
};
const ListingKind kKinds[] = {
    {"org models", "\\Files", "/api/models?author=files-org", ""},
    {"org datasets", "\\FilesDs", "/api/datasets?author=files-org", ""},
    {"tree", "\\Files\\basic", "/api/models/files-org/basic/tree/", ""},
    {"collections", "\\Colls", "/api/collections?owner=coll-org", ""},
    {"collection items", "\\Colls\\Favourites", "/api/collections/coll-org/favourites", "\\Colls"},
};

struct FaultCase {
  const char* mode;
  const char* listings;  // per kind, in kKinds order: the outcome letter and how many names were shown
  int32_t download;      // FsGetFileW's result for both files; -1: not applicable
};
const FaultCase kFaults[] = {
    {"status=401", "N0 N0 N0 N0 N1", 3},          {"status=403", "N0 N0 N0 N0 N1", 3},
    {"status=404", "N0 N0 N0 N0 N1", 2},          {"status=429", "N0 N0 N0 N0 N1", 3},
    {"status=500", "N0 N0 N0 N0 N1", 3},          {"status=503", "N0 N0 N0 N0 N1", 3},
    {"fail_page=2:500", "W9 W1 N4 N2 W3", 0},     {"fail_page=2:429", "W9 W1 N4 N2 W3", 0},
    {"malformed", "N0 N0 N0 N0 N1", -1},          // file bodies are bytes: a garbled one cannot be told apart
    {"cut_at=10", "N0 N0 N0 N0 N1", 0},           // a cut file continues in ranges
    {"no_length", "W9 W1 W11 W6 W3", 0},
    {"fake_length=100000", "N0 N0 N0 N0 N1", 3},  {"slow=50", "W9 W1 W11 W6 W3", 0},
    {"delay=50", "W9 W1 W11 W6 W3", 0},           {"redirect_loop", "N0 N0 N0 N0 N1", 3},
    {"redirects=3", "W9 W1 W11 W6 W3", 0},
    {"redirect_host2", "W9 W1 N2 N2 W3", 0},      // paging stays on the hub's origin
    {"redirect_relative", "W9 W1 W11 W6 W3", 0},  {"no_link", "W9 W1 S2 S2 W3", 0},
    {"link_loop", "W9 W1 N4 N2 W3", 0},           {"link_relative", "W9 W1 W11 W6 W3", 0},
    // Download modes: the listings carry them unharmed (but for the hashes).
    {"wrong_hash", "W9 W1 W11 W6 W3", 3},
    {"mask_hash", "W9 W1 W11 W6 W3", 0},          // only a large file's hash is masked
    {"no_ranges", "W9 W1 W11 W6 W3", 0},          {"range_200", "W9 W1 W11 W6 W3", 0},
    // Write modes act on uploads and commits alone: reads under them go through unharmed.
    {"cut_upload=10", "W9 W1 W11 W6 W3", 0},      {"fail_commit=503", "W9 W1 W11 W6 W3", 0},
    {"fail_after_commit=500", "W9 W1 W11 W6 W3", 0},
};
const char* const kFiles[] = {"README.md", "lfs-note.txt"};  // served directly; redirected to the second host

class FaultMatrix : public BrowseTest {
 protected:
  void ConfigureWithKey(const std::string& hub_suffix) { Configure(AllKinds(), hub_suffix, "hf_test_good"); }
  std::multiset<std::string> ListedNames(const std::string& path) {
    std::multiset<std::string> names;
    for (const std::string& n : Names(path)) {
      if (n.rfind("[Load next ", 0) != 0) names.insert(n);
    }
    return names;
  }
  // Requests since the last call: how many carried `part`, and whether any reached the second host
  // with a key.
  size_t Requests(const std::string& part) {
    size_t count = 0;
    for (const LoggedRequest& r : FetchHubLog()) {
      count += r.path.find(part) != std::string::npos;
      if (r.host == "host2") EXPECT_EQ(r.Header("authorization"), "(absent)") << r.path;
    }
    ResetHubLog();
    return count;
  }
};

TEST_F(FaultMatrix, ListingsShowWhatArrivedAndCacheOnlyWholeOnes) {
  std::vector<std::set<std::string>> reference;
  ConfigureWithKey("");
  for (const ListingKind& kind : kKinds) {
    const std::multiset<std::string> names = ListedNames(kind.path);
    reference.emplace_back(names.begin(), names.end());
    ASSERT_FALSE(reference.back().empty()) << kind.name;
  }
  for (const FaultCase& fault : kFaults) {
    std::string row;
    for (size_t k = 0; k < std::size(kKinds); ++k) {
      const ListingKind& kind = kKinds[k];
      std::filesystem::remove_all(FsPath(JoinFsPath(config_, u"cache")));
      ConfigureWithKey("");
      if (*kind.prime) ASSERT_FALSE(List(kind.prime).empty()) << kind.prime;
      ConfigureWithKey(std::string("__fault/") + fault.mode + "/");
      const std::multiset<std::string> got = ListedNames(kind.path);
      Requests("");
      ConfigureWithKey("");  // the fault is gone: a cached listing makes no request, another does
      const std::multiset<std::string> again = ListedNames(kind.path);
      const bool cached = Requests(kind.request) == 0;
      const std::set<std::string> unique(got.begin(), got.end());
      const bool subset = std::includes(reference[k].begin(), reference[k].end(), unique.begin(), unique.end());
      char outcome = '?';
      if (subset) outcome = cached ? (unique == reference[k] ? 'W' : 'S') : 'N';
      row += (k ? " " : "") + std::string(1, outcome) + std::to_string(got.size());  // a repeated name counts
      if (!cached) {
        EXPECT_EQ(std::set<std::string>(again.begin(), again.end()), reference[k]) << fault.mode << " " << kind.name;
      }
    }
    EXPECT_EQ(row, fault.listings) << fault.mode;
  }
}

TEST_F(FaultMatrix, DownloadsGiveTheRightResultAndNeverAPartialOrDamagedFile) {
  ConfigureWithKey("");
  std::vector<std::string> content;
  for (const char* file : kFiles) {
    ASSERT_EQ(GetFile(std::string("\\Files\\basic\\") + file, LocalPath(file)), 0) << file;
    content.push_back(ReadTextFile(LocalPath(file)));
    std::filesystem::remove(FsPath(LocalPath(file)));
  }
  for (const FaultCase& fault : kFaults) {
    if (fault.download < 0) continue;
    std::filesystem::remove_all(FsPath(JoinFsPath(config_, u"cache")));
    ConfigureWithKey(std::string("__fault/") + fault.mode + "/");
    List("\\Files\\basic");  // as a host lists a folder before it copies from it: what is checked, if whole
    for (size_t f = 0; f < std::size(kFiles); ++f) {
      const std::string remote = std::string("\\Files\\basic\\") + kFiles[f];
      const std::u16string fresh = LocalPath("new"), existing = LocalPath("mine");
      WriteTextFile(existing, "the user's own file");
      const int32_t result = GetFile(remote, fresh);
      const int32_t over = GetFile(remote, existing, 1);
      EXPECT_EQ(result, fault.download) << fault.mode << " " << remote;
      EXPECT_EQ(over, fault.download) << fault.mode << " " << remote << " over an existing file";
      if (result == 0) {
        EXPECT_EQ(ReadTextFile(fresh), content[f]) << fault.mode << " " << remote;
      } else {
        EXPECT_FALSE(FileExists(fresh)) << fault.mode << " " << remote << ": partial target left";
      }
      EXPECT_EQ(ReadTextFile(existing), over == 0 ? content[f] : "the user's own file") << fault.mode << " " << remote;
      size_t files = 0;
      for (const auto& item : std::filesystem::directory_iterator(FsPath(downloads_))) files += !item.is_directory();
      EXPECT_EQ(files, result == 0 ? 2u : 1u) << fault.mode << " " << remote << ": a temporary file stayed";
      std::filesystem::remove(FsPath(fresh));
      Requests("");
    }
  }
}

}  // namespace
