// A Space's SDK for the properties command: what its organisation's listing stored, else the hub's
// answer, asked once per Space and revision.
#include "browse/browse.h"
#include "core/state.h"
#include "core/text.h"

std::string SpaceSdk(const std::string& repo_id, const std::string& revision) {
  const std::string key = repo_id + "@" + revision;
  {
    StateLock guard(g_state.lock);
    const auto known = g_state.space_sdks.find(key);
    if (known != g_state.space_sdks.end()) return known->second;
  }
  // An organisation's listing is of main; a stale one still names the SDK, which hardly ever changes.
  const size_t slash = repo_id.find('/');
  OrgReposCache listed;
  if (revision == "main" && slash != std::string::npos &&
      LoadOrgReposCacheOfAnyAge(repo_id.substr(0, slash), SpaceRepo, &listed)) {
    for (const RepoInfo& space : listed.models) {
      if (space.repo_id == repo_id && !space.sdk.empty()) return space.sdk;
    }
  }
  // The question blocks; only the user's own command on the main thread may wait for it.
  if (!IsMainThread()) return std::string();
  const SpaceSdkAnswer answer = FetchSpaceSdk(repo_id, revision, ApiKeyUtf8());
  if (!answer.outcome.complete) {
    // Refused (a private Space without the key), missing or failed: asked again the next time.
    LogMessage(u"Space SDK fetch failed: " + Utf8ToWide(repo_id) + u" status=" + WideDecimal(answer.outcome.status));
    return std::string();
  }
  StateLock guard(g_state.lock);
  g_state.space_sdks[key] = answer.sdk;
  return answer.sdk;
}
