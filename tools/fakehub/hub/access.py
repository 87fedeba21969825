"""Who may read what, in the hub's order: renamed repositories, tokens, private and disabled
repositories, gates, and revisions the repository does not have."""

from urllib.parse import quote

from hub.responses import error_resp, redirect_resp
from hub.scenario import INVALID

ROOT_FILES_OPEN = {"README.md", "LICENSE", "LICENSE.md", "LICENSE.txt"}  # readable in gated repos


def access(c, repo, repo_id, gate, fpath=None):
    """The hub's refusal for this repo and caller, or None when access is fine."""
    auth = c.auth
    if auth is INVALID:
        return error_resp(401, "Invalid credentials in Authorization header", c.api, www=True)
    if repo is None or (repo.private and not (auth and auth.member(repo.owner))):
        if auth is None:
            return error_resp(401, "Invalid username or password.", c.api, www=True)
        return error_resp(404, "Repository not found", c.api, code="RepoNotFound")
    if repo.disabled:
        return error_resp(403, "Access to this resource is disabled.", c.api)
    if gate and repo.gated and not (auth and auth.can_read_gated(repo)):
        if fpath in ROOT_FILES_OPEN:
            return None
        word = repo.kind
        if auth is None:
            return error_resp(401, f"Access to {word} {repo.id} is restricted. You must have "
                              "access to it and be authenticated to access it. Please log in.",
                              c.api, code="GatedRepo", www=True)
        if repo.id in auth.pending:
            return error_resp(403, f"Your request to access {word} {repo.id} is awaiting a "
                              "review from the repo authors.", c.api, code="GatedRepo")
        page = c.origins["hub"] + "/" + ("" if word == "model" else repo.plural + "/") + repo.id
        return error_resp(403, f"Access to {word} {repo.id} is restricted and you are not in "
                          f"the authorized list. Visit {page} to ask for access.", c.api,
                          code="GatedRepo")
    return None


def renamed(c, repo):
    if repo is None or not repo.renamed_to:
        return None
    loc = c.prefix + quote(c.path.replace(repo.id, repo.renamed_to, 1), safe="/~")
    loc += ("?" + c.raw_query) if c.raw_query else ""
    return redirect_resp(307, loc, [("Vary", "Origin, Accept")])


def revision(c, repo, rev):
    """The commit rev names, or the hub's 404 for a revision the repository does not have."""
    at = repo.at(rev)
    return (at, None) if at else (None, error_resp(404, f"Invalid rev id: {rev}", c.api,
                                                   code="RevisionNotFound"))
