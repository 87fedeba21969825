// The hub write client over a scripted hub and storage: the bodies and headers each step sends, the
// hub's word on each file, the part plan and its ETags, where the key goes, every way a write can end,
// cancel and local files that change while they are sent.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "core/files.h"
#include "core/json.h"
#include "hub/commit.h"
#include "hub/ratelimit.h"
#include "hub_write_hub.h"
#include "platform/platform.h"
#include "support/test_env.h"

using nlohmann::json;

namespace {

const char* const kHub = "https://hub.test:443/";
const char* const kRefs = "https://hub.test:443/api/models/acme/model/refs";
const char* const kBatch = "https://hub.test:443/acme/model.git/info/lfs/objects/batch";

std::string Hex(const std::string& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : digest) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 15]);
  }
  return hex;
}

std::string Sha256Of(const std::string& bytes) {
  PlatformHashState* state = PlatformHashBegin(HashAlgorithm::Sha256);
  PlatformHashUpdate(state, bytes.data(), bytes.size());
  return Hex(PlatformHashEnd(state));
}

std::string Decode64(const std::string& text) {
  std::string bytes;
  EXPECT_TRUE(text.empty() || PlatformBase64Decode(text, &bytes)) << text.substr(0, 40);
  return bytes;
}

std::string Bytes(size_t size, int seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed * 31 + (i >> 9)) & 0xFF);
  return bytes;
}

// A folder of local files for one test.
struct LocalFiles {
  std::u16string folder = MakeTempFolder("hub-write");
  std::u16string Put(const std::string& name, const std::string& bytes) {
    const std::u16string path = JoinFsPath(folder, Utf8ToWide(name));
    std::ofstream(FsPath(path), std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
};

// The hub as the facts describe it, with knobs: a ".bin" path is large (LFS), a path under "ignored/"
// is left out, an object the hub holds needs no upload, and objects of more than `chunk` bytes go in
// parts of that size.
struct HubScript {
  int64_t chunk = 0;
  std::set<std::string> stored;
  std::string storage = "https://storage.test/";
  std::map<std::string, ScriptedReply> replace;  // by URL fragment: the reply instead (first match)

  ScriptedReply operator()(const SentRequest& r) const {
    for (const auto& entry : replace) {
      if (r.url.find(entry.first) != std::string::npos) return entry.second;
    }
    ScriptedReply reply;
    if (r.method == "GET" && r.url.size() > 5 && r.url.compare(r.url.size() - 5, 5, "/refs") == 0) {
      reply.body =
          R"({"branches":[{"name":"main","ref":"refs/heads/main","targetCommit":"0123456789abcdef0123456789abcdef01234567"},
                      {"name":"dev","ref":"refs/heads/dev"}],"tags":[{"name":"v1","ref":"refs/tags/v1"}],
                      "converts":[{"name":"parquet","ref":"refs/convert/parquet"}],"pullRequests":[]})";
    } else if (r.url.find("/preupload/") != std::string::npos) {
      json files = json::array();
      const json asked = json::parse(r.body);
      for (const json& f : asked["files"]) {
        const std::string path = f["path"];
        const bool lfs = path.size() > 4 && path.compare(path.size() - 4, 4, ".bin") == 0;
        files.push_back({{"path", path},
                         {"uploadMode", lfs ? "lfs" : "regular"},
                         {"shouldIgnore", path.rfind("ignored/", 0) == 0},
                         {"oid", nullptr}});
      }
      reply.body = json{{"files", files}}.dump();
    } else if (r.url.find("/info/lfs/objects/batch") != std::string::npos) {
      json objects = json::array();
      const json asked = json::parse(r.body);
      for (const json& o : asked["objects"]) {
        const std::string oid = o["oid"];
        const int64_t size = o["size"];
        json object = {{"oid", oid}, {"size", size}};
        if (!stored.count(oid)) {
          json header = json::object();
          std::string href = storage + "put/" + oid;
          if (chunk > 0 && size > chunk) {
            header["chunk_size"] = std::to_string(chunk);
            for (int64_t part = 1; (part - 1) * chunk < size; ++part) {
              char key[8];
              std::snprintf(key, sizeof key, "%05d", static_cast<int>(part));
              header[key] = storage + "part/" + oid + "/" + std::to_string(part) + "?X-Amz-Signature=s";
            }
            href = std::string(kHub) + "api/complete/" + oid + "?token=t";
          }
          object["actions"] = {{"upload", {{"href", href}, {"header", header}}}};
        }
        objects.push_back(object);
      }
      reply.body = json{{"transfer", chunk > 0 ? "multipart" : "basic"}, {"objects", objects}}.dump();
    } else if (r.method == "PUT") {
      const size_t slash = r.url.rfind('/');
      reply.etag = "\"e" + r.url.substr(slash + 1, r.url.find('?') - slash - 1) + "\"";
    } else if (r.url.find("/complete/") != std::string::npos) {
      reply.body = "{}";
    } else if (r.url.find("/commit/") != std::string::npos) {
      json answer = {{"commitOid", "89abcdef0123456789abcdef0123456789abcdef"},
                     {"commitUrl", "https://hub.test/acme/model/commit/89abcdef0123456789abcdef0123456789abcdef"}};
      if (r.url.find("create_pr=1") != std::string::npos)
        answer["pullRequestUrl"] = "https://hub.test/acme/model/discussions/4";
      reply.body = answer.dump();
    } else {
      reply.status = 404;
    }
    return reply;
  }
};

