// The access-denied prompt: one log line and at most one question per refused repository and process.
#include "browse/browse.h"
#include "hub/http.h"
#include "platform/platform.h"
#include "core/state.h"
#include "core/text.h"

void PromptGatedRepo(const std::string& repo_id, RepoType repo_type) {
  {
    StateLock guard(g_state.lock);
    if (!g_state.gated_prompted.insert(repo_id).second) return;
  }
  LogMessage(u"GATED tree: " + Utf8ToWide(repo_id));
  if (!g_state.request) return;  // no host to ask: the log line is all
  if (!IsMainThread()) {
    LogMessage(u"(gated prompt suppressed \u2014 background transfer thread)");
    return;
  }
  const std::string site = HubSiteUrl();
  SplitUrl split;
  SplitHttpUrl(Utf8ToWide(site), &split);  // an address it cannot split leaves the host name empty
  const std::u16string kind = repo_type == SpaceRepo ? u"Space" : Utf8ToWide(RepoTypeName(repo_type));
  const std::u16string text = u"Could not list files in '" + Utf8ToWide(repo_id) + u"'.\n\n" +
                        u"This repository is either gated, private, or the URL is misspelled. For gated repos, "
                        u"accept the " + kind + u"'s terms on " +
                        split.host +
                        u" and make sure your API key (Settings \u2192 API key) belongs to the same account.\n\n" +
                        u"Open the " + kind + u" page in your browser now?";
  const std::u16string title = u"HuggingFace \u2014 access denied";
  const bool yes = AskHostYesNo(title, text);
  // A dataset's or Space's page lives under its prefix; the bare id would open a model page that does not exist.
  if (yes) PlatformOpenUrl(Utf8ToWide(site + RepoSitePrefix(repo_type) + repo_id));
}