ScriptedReply Reply(uint32_t status, const std::string& body = "{}", const std::string& headers = "") {
  ScriptedReply reply;
  reply.status = status;
  reply.body = body;
  reply.raw_headers = headers;
  return reply;
}

ScriptedReply NoAnswer() {
  ScriptedReply reply;
  reply.kind = ScriptedReply::Kind::NoAnswer;
  return reply;
}

WriteTarget Target(const std::string& revision = "main") {
  WriteTarget target;
  target.site_url = "https://hub.test/";
  target.api_key = "hf_write";
  target.repo_id = "acme/model";
  target.revision = revision;
  return target;
}

CommitOperation Put(const std::string& path, const std::u16string& local) {
  CommitOperation op;
  op.path = path;
  op.local_path = local;
  return op;
}

CommitOperation Other(CommitOperation::Kind kind, const std::string& path, const std::string& oid = "") {
  CommitOperation op;
  op.kind = kind;
  op.path = path;
  op.lfs_oid = oid;
  return op;
}

CommitRequest Request(std::vector<CommitOperation> operations, const std::string& revision = "main") {
  CommitRequest request;
  request.target = Target(revision);
  request.summary = "Upload files";
  request.operations = std::move(operations);
  return request;
}

std::vector<json> Lines(const std::string& ndjson) {
  std::vector<json> lines;
  size_t begin = 0;
  while (begin < ndjson.size()) {
    const size_t end = ndjson.find('\n', begin);
    EXPECT_NE(end, std::string::npos) << "every line ends with a line feed";
    if (end == std::string::npos) break;
    lines.push_back(json::parse(ndjson.substr(begin, end - begin)));
    begin = end + 1;
  }
  return lines;
}

bool HasHeader(const SentRequest& r, const std::string& line) {
  return std::find(r.headers.begin(), r.headers.end(), line) != r.headers.end();
}

std::vector<std::string> Urls(const std::vector<SentRequest>& sent) {
  std::vector<std::string> urls;
  for (const SentRequest& r : sent) urls.push_back(r.method + " " + r.url.substr(0, r.url.find('?')));
  return urls;
}

class HubWrite : public ::testing::Test {
 protected:
  void SetUp() override { ForgetRateLimits(); }
  void TearDown() override { ForgetRateLimits(); }
};

}  // namespace

// Regular, large and empty files in one commit: what each step sends, in order, and the result.
TEST_F(HubWrite, RegularLargeAndEmptyFilesGoInOneCommit) {
  LocalFiles local;
  const std::string notes = "hello\n", weights = Bytes((1 << 20) + 7, 1);
  const std::string oid = Sha256Of(weights);
  WriteHub hub;
  HubScript script;
  hub.answer = [&script](const SentRequest& r) { return script(r); };
  CommitRequest request =
      Request({Put("docs/notes.txt", local.Put("notes.txt", notes)), Put("w.bin", local.Put("w.bin", weights)),
               Put("empty.bin", local.Put("empty.bin", "")), Put("ignored/x.txt", local.Put("x.txt", "x"))});
  request.description = "From tarnfs";
  std::vector<std::pair<int64_t, int64_t>> progress;
  request.progress = [&progress](int64_t done, int64_t total) {
    progress.emplace_back(done, total);
    return true;
  };
  const CommitResult result = CommitChanges(request);
  ASSERT_TRUE(result.outcome.Done()) << WideToUtf8(result.outcome.message);
  EXPECT_EQ(result.commit_oid, "89abcdef0123456789abcdef0123456789abcdef");
  EXPECT_EQ(result.commit_url, "https://hub.test/acme/model/commit/89abcdef0123456789abcdef0123456789abcdef");
  EXPECT_EQ(result.ignored, std::vector<std::string>{"ignored/x.txt"});

  const std::vector<SentRequest> sent = hub.Sent();
  EXPECT_EQ(Urls(sent),
            (std::vector<std::string>{"GET " + std::string(kRefs),
                                      "POST https://hub.test:443/api/models/acme/model/preupload/main",
                                      "POST " + std::string(kBatch), "PUT https://storage.test:443/put/" + oid,
                                      "POST https://hub.test:443/api/models/acme/model/commit/main"}));
  // Preupload: every file with its size and the base64 of its first 512 bytes.
  const json preupload = json::parse(sent[1].body);
  EXPECT_TRUE(HasHeader(sent[1], "Content-Type: application/json"));
  ASSERT_EQ(preupload["files"].size(), 4u);
  EXPECT_EQ(preupload["files"][0], (json{{"path", "docs/notes.txt"}, {"size", 6}, {"sample", "aGVsbG8K"}}));
  EXPECT_EQ(Decode64(preupload["files"][1]["sample"]), weights.substr(0, 512));
  EXPECT_EQ(preupload["files"][1]["size"], weights.size());
  EXPECT_EQ(preupload["files"][2], (json{{"path", "empty.bin"}, {"size", 0}, {"sample", ""}}));
  // The batch: the git-lfs media type both ways, the branch by its plain name, one object.
  EXPECT_TRUE(HasHeader(sent[2], "Accept: application/vnd.git-lfs+json"));
  EXPECT_TRUE(HasHeader(sent[2], "Content-Type: application/vnd.git-lfs+json"));
  EXPECT_EQ(json::parse(sent[2].body), (json{{"operation", "upload"},
                                             {"transfers", {"basic", "multipart"}},
                                             {"hash_algo", "sha256"},
                                             {"objects", {{{"oid", oid}, {"size", weights.size()}}}},
                                             {"ref", {{"name", "main"}}}}));
  // The upload: the file's bytes, nothing else sent with them.
  EXPECT_EQ(sent[3].body, weights);
  EXPECT_TRUE(sent[3].headers.empty());
  // The commit: its header, a regular file inline, the large one by its hash, the empty one (a large
  // file's name, but regular: storage refuses an empty upload) inline; the ignored one not at all.
  EXPECT_TRUE(HasHeader(sent[4], "Content-Type: application/x-ndjson"));
  const std::vector<json> lines = Lines(sent[4].body);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0],
            (json{{"key", "header"}, {"value", {{"summary", "Upload files"}, {"description", "From tarnfs"}}}}));
  EXPECT_EQ(lines[1], (json{{"key", "file"},
                            {"value", {{"content", "aGVsbG8K"}, {"path", "docs/notes.txt"}, {"encoding", "base64"}}}}));
  EXPECT_EQ(lines[2],
            (json{{"key", "lfsFile"},
                  {"value", {{"path", "w.bin"}, {"algo", "sha256"}, {"oid", oid}, {"size", weights.size()}}}}));
  EXPECT_EQ(lines[3],
            (json{{"key", "file"}, {"value", {{"content", ""}, {"path", "empty.bin"}, {"encoding", "base64"}}}}));
  // Progress: the bytes hashed, uploaded and committed, the total known once the hub has said how.
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().second, static_cast<int64_t>(2 * weights.size() + sent[4].body.size()));
  EXPECT_EQ(progress.back().first, progress.back().second);
  for (const auto& p : progress) EXPECT_LE(p.first, std::max<int64_t>(p.second, 0));
}

// Every change a commit can carry, and the header's parent: the lines as the hub reads them. Nothing
// to upload: no preupload, no batch.
TEST_F(HubWrite, CopiesAndDeletesAreLinesOfTheCommit) {
  WriteHub hub;
  HubScript script;
  hub.answer = [&script](const SentRequest& r) { return script(r); };
  const std::string oid(64, 'a');
  CommitRequest request = Request({Other(CommitOperation::Kind::CopyLargeFile, "new/w.bin", oid),
                                   Other(CommitOperation::Kind::DeleteFile, "old/w.bin"),
                                   Other(CommitOperation::Kind::DeleteFolder, "old/sub")});
  request.parent_commit = "0123456789abcdef0123456789abcdef01234567";
  request.summary = "Rename \"w\" \xC3\xA9";
  ASSERT_TRUE(CommitChanges(request).outcome.Done());
  const std::vector<SentRequest> sent = hub.Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].url, kRefs);
  EXPECT_EQ(
      Lines(sent[1].body),
      (std::vector<json>{{{"key", "header"},
                          {"value",
                           {{"summary", "Rename \"w\" \xC3\xA9"},
                            {"description", ""},
                            {"parentCommit", "0123456789abcdef0123456789abcdef01234567"}}}},
                         {{"key", "lfsFile"}, {"value", {{"path", "new/w.bin"}, {"algo", "sha256"}, {"oid", oid}}}},
                         {{"key", "deletedFile"}, {"value", {{"path", "old/w.bin"}}}},
                         {{"key", "deletedFolder"}, {"value", {{"path", "old/sub"}}}}}));
}

// A large file in parts: each part's exact bytes to its own address, several at once, never with the
// key; the completion names every part's ETag exactly as the storage gave it, without the key either.
TEST_F(HubWrite, PartsGoOverSeveralConnectionsAndTheirETagsAreKept) {
  LocalFiles local;
  const std::string weights = Bytes(1000000, 2);
  const std::string oid = Sha256Of(weights);
  WriteHub hub;
  HubScript script;
  script.chunk = 300000;
  script.replace["/part/" + oid + "/3"] = Reply(200, "");
  script.replace["/part/" + oid + "/3"].etag = "W/\"odd \\\" etag\"";
  hub.answer = [&script](const SentRequest& r) { return script(r); };
  hub.await_puts = 2;
  CommitRequest request = Request({Put("w.bin", local.Put("w.bin", weights))});
  request.connections = 3;
  const CommitResult result = CommitChanges(request);
  ASSERT_TRUE(result.outcome.Done()) << WideToUtf8(result.outcome.message);

  std::vector<SentRequest> parts = hub.SentTo("storage.test");
  ASSERT_EQ(parts.size(), 4u);
  std::sort(parts.begin(), parts.end(), [](const SentRequest& a, const SentRequest& b) { return a.url < b.url; });
  for (size_t i = 0; i < parts.size(); ++i) {
    EXPECT_EQ(parts[i].url,
              "https://storage.test:443/part/" + oid + "/" + std::to_string(i + 1) + "?X-Amz-Signature=s");
    EXPECT_EQ(parts[i].body, weights.substr(i * 300000, 300000));
    EXPECT_EQ(parts[i].key, "");
  }
  EXPECT_GE(hub.most_in_flight, 2);
  const std::vector<SentRequest> completion = hub.SentTo("/api/complete/");
  ASSERT_EQ(completion.size(), 1u);
  EXPECT_EQ(completion[0].url, std::string(kHub) + "api/complete/" + oid + "?token=t");
  EXPECT_EQ(completion[0].key, "");  // on the hub's origin, but it carries its own credentials
  EXPECT_TRUE(HasHeader(completion[0], "Content-Type: application/vnd.git-lfs+json"));
  EXPECT_EQ(json::parse(completion[0].body), (json{{"oid", oid},
                                                   {"parts",
                                                    {{{"partNumber", 1}, {"etag", "\"e1\""}},
                                                     {{"partNumber", 2}, {"etag", "\"e2\""}},
                                                     {{"partNumber", 3}, {"etag", "W/\"odd \\\" etag\""}},
                                                     {{"partNumber", 4}, {"etag", "\"e4\""}}}}}));
  // The key went with every request to the hub's origin but the completion, and nowhere else.
  for (const SentRequest& r : hub.Sent()) {
    const bool hub_origin = r.url.rfind(kHub, 0) == 0 && r.url.find("/api/complete/") == std::string::npos;
    EXPECT_EQ(r.key, hub_origin ? "hf_write" : "") << r.url;
  }
}

// What the batch answers decides what is sent: an object the hub holds goes nowhere (and is still
// committed), one with an error fails with its message, a part plan that does not cover the file, or an
// answer of another shape, sends no byte and commits nothing. Storage on the hub's own origin still gets
// no key.
TEST_F(HubWrite, TheBatchAnswerDecidesWhatIsSent) {
  LocalFiles local;
  const std::string weights = Bytes(1000000, 3);
  const std::string oid = Sha256Of(weights);
  const std::u16string path = local.Put("w.bin", weights);
  const auto batch_with = [&oid](const std::string& object) {
    return Reply(200, "{\"transfer\":\"multipart\",\"objects\":[" + object + "]}");
  };
  const std::string parts3 =
      "\"00001\":\"https://s.test/1\",\"00002\":\"https://s.test/2\",\"00003\":\"https://s.test/3\"";
  const std::string upload = "\"actions\":{\"upload\":{\"href\":\"https://hub.test/c\",\"header\":{\"chunk_size\":";
  const struct {
    const char* name;
    bool stored;
    std::string storage;
    ScriptedReply batch;  // status 0: the script's own
    WriteEnd end;
    size_t puts;
    bool committed;
    std::string message;  // a part of the user's text
  } cases[] = {
      {"held already", true, "https://storage.test/", {}, WriteEnd::Done, 0, true, ""},
      {"storage on the hub's origin", false, "https://hub.test/storage/", {}, WriteEnd::Done, 1, true, ""},
      {"object error", false, "",
       batch_with("{\"oid\":\"" + oid +
                  "\",\"size\":1000000,\"error\":{\"code\":422,\"message\":\"Object too weird\"}}"),
       WriteEnd::Rejected, 0, false, "The hub refused w.bin: Object too weird."},
      {"too few parts", false, "",
       batch_with("{\"oid\":\"" + oid + "\",\"size\":1000000," + upload + "\"300000\"," + parts3 + "}}}}"),
       WriteEnd::Failed, 0, false, "3 part addresses where 4 were due"},
      {"parts not from 1", false, "",
       batch_with("{\"oid\":\"" + oid + "\",\"size\":1000000," + upload +
                  "\"400000\",\"00002\":\"https://s.test/2\",\"00003\":\"https://s.test/3\",\"00004\":\"https://s.test/"
                  "4\"}}}}"),
       WriteEnd::Failed, 0, false, "3 part addresses where 3 were due"},
      {"no part size", false, "", batch_with("{\"oid\":\"" + oid + "\",\"size\":1000000," + upload + "\"big\"}}}}"),
       WriteEnd::Failed, 0, false, "a part size that is no count"},
      {"xet", false, "", Reply(200, "{\"transfer\":\"xet\",\"objects\":[{\"oid\":\"" + oid + "\",\"size\":1000000}]}"),
       WriteEnd::Failed, 0, false, "a transfer of its own (xet)"},
      {"another object", false, "", batch_with("{\"oid\":\"" + std::string(64, 'b') + "\",\"size\":1}"),
       WriteEnd::Failed, 0, false, "an object not asked for"},
      {"object left out", false, "", batch_with(""), WriteEnd::Failed, 0, false, "objects left out"},
      {"no list", false, "", Reply(200, "[]"), WriteEnd::Failed, 0, false, "no list of objects"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteHub hub;
    HubScript script;
    if (c.stored) script.stored.insert(oid);
    if (!c.storage.empty()) script.storage = c.storage;
    if (c.batch.status != 200 || !c.batch.body.empty()) script.replace["/info/lfs/objects/batch"] = c.batch;
    hub.answer = [&script](const SentRequest& r) { return script(r); };
    const CommitResult result = CommitChanges(Request({Put("w.bin", path)}));
    EXPECT_EQ(result.outcome.end, c.end) << WideToUtf8(result.outcome.message);
    EXPECT_NE(WideToUtf8(result.outcome.message).find(c.message), std::string::npos)
        << WideToUtf8(result.outcome.message);
    size_t puts = 0;
    for (const SentRequest& r : hub.Sent()) {
      if (r.method != "PUT") continue;
      ++puts;
      EXPECT_EQ(r.key, "");
    }
    EXPECT_EQ(puts, c.puts);
    const std::vector<SentRequest> commits = hub.SentTo("/commit/");
    EXPECT_EQ(commits.size(), c.committed ? 1u : 0u);
    if (c.committed) EXPECT_EQ(Lines(commits[0].body).at(1)["value"]["oid"], oid);
  }
}

// Every refusal: a clear message, the step it stopped at, nothing after it and nothing sent again.
TEST_F(HubWrite, EachRefusalEndsTheWriteWithItsOwnMessage) {
  LocalFiles local;
  const std::u16string notes = local.Put("notes.txt", "hello\n");
  const std::u16string weights = local.Put("w.bin", Bytes(5000, 4));
  const std::string api_left = "RateLimit: \"api\";r=900;t=100\r\n";
  const struct {
    const char* step;  // URL fragment answered otherwise
    ScriptedReply reply;
    bool create_pr;
    WriteEnd end;
    uint32_t status;
    size_t requests;  // made in all (each once)
    std::string message;
  } cases[] = {
      {"/refs", Reply(404, "{\"error\":\"Repository not found\"}", "X-Error-Code: RepoNotFound\r\n"), false,
       WriteEnd::NotFound, 404, 1, "The repository acme/model does not exist, or the API key cannot see it."},
      {"/preupload/",
       Reply(403, "{\"error\":\"Forbidden: pass `create_pr=1` as a query parameter to create a Pull Request\"}"), false,
       WriteEnd::NoWriteAccess, 403, 2, "cannot write to acme/model at main: Forbidden: pass `create_pr=1`"},
      {"/preupload/", Reply(401, "{}", "X-Error-Message: Invalid credentials in Authorization header\r\n"), true,
       WriteEnd::NoWriteAccess, 401, 2,
       "cannot open a pull request on acme/model: Invalid credentials in Authorization header."},
      {"/preupload/", NoAnswer(), false, WriteEnd::Unreachable, 0, 2,
       "could not be reached during the question how to send"},
      {"/preupload/",
       Reply(200, "{\"files\":[{\"path\":\"notes.txt\",\"uploadMode\":\"regular\",\"shouldIgnore\":false}]}"), false,
       WriteEnd::Failed, 0, 2, "The hub did not say how to send w.bin"},
      {"/preupload/",
       Reply(200,
             "{\"files\":[{\"path\":\"notes.txt\",\"uploadMode\":\"regular\"},{\"path\":\"w.bin\",\"uploadMode\":"
             "\"xet\"}]}"),
       false, WriteEnd::Failed, 0, 2, "The hub did not say how to send w.bin"},
      {"/info/lfs/objects/batch", Reply(403, "{\"message\":\"no\"}"), false, WriteEnd::NoWriteAccess, 403, 3, ": no."},
      {"storage.test", NoAnswer(), false, WriteEnd::Unreachable, 0, 6,
       "storage could not be reached during the upload of w.bin"},
      {"storage.test", Reply(503, "busy"), false, WriteEnd::Unreachable, 503, 6, "storage could not be reached"},
      {"storage.test", Reply(403, "<Error>Request has expired</Error>"), false, WriteEnd::Failed, 403, 4,
       "storage answered 403 to the upload of w.bin"},
      {"/commit/",
       Reply(412, "{\"error\":\"The branch was updated since you opened this page. Please refresh and try again.\"}"),
       false, WriteEnd::BranchMoved, 412, 5,
       "acme/model changed since it was listed, so nothing was committed to acme/model."},
      {"/commit/", Reply(400, "{\"error\":\"Your push was rejected because it contains files larger than 10 MiB.\"}"),
       false, WriteEnd::Rejected, 400, 5,
       "The hub refused the commit, so nothing was committed to acme/model: Your push was rejected"},
      {"/commit/", Reply(429, "{\"error\":\"You have exceeded our hourly quotas for action: commit\"}", api_left),
       false, WriteEnd::CommitQuota, 429, 5, "The hub's limit on commits is reached"},
      {"/commit/", Reply(429, "{}", "RateLimit: \"api\";r=0;t=100\r\n"), false, WriteEnd::RateLimited, 429, 5,
       "The HuggingFace API limit is reached, so nothing was committed to acme/model. Try again in 100 s."},
      {"/commit/", Reply(422, "{\"error\":\"Invalid path\"}"), false, WriteEnd::PathRefused, 422, 5,
       "The hub refused a path in the commit"},
      {"/commit/", Reply(404, "{}", "X-Error-Code: RevisionNotFound\r\n"), false, WriteEnd::NotFound, 404, 5,
       "The repository acme/model has no branch \"main\"."},
      {"/commit/", Reply(500, "{\"error\":\"Internal Error\"}"), false, WriteEnd::Failed, 500, 5,
       "The hub answered 500 to the commit: Internal Error. Look at the folder again to see whether"},
      {"/commit/", NoAnswer(), false, WriteEnd::Unreachable, 0, 5, "look at the folder again to see whether"},
      // The hub said yes: the commit is made, even when its answer names no commit.
      {"/commit/", Reply(200, "{\"commitOid\":"), false, WriteEnd::Done, 0, 5, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.step) + " " + std::to_string(c.reply.status));
    ForgetRateLimits();
    WriteHub hub;
    HubScript script;
    script.replace[c.step] = c.reply;
    hub.answer = [&script](const SentRequest& r) { return script(r); };
    CommitRequest request = Request({Put("notes.txt", notes), Put("w.bin", weights)});
    request.target.create_pr = c.create_pr;
    const CommitResult result = CommitChanges(request);
    EXPECT_EQ(result.outcome.end, c.end);
    EXPECT_EQ(result.outcome.status, c.status);
    EXPECT_NE(WideToUtf8(result.outcome.message).find(c.message), std::string::npos)
        << WideToUtf8(result.outcome.message);
    EXPECT_EQ(result.commit_oid, "");
    EXPECT_EQ(hub.Sent().size(), c.requests);
    // Only the API's own limit pauses listings; the commit quota does not.
    EXPECT_EQ(ApiRateLimit().paused, c.end == WriteEnd::RateLimited);
  }
}

// Whether a revision takes changes is known before anything of them is sent: a commit without asking,
// a tag or a conversion after one look at the refs; a pull request's ref goes in as one segment of
// every API address, and unencoded as the batch's ref.
TEST_F(HubWrite, OnlyABranchOrAPullRequestTakesChanges) {
  LocalFiles local;
  const std::u16string weights = local.Put("w.bin", Bytes(3000, 5));
  const struct {
    std::string revision;
    bool create_pr;
    WriteEnd end;
    std::vector<std::string> first;  // the first requests, method and URL without the query
    std::string message;
  } cases[] = {
      {"0123456789abcdef0123456789abcdef01234567",
       false,
       WriteEnd::ReadOnlyRevision,
       {},
       "is a commit, and a commit never changes"},
      {"v1", false, WriteEnd::ReadOnlyRevision, {std::string("GET ") + kRefs}, "\"v1\" of acme/model is a tag"},
      {"refs/tags/v1", false, WriteEnd::ReadOnlyRevision, {std::string("GET ") + kRefs}, "is a tag"},
      {"refs/convert/parquet", false, WriteEnd::ReadOnlyRevision, {std::string("GET ") + kRefs}, "is a conversion"},
      {"gone", false, WriteEnd::NotFound, {std::string("GET ") + kRefs}, "has no branch \"gone\""},
      {"bad..name", false, WriteEnd::NotFound, {}, "is no branch name"},
      {"dev",
       false,
       WriteEnd::Done,
       {std::string("GET ") + kRefs, "POST https://hub.test:443/api/models/acme/model/preupload/dev"},
       ""},
      {"refs/heads/dev", false, WriteEnd::Done, {std::string("GET ") + kRefs}, ""},
      {"refs/pr/3",
       false,
       WriteEnd::Done,
       {"POST https://hub.test:443/api/models/acme/model/preupload/refs%2Fpr%2F3"},
       ""},
      {"refs/pr/3", true, WriteEnd::ReadOnlyRevision, {}, "a pull request is opened against a branch only"},
      {"main",
       true,
       WriteEnd::Done,
       {std::string("GET ") + kRefs, "POST https://hub.test:443/api/models/acme/model/preupload/main"},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.revision);
    WriteHub hub;
    HubScript script;
    hub.answer = [&script](const SentRequest& r) { return script(r); };
    CommitRequest request = Request({Put("w.bin", weights)}, c.revision);
    request.target.create_pr = c.create_pr;
    const CommitResult result = CommitChanges(request);
    EXPECT_EQ(result.outcome.end, c.end) << WideToUtf8(result.outcome.message);
    EXPECT_NE(WideToUtf8(result.outcome.message).find(c.message), std::string::npos)
        << WideToUtf8(result.outcome.message);
    const std::vector<std::string> urls = Urls(hub.Sent());
    EXPECT_EQ(std::vector<std::string>(urls.begin(), urls.begin() + std::min(urls.size(), c.first.size())), c.first);
    if (c.end != WriteEnd::Done) {
      EXPECT_EQ(urls.size(), c.first.size());
      continue;
    }
    const std::vector<SentRequest> batch = hub.SentTo("/info/lfs/objects/batch");
    ASSERT_EQ(batch.size(), 1u);
    const json body = json::parse(batch[0].body);
    const std::vector<SentRequest> commit = hub.SentTo("/commit/");
    ASSERT_EQ(commit.size(), 1u);
    if (c.create_pr) {
      EXPECT_FALSE(body.contains("ref"));  // a key that may only open a pull request names no branch
      EXPECT_EQ(commit[0].url, "https://hub.test:443/api/models/acme/model/commit/main?create_pr=1");
      EXPECT_EQ(hub.SentTo("/preupload/main?create_pr=1").size(), 1u);
      EXPECT_EQ(result.pull_request_url, "https://hub.test/acme/model/discussions/4");
    } else {
      EXPECT_EQ(body["ref"]["name"], c.revision);
      EXPECT_EQ(commit[0].url, "https://hub.test:443/api/models/acme/model/commit/" + UrlEncode(c.revision, false));
      EXPECT_EQ(result.pull_request_url, "");
    }
  }
}

// A hundred files a preupload request and a hundred objects a batch, as the hub team's clients send.
TEST_F(HubWrite, FilesAreAskedAboutAHundredAtATime) {
  LocalFiles local;
  std::vector<CommitOperation> operations;
  for (int i = 0; i < 101; ++i) {
    const std::string name = "f" + std::to_string(i) + ".bin";
    operations.push_back(Put("data/" + name, local.Put(name, Bytes(100 + i, i))));
  }
  WriteHub hub;
  HubScript script;
  hub.answer = [&script](const SentRequest& r) { return script(r); };
  ASSERT_TRUE(CommitChanges(Request(operations)).outcome.Done());
  std::vector<size_t> preuploads, batches;
  for (const SentRequest& r : hub.SentTo("/preupload/")) preuploads.push_back(json::parse(r.body)["files"].size());
  for (const SentRequest& r : hub.SentTo("/objects/batch")) batches.push_back(json::parse(r.body)["objects"].size());
  EXPECT_EQ(preuploads, (std::vector<size_t>{100, 1}));
  EXPECT_EQ(batches, (std::vector<size_t>{100, 1}));
  EXPECT_EQ(hub.SentTo("storage.test").size(), 101u);
  EXPECT_EQ(Lines(hub.SentTo("/commit/").at(0).body).size(), 102u);
}

// A local file that changes while it is read is refused and nothing is committed for it: a large file
// being uploaded whole or in parts, a regular one while the commit streams it, one changed between the
// hub's answer and its hash. A file that cannot be read is refused before the hub is asked.
TEST_F(HubWrite, AFileThatChangesWhileItIsSentIsNotCommitted) {
  enum class Change { Bytes, Time, Grows };  // Bytes: the same size and time, only a hash can tell
  const struct {
    const char* name;
    std::string file;  // its repository path (".bin": large)
    size_t size;
    int64_t chunk;
    std::string when;  // URL fragment of the request during whose body it changes
    Change change;
  } cases[] = {
      {"large, one PUT", "w.bin", 200000, 0, "storage.test", Change::Bytes},
      {"large, grows during its PUT", "w.bin", 200000, 0, "storage.test", Change::Grows},
      {"large in parts, after its hash", "w.bin", 1000000, 300000, "/objects/batch", Change::Bytes},
      {"large in parts, during them", "w.bin", 1000000, 300000, "storage.test", Change::Time},
      {"large, before its hash", "w.bin", 200000, 0, "/preupload/", Change::Grows},
      {"regular, in the commit", "notes.txt", 200000, 0, "/commit/", Change::Time},
      {"regular, grows in the commit", "notes.txt", 200000, 0, "/commit/", Change::Grows},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LocalFiles local;
    const std::string original = Bytes(c.size, 6);
    const std::u16string path = local.Put("f", original);
    const auto old_time = std::filesystem::last_write_time(FsPath(path));
    WriteHub hub;
    HubScript script;
    script.chunk = c.chunk;
    hub.answer = [&script](const SentRequest& r) { return script(r); };
    std::atomic<bool> changed{false};
    hub.on_piece = [&](const SentRequest& r, size_t) {
      if (r.url.find(c.when) == std::string::npos || changed.exchange(true)) return;
      std::string bytes = original;
      bytes[c.size - 1000] ^= 0x55;  // past the sample the hub was shown
      if (c.change == Change::Grows) bytes += "more";
      local.Put("f", bytes);
      std::filesystem::last_write_time(FsPath(path),
                                       c.change == Change::Bytes ? old_time : old_time + std::chrono::seconds(2));
    };
    const CommitResult result = CommitChanges(Request({Put(c.file, path)}));
    EXPECT_TRUE(changed.load());
    EXPECT_EQ(result.outcome.end, WriteEnd::LocalChanged) << WideToUtf8(result.outcome.message);
    EXPECT_EQ(result.outcome.path, c.file);
    EXPECT_NE(result.outcome.message.find(path + u" changed while it was being sent"), std::u16string::npos);
    // No object completed, no commit the hub could take: a commit request, if any, stopped short.
    EXPECT_TRUE(hub.SentTo("/api/complete/").empty());
    for (const SentRequest& r : hub.SentTo("/commit/")) EXPECT_FALSE(r.body_whole);
    for (const SentRequest& r : hub.SentTo("storage.test")) {
      if (c.chunk == 0) EXPECT_FALSE(r.body_whole);  // the whole object never reached the storage
    }
  }
  // Unreadable: nothing asked about it.
  WriteHub hub;
  HubScript script;
  hub.answer = [&script](const SentRequest& r) { return script(r); };
  const std::u16string missing = JoinFsPath(MakeTempFolder("hub-write-missing"), u"gone.txt");
  const CommitResult result = CommitChanges(Request({Put("gone.txt", missing)}));
  EXPECT_EQ(result.outcome.end, WriteEnd::LocalUnreadable);
  EXPECT_EQ(WideToUtf8(result.outcome.message), WideToUtf8(missing) + " cannot be read, so it was not committed.");
  EXPECT_EQ(Urls(hub.Sent()), std::vector<std::string>{std::string("GET ") + kRefs});
}

// A cancel ends every request in flight and commits nothing: one at the first progress report, one
// while a part waits for a storage that does not answer. CommitChanges has joined every thread it started.
TEST_F(HubWrite, ACancelEndsTheUploadAndCommitsNothing) {
  LocalFiles local;
  const std::string weights = Bytes(1000000, 7);
  const std::u16string path = local.Put("w.bin", weights);
  for (const bool mid_upload : {false, true}) {
    SCOPED_TRACE(mid_upload ? "mid-upload" : "at the first report");
    WriteHub hub;
    HubScript script;
    script.chunk = 300000;
    script.replace["/part/"] = ScriptedReply{ScriptedReply::Kind::Hold};
    hub.answer = [&script](const SentRequest& r) { return script(r); };
    const int threads_before = ProcessThreadCount();
    CommitRequest request = Request({Put("w.bin", path)});
    request.progress = [&hub, mid_upload](int64_t, int64_t) { return mid_upload && hub.SentTo("/part/").empty(); };
    const CommitResult result = CommitChanges(request);
    EXPECT_EQ(result.outcome.end, WriteEnd::Cancelled);
    EXPECT_EQ(WideToUtf8(result.outcome.message), "Cancelled: nothing was committed to acme/model.");
    if (mid_upload) EXPECT_FALSE(hub.SentTo("/part/").empty());
    EXPECT_TRUE(hub.SentTo("/complete/").empty());
    EXPECT_TRUE(hub.SentTo("/commit/").empty());
    EXPECT_TRUE(ThreadCountSettlesAt(threads_before));
  }
}

// What a commit may not name is refused before anything is sent.
TEST_F(HubWrite, ARequestTheHubCouldNotTakeSendsNothing) {
  for (const char* path : {"a/b.txt", "x", ".gitattributes", "a/.hidden/c", "d\xC3\xA9j\xC3\xA0/vu"}) {
    EXPECT_TRUE(IsCommitPath(path)) << path;
  }
  for (const char* path : {"", "/a", "a/", "a//b", "./a", "a/../b", "..", ".git/config", "a/.git", "a\\b", "a\tb",
                           "bad\xC3(utf8", "\x7F"}) {
    EXPECT_FALSE(IsCommitPath(path)) << path;
  }
  EXPECT_FALSE(IsCommitPath(std::string(1025, 'a')));
  WriteHub hub;
  const struct {
    CommitRequest request;
    WriteEnd end;
  } cases[] = {
      {Request({Other(CommitOperation::Kind::DeleteFile, "a/../b")}), WriteEnd::PathRefused},
      {Request({Other(CommitOperation::Kind::CopyLargeFile, "a.bin", "abc")}), WriteEnd::Failed},
      {Request({Other(CommitOperation::Kind::CopyLargeFile, "a.bin", std::string(64, 'a')),
                Other(CommitOperation::Kind::CopyLargeFile, "a.bin", std::string(64, 'b'))}),
       WriteEnd::Failed},
      {[] {
         CommitRequest r = Request({Other(CommitOperation::Kind::DeleteFile, "a")});
         r.summary = "";
         return r;
       }(),
       WriteEnd::Failed},
      {[] {
         CommitRequest r = Request({Other(CommitOperation::Kind::DeleteFile, "a")});
         r.parent_commit = "main";
         return r;
       }(),
       WriteEnd::Failed},
  };
  for (const auto& c : cases) EXPECT_EQ(CommitChanges(c.request).outcome.end, c.end);
  EXPECT_TRUE(hub.Sent().empty());
}

// A request with a body is sent once: a redirect is its answer, not followed with the body spent; an
// API request is not sent at all while the hub's API limit pauses requests.
TEST_F(HubWrite, ARequestWithABodyIsSentOnceAndWaitsForTheApiLimit) {
  WriteHub hub;
  hub.answer = [](const SentRequest&) {
    ScriptedReply reply = Reply(307);
    reply.location = "https://hub.test/api/elsewhere";
    return reply;
  };
  HttpSendOptions options;
  options.body = MemoryBody("{\"a\":1}");
  HttpSendAnswer answer = HttpSend(u"https://hub.test/api/moved", "hf_write", options);
  EXPECT_EQ(answer.status, 307u);
  ASSERT_EQ(hub.Sent().size(), 1u);
  EXPECT_EQ(hub.Sent()[0].body, "{\"a\":1}");
  NoteApiAnswer(429, "RateLimit: \"api\";r=0;t=30\r\n");
  options.api = true;
  answer = HttpSend(u"https://hub.test/api/x", "hf_write", options);
  EXPECT_TRUE(answer.paused);
  EXPECT_EQ(answer.status, 429u);
  EXPECT_EQ(hub.Sent().size(), 1u);
}
